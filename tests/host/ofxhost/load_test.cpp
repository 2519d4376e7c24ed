// Loading bundles, the order of the first calls, and what describe recorded.
#include <cstring>

#include "probe.h"

namespace {

using ofxhost::Plugin;

TEST(HostLoad, RefusesWhatIsNotAnImageEffect) {
  struct Case {
    std::string path;
    int nth;
    const char* expected;
  };
  const Case cases[] = {
      {"/nonexistent/Missing.ofx.bundle", 0, "no such plug-in file"},
      {NOT_PLUGIN_LIBRARY, 0, "not an OpenFX plug-in"},
      {PROBE_WRONG_API_BUNDLE, 0, "OfxSomethingElseAPI"},
      {PROBE_BUNDLE, 1, "no plug-in number 1"},
      {PROBE_BUNDLE, -1, "no plug-in number -1"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(Plugin::load(c.path, &error, c.nth), nullptr) << c.path;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.path << ": " << error;
  }
  // A file that is no shared library at all.
  std::string error;
  EXPECT_EQ(Plugin::load(MATTIVO_SOURCE_DIR "/host/ofxhost/include/ofxhost/ofx_host.h", &error), nullptr);
  EXPECT_NE(error.find("cannot load"), std::string::npos) << error;
}

TEST(HostLoad, AcceptsTheBinaryAsWellAsTheBundle) {
  std::string error;
  auto plugin = Plugin::load(std::string(PROBE_BUNDLE) + "/Contents/Linux-x86-64/HostProbe.ofx", &error);
  ASSERT_NE(plugin, nullptr) << error;
  EXPECT_EQ(plugin->plugin_count(), 1);
  EXPECT_STREQ(plugin->record()->pluginIdentifier, "net.corvane.hostprobe");
  auto slash = Plugin::load(std::string(PROBE_BUNDLE) + "/", &error);
  EXPECT_NE(slash, nullptr) << error;
}

using HostDescribe = probe::ProbeTest;

TEST_F(HostDescribe, CallsTheEntryPointsInOrderAndDescribesInTheFilterContext) {
  EXPECT_EQ(plugin_->describe_status(), kOfxStatOK);
  const ofxhost::PropertySet& d = plugin_->descriptor();
  // OfxSetHost first, then discovery, then setHost (which finds no multithread
  // suite), then the load and describe actions.
  EXPECT_EQ(d.str("ProbeCalls"), "OfxSetHost,count,get,setHost,noMultiThread,load,describe");
  EXPECT_EQ(d.str("ProbeContext"), kOfxImageEffectContextFilter);
  EXPECT_EQ(d.str(kOfxPropLabel), "Host Probe");
  EXPECT_EQ(d.str(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderFullySafe);
  EXPECT_EQ(d.dimension(kOfxImageEffectPropSupportedPixelDepths), 2);
  EXPECT_EQ(d.str(kOfxImageEffectPropSupportedPixelDepths, 1), kOfxBitDepthFloat);
  EXPECT_NE(d.ptr(kOfxImageEffectPluginPropOverlayInteractV1), nullptr);
}

TEST_F(HostDescribe, RecordsClipsAndParametersInDefinitionOrder) {
  const auto& clips = plugin_->clips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].name, "Source");
  EXPECT_EQ(clips[1].name, "Output");
  EXPECT_EQ(clips[0].props.str(kOfxImageEffectPropSupportedComponents), kOfxImageComponentRGBA);

  const char* names[] = {"gain", "invert", "mode",  "count",  "offset", "tint", "label",
                         "note", "status", "trace", "stroke", "leak",   "go"};
  const auto& params = plugin_->params();
  ASSERT_EQ(params.size(), std::size(names));
  for (size_t i = 0; i < params.size(); ++i) EXPECT_EQ(params[i].name, names[i]);
  const ofxhost::ParamDescriptor* gain = plugin_->param("gain");
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->type, kOfxParamTypeDouble);
  EXPECT_EQ(gain->props.str(kOfxParamPropType), kOfxParamTypeDouble);
  EXPECT_EQ(gain->props.str(kOfxPropLabel), "Gain");
  EXPECT_EQ(gain->props.dbl(kOfxParamPropMax), 4.0);
  EXPECT_EQ(plugin_->param("mode")->props.dimension(kOfxParamPropChoiceOption), 3);
  EXPECT_EQ(plugin_->param("mode")->props.str(kOfxParamPropChoiceOption, 2), "third");
  EXPECT_EQ(plugin_->param("go")->type, kOfxParamTypePushButton);
  // The host presets no default, so "none set" stays visible.
  EXPECT_FALSE(plugin_->param("note")->props.has(kOfxParamPropDefault));
  EXPECT_EQ(plugin_->param("label")->props.str(kOfxParamPropDefault), "hello");
  EXPECT_EQ(plugin_->param("missing"), nullptr);
}

TEST(HostRecord, ServesTheFiveSuitesAndNothingElse) {
  const OfxHost* h = ofxhost::host();
  auto fetch = [h](const char* name, int version) { return h->fetchSuite(h->host, name, version); };
  for (const char* name :
       {kOfxPropertySuite, kOfxParameterSuite, kOfxImageEffectSuite, kOfxInteractSuite, kOfxMessageSuite})
    EXPECT_NE(fetch(name, 1), nullptr) << name;
  EXPECT_NE(fetch(kOfxMessageSuite, 2), nullptr);
  EXPECT_EQ(fetch(kOfxPropertySuite, 2), nullptr);
  EXPECT_EQ(fetch(kOfxMultiThreadSuite, 1), nullptr);
  EXPECT_EQ(fetch("OfxNoSuchSuite", 1), nullptr);
  EXPECT_EQ(fetch(nullptr, 1), nullptr);

  auto* props = reinterpret_cast<const ofxhost::PropertySet*>(h->host);
  EXPECT_EQ(props->integer(kOfxImageEffectPropSupportsOverlays), 1);
  EXPECT_EQ(props->str(kOfxPropType), kOfxTypeImageEffectHost);
  EXPECT_FALSE(props->str(kOfxPropName).empty());
}

TEST_F(HostDescribe, InstancePropertiesAndRawActions) {
  ofxhost::PropertySet& p = instance_->props();
  EXPECT_EQ(p.str(kOfxPropType), kOfxTypeImageEffectInstance);
  EXPECT_EQ(p.str(kOfxImageEffectPropContext), kOfxImageEffectContextFilter);
  EXPECT_EQ(p.dbl(kOfxImageEffectPropProjectSize, 0), 1920.0);
  EXPECT_EQ(p.dbl(kOfxImageEffectPropProjectSize, 1), 1080.0);
  EXPECT_EQ(p.dbl(kOfxImageEffectPropProjectPixelAspectRatio), 1.0);
  // The probe keeps its per-instance record there.
  EXPECT_NE(p.ptr(kOfxPropInstanceData), nullptr);
  instance_->set_project(1280, 720, 10, 20);
  EXPECT_EQ(p.dbl(kOfxImageEffectPropProjectOffset, 1), 20.0);
  EXPECT_EQ(p.dbl(kOfxImageEffectPropProjectExtent, 0), 1290.0);

  EXPECT_EQ(instance_->action("OfxActionNobodyKnows"), kOfxStatReplyDefault);
  EXPECT_EQ(plugin_->main_entry(kOfxActionLoad, nullptr, nullptr, nullptr), kOfxStatOK);

  ofxhost::PropertySet prefs;
  EXPECT_EQ(instance_->clip_preferences(prefs), kOfxStatOK);
  EXPECT_EQ(prefs.str(kOfxImageEffectPropPreMultiplication), kOfxImageUnPreMultiplied);
  EXPECT_EQ(prefs.str("OfxImageClipPropDepth_Output"), kOfxBitDepthByte);
  EXPECT_EQ(prefs.str("OfxImageClipPropComponents_Source"), kOfxImageComponentRGBA);
}

}  // namespace
