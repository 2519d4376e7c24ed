// What the host learns from the describe actions, and a new instance's values.
#include <cstring>

#include "plugin_testing.h"

namespace {

using ofxhost::ParamDescriptor;
using ofxhost::PropertySet;

class PluginDescribe : public plugin_testing::PluginSuite {};

TEST_F(PluginDescribe, EffectProperties) {
  EXPECT_EQ(plugin().describe_status(), kOfxStatOK);
  const PropertySet& d = plugin().descriptor();
  EXPECT_EQ(d.str(kOfxPropLabel), "Corvane Mattivo");
  EXPECT_EQ(d.str(kOfxImageEffectPluginPropGrouping), "Corvane");
  EXPECT_EQ(d.str(kOfxPropPluginDescription).rfind("Corvane Mattivo: AI character alpha matte.", 0), 0u);
  EXPECT_EQ(d.dimension(kOfxImageEffectPropSupportedContexts), 1);
  EXPECT_EQ(d.str(kOfxImageEffectPropSupportedContexts), kOfxImageEffectContextFilter);
  EXPECT_EQ(d.dimension(kOfxImageEffectPropSupportedPixelDepths), 2);
  EXPECT_EQ(d.str(kOfxImageEffectPropSupportedPixelDepths, 0), kOfxBitDepthByte);
  EXPECT_EQ(d.str(kOfxImageEffectPropSupportedPixelDepths, 1), kOfxBitDepthFloat);
  EXPECT_EQ(d.integer(kOfxImageEffectPluginPropSingleInstance, 0, -1), 0);
  EXPECT_EQ(d.integer(kOfxImageEffectPluginPropHostFrameThreading), 1);
  EXPECT_EQ(d.str(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderFullySafe);
  EXPECT_EQ(d.integer(kOfxImageEffectPropSupportsMultiResolution), 1);
  EXPECT_EQ(d.integer(kOfxImageEffectPropSupportsTiles, 0, -1), 0);
  EXPECT_NE(d.ptr(kOfxImageEffectPluginPropOverlayInteractV1), nullptr);
}

TEST_F(PluginDescribe, TwoRgbaClips) {
  const auto& clips = plugin().clips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].name, "Source");
  EXPECT_EQ(clips[1].name, "Output");
  for (const auto& clip : clips) {
    EXPECT_EQ(clip.props.dimension(kOfxImageEffectPropSupportedComponents), 1) << clip.name;
    EXPECT_EQ(clip.props.str(kOfxImageEffectPropSupportedComponents), kOfxImageComponentRGBA);
  }
}

struct Expected {
  const char* name;
  const char* type;
  const char* label;  // null: none set, and hidden
};

// The sixteen of the first release keep their places; later ones are appended,
// so projects saved before them still load.
TEST_F(PluginDescribe, ParametersInOrder) {
  const Expected expected[] = {
      {"backend_url", kOfxParamTypeString, "Backend URL"},
      {"output_mode", kOfxParamTypeChoice, "Output"},
      {"draw_mask", kOfxParamTypeBoolean, "Edit selection in viewer"},
      {"select_tool", kOfxParamTypeChoice, "Tool"},
      {"brush_size", kOfxParamTypeDouble, "Brush size"},
      {"text_hint", kOfxParamTypeString, "Character hint (optional)"},
      {"quality", kOfxParamTypeChoice, "Quality"},
      {"edge_softness", kOfxParamTypeDouble, "Edge softness"},
      {"pull_alpha", kOfxParamTypePushButton, "Pull alpha (whole clip)"},
      {"clear_mask", kOfxParamTypePushButton, "Clear selection"},
      {"reset_matte", kOfxParamTypePushButton, "Reset matte"},
      {"status", kOfxParamTypeString, "Status"},
      {"bbox_json", kOfxParamTypeString, nullptr},
      {"brush_json", kOfxParamTypeString, nullptr},
      {"session_id", kOfxParamTypeString, nullptr},
      {"clip_start", kOfxParamTypeString, nullptr},
      {"cancel_pull", kOfxParamTypePushButton, "Cancel pull"},
      {"frame_marks", kOfxParamTypeString, nullptr},
  };
  const auto& params = plugin().params();
  ASSERT_EQ(params.size(), 18u);
  for (size_t i = 0; i < params.size(); ++i) {
    const ParamDescriptor& p = params[i];
    EXPECT_EQ(p.name, expected[i].name);
    EXPECT_EQ(p.type, expected[i].type) << p.name;
    if (expected[i].label) {
      EXPECT_EQ(p.props.str(kOfxPropLabel), expected[i].label) << p.name;
      EXPECT_EQ(p.props.integer(kOfxParamPropSecret), 0) << p.name;
    } else {
      EXPECT_EQ(p.props.integer(kOfxParamPropSecret), 1) << p.name;
    }
  }
}

TEST_F(PluginDescribe, DefaultsRangesOptionsAndHints) {
  auto param = [this](const char* name) -> const PropertySet& {
    const ParamDescriptor* p = plugin().param(name);
    EXPECT_NE(p, nullptr) << name;
    static const PropertySet empty;
    return p ? p->props : empty;
  };
  const std::string url = param("backend_url").str(kOfxParamPropDefault);
  EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
  EXPECT_NE(url.find(".invalid"), std::string::npos) << "a placeholder naming no real service";
  EXPECT_EQ(param("backend_url").str(kOfxParamPropHint), "Copy it from the Corvane download page.");

  auto options = [&](const char* name) {
    std::vector<std::string> out;
    const PropertySet& p = param(name);
    for (int i = 0; i < p.dimension(kOfxParamPropChoiceOption); ++i) {
      out.push_back(p.str(kOfxParamPropChoiceOption, i));
    }
    return out;
  };
  using Strings = std::vector<std::string>;
  EXPECT_EQ(options("output_mode"), (Strings{"Character (RGBA)", "Matte only", "Source (bypass)"}));
  EXPECT_EQ(options("select_tool"), (Strings{"Bounding box", "Brush (add)", "Brush (exclude)"}));
  EXPECT_EQ(options("quality"), (Strings{"Fine edges (SAM 3.1 + BiRefNet)", "Fast (SAM 3.1)"}));

  EXPECT_EQ(param("draw_mask").integer(kOfxParamPropDefault), 1);
  EXPECT_EQ(param("brush_size").dbl(kOfxParamPropDefault), 0.03);
  EXPECT_EQ(param("brush_size").dbl(kOfxParamPropMin), 0.005);
  EXPECT_EQ(param("brush_size").dbl(kOfxParamPropMax), 0.3);
  EXPECT_EQ(param("edge_softness").dbl(kOfxParamPropDefault), 0.35);
  EXPECT_EQ(param("edge_softness").dbl(kOfxParamPropMin, 0, -1), 0.0);
  EXPECT_EQ(param("edge_softness").dbl(kOfxParamPropMax), 1.0);
  EXPECT_FALSE(param("brush_size").has(kOfxParamPropDisplayMin));
  EXPECT_EQ(param("text_hint").str(kOfxParamPropHint),
            "e.g. 'woman in red'. Used when no box or brush is drawn.");
  EXPECT_EQ(param("status").integer(kOfxParamPropEnabled, 0, 1), 0);
  EXPECT_EQ(param("status").str(kOfxParamPropStringMode), "OfxParamStringIsLabel");
  EXPECT_EQ(param("status").str(kOfxParamPropDefault), "idle");
  EXPECT_EQ(param("brush_json").str(kOfxParamPropDefault), "[]");
  EXPECT_EQ(param("clip_start").str(kOfxParamPropDefault), "0");
  EXPECT_EQ(param("frame_marks").str(kOfxParamPropDefault), "{}");
  EXPECT_EQ(param("session_id").str(kOfxParamPropDefault, 0, "unset"), "");
  for (const char* name : {"output_mode", "select_tool", "quality"}) {
    EXPECT_EQ(param(name).integer(kOfxParamPropDefault, 0, -1), 0) << name;
  }
}

TEST_F(PluginDescribe, EveryValuedParameterSetsItsDefault) {
  // Hosts list no options for a choice that leaves its default to them.
  for (const ParamDescriptor& p : plugin().params()) {
    if (p.type != kOfxParamTypePushButton) {
      EXPECT_EQ(p.props.dimension(kOfxParamPropDefault), 1) << p.name;
    }
  }
}

TEST_F(PluginDescribe, NewInstanceStartsFromTheDefaults) {
  auto inst = instance();  // every default but backend_url, which would start a beacon
  ASSERT_TRUE(inst);
  EXPECT_EQ(inst->get_string("status"), "idle");
  EXPECT_EQ(inst->get_string("brush_json"), "[]");
  EXPECT_EQ(inst->get_string("bbox_json"), "");
  EXPECT_EQ(inst->get_string("clip_start"), "0");
  EXPECT_EQ(inst->get_string("session_id"), "");
  EXPECT_EQ(inst->get_string("text_hint"), "");
  EXPECT_EQ(inst->get_int("output_mode"), 0);
  EXPECT_EQ(inst->get_int("select_tool"), 0);
  EXPECT_EQ(inst->get_int("quality"), 0);
  EXPECT_EQ(inst->get_int("draw_mask"), 1);
  EXPECT_EQ(inst->get_double("brush_size"), 0.03);
  EXPECT_EQ(inst->get_double("edge_softness"), 0.35);
}

}  // namespace
