// Parameter instances: defaults, values through the suite and the host API,
// instance-changed in-arguments, and writes and messages from plug-in threads.
#include <chrono>
#include <cstring>
#include <thread>

#include "probe.h"

namespace {

using probe::suite;
using Params = probe::ProbeTest;

const OfxParameterSuiteV1* params() { return suite<OfxParameterSuiteV1>(kOfxParameterSuite); }
const OfxImageEffectSuiteV1* effects() { return suite<OfxImageEffectSuiteV1>(kOfxImageEffectSuite); }

OfxParamHandle handle_of(ofxhost::Instance& inst, const char* name) {
  OfxParamSetHandle set = nullptr;
  EXPECT_EQ(effects()->getParamSet(inst.handle(), &set), kOfxStatOK);
  OfxParamHandle p = nullptr;
  EXPECT_EQ(params()->paramGetHandle(set, name, &p, nullptr), kOfxStatOK) << name;
  return p;
}

TEST_F(Params, NewInstanceHoldsTheDescribedDefaults) {
  EXPECT_EQ(instance_->get_double("gain"), 1.0);
  EXPECT_EQ(instance_->get_int("invert"), 0);
  EXPECT_EQ(instance_->get_int("mode"), 1);
  EXPECT_EQ(instance_->get_int("count"), 7);
  EXPECT_EQ(instance_->get_string("label"), "hello");
  EXPECT_EQ(instance_->get_string("note"), "");
  EXPECT_EQ(instance_->get_string("status"), "idle");
  EXPECT_TRUE(instance_->string_history("status").empty());

  double x = -9, y = -9;
  EXPECT_EQ(params()->paramGetValue(handle_of(*instance_, "offset"), &x, &y), kOfxStatOK);
  EXPECT_EQ(x, 0.25);
  EXPECT_EQ(y, -0.5);
  double rgba[4] = {-1, -1, -1, -1};
  EXPECT_EQ(params()->paramGetValueAtTime(handle_of(*instance_, "tint"), 5.0, &rgba[0], &rgba[1], &rgba[2],
                                          &rgba[3]),
            kOfxStatOK);
  EXPECT_EQ(rgba[1], 0.5);
  EXPECT_EQ(rgba[2], 0.25);
  // A button holds no value.
  int v = 0;
  EXPECT_EQ(params()->paramGetValue(handle_of(*instance_, "go"), &v), kOfxStatErrUnsupported);
}

TEST_F(Params, SavedStringsAreInPlaceBeforeTheCreateAction) {
  EXPECT_EQ(instance_->props().str("ProbeLabelAtCreate"), "hello");
  auto restored = plugin_->create_instance(nullptr, {{"label", "from project"}, {"nosuch", "x"}});
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->props().str("ProbeLabelAtCreate"), "from project");
  EXPECT_EQ(restored->get_string("label"), "from project");
  EXPECT_EQ(restored->get_string("note"), "");
}

TEST_F(Params, SuiteValuesRoundTripForEveryKind) {
  EXPECT_EQ(params()->paramSetValue(handle_of(*instance_, "gain"), 2.5), kOfxStatOK);
  EXPECT_EQ(instance_->get_double("gain"), 2.5);
  EXPECT_EQ(params()->paramSetValueAtTime(handle_of(*instance_, "count"), 3.0, 42), kOfxStatOK);
  EXPECT_EQ(instance_->get_int("count"), 42);
  EXPECT_EQ(params()->paramSetValue(handle_of(*instance_, "offset"), 1.5, 2.5), kOfxStatOK);
  EXPECT_EQ(params()->paramSetValue(handle_of(*instance_, "tint"), 0.1, 0.2, 0.3, 0.4), kOfxStatOK);
  double x = 0, y = 0, rgba[4] = {};
  params()->paramGetValue(handle_of(*instance_, "offset"), &x, &y);
  params()->paramGetValue(handle_of(*instance_, "tint"), &rgba[0], &rgba[1], &rgba[2], &rgba[3]);
  EXPECT_EQ(x, 1.5);
  EXPECT_EQ(y, 2.5);
  EXPECT_EQ(rgba[3], 0.4);

  instance_->set_int("mode", 2);
  int mode = -1;
  EXPECT_EQ(params()->paramGetValue(handle_of(*instance_, "mode"), &mode), kOfxStatOK);
  EXPECT_EQ(mode, 2);

  OfxParamHandle note = handle_of(*instance_, "note");
  EXPECT_EQ(params()->paramSetValue(note, "from plug-in"), kOfxStatOK);
  instance_->set_string("note", "from host");
  EXPECT_EQ(params()->paramSetValue(note, static_cast<const char*>(nullptr)), kOfxStatOK);
  EXPECT_EQ(instance_->get_string("note"), "");
  EXPECT_EQ(instance_->string_history("note"), (std::vector<std::string>{"from plug-in", "from host", ""}));
}

TEST_F(Params, HandedOutTextSurvivesLaterWrites) {
  OfxParamHandle label = handle_of(*instance_, "label");
  const char* first = nullptr;
  ASSERT_EQ(params()->paramGetValue(label, &first), kOfxStatOK);
  ASSERT_NE(first, nullptr);
  // A long value forces the stored text to reallocate.
  instance_->set_string("label", std::string(4096, 'x'));
  EXPECT_STREQ(first, "hello");
  const char* second = nullptr;
  params()->paramGetValue(label, &second);
  EXPECT_EQ(std::strlen(second), 4096u);
}

TEST_F(Params, LookupsOfUnknownNamesLeaveTheOutputsAlone) {
  OfxParamSetHandle set = nullptr;
  ASSERT_EQ(effects()->getParamSet(instance_->handle(), &set), kOfxStatOK);
  auto sentinel = reinterpret_cast<OfxParamHandle>(0x1234);
  auto props_sentinel = reinterpret_cast<OfxPropertySetHandle>(0x5678);
  OfxParamHandle p = sentinel;
  OfxPropertySetHandle props = props_sentinel;
  EXPECT_EQ(params()->paramGetHandle(set, "nope", &p, &props), kOfxStatErrUnknown);
  EXPECT_EQ(p, sentinel);
  EXPECT_EQ(props, props_sentinel);

  ASSERT_EQ(params()->paramGetHandle(set, "gain", &p, &props), kOfxStatOK);
  auto* gain_props = reinterpret_cast<ofxhost::PropertySet*>(props);
  EXPECT_EQ(gain_props->str(kOfxParamPropType), kOfxParamTypeDouble);
  OfxPropertySetHandle again = nullptr;
  EXPECT_EQ(params()->paramGetPropertySet(p, &again), kOfxStatOK);
  EXPECT_EQ(again, props);
  EXPECT_EQ(params()->paramSetGetPropertySet(set, &again), kOfxStatOK);
  EXPECT_EQ(params()->paramEditBegin(set, "edit"), kOfxStatOK);
  EXPECT_EQ(params()->paramEditEnd(set), kOfxStatOK);
  // Instances cannot gain parameters after describe.
  EXPECT_NE(params()->paramDefine(set, kOfxParamTypeDouble, "late", nullptr), kOfxStatOK);

  // Unknown host values answer with the fallbacks.
  EXPECT_EQ(instance_->get_string("nope"), "");
  EXPECT_EQ(instance_->get_int("nope"), 0);
}

TEST_F(Params, HandlesOfADestroyedInstanceAreRefused) {
  OfxParamHandle gain = handle_of(*instance_, "gain");
  OfxImageEffectHandle effect = instance_->handle();
  instance_.reset();
  double v = 0;
  EXPECT_EQ(params()->paramGetValue(gain, &v), kOfxStatErrBadHandle);
  EXPECT_EQ(params()->paramSetValue(gain, 3.0), kOfxStatErrBadHandle);
  OfxParamSetHandle set = nullptr;
  EXPECT_EQ(effects()->getParamSet(effect, &set), kOfxStatErrBadHandle);
  auto msg = suite<OfxMessageSuiteV1>(kOfxMessageSuite);
  EXPECT_EQ(msg->message(effect, kOfxMessageError, nullptr, "late"), kOfxStatErrBadHandle);
}

TEST_F(Params, InstanceChangedCarriesItsArgumentsBetweenBeginAndEnd) {
  EXPECT_EQ(instance_->changed("gain", 12), kOfxStatOK);
  EXPECT_EQ(instance_->changed("mode", 3.5, kOfxChangePluginEdited), kOfxStatReplyDefault);
  EXPECT_EQ(instance_->string_history("trace"),
            (std::vector<std::string>{
                "begin OfxChangeUserEdited",
                "changed OfxTypeParameter|gain|OfxChangeUserEdited|12|1,1",
                "end OfxChangeUserEdited",
                "begin OfxChangePluginEdited",
                "changed OfxTypeParameter|mode|OfxChangePluginEdited|3.5|1,1",
                "end OfxChangePluginEdited",
            }));
}

TEST_F(Params, PlugInThreadsWriteParametersAndPostMessages) {
  plugin_->clear_messages();
  ASSERT_EQ(instance_->press("go"), kOfxStatOK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (instance_->get_string("status") != "done" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(instance_->string_history("status"), (std::vector<std::string>{"working", "done"}));

  auto mine = instance_->messages();
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].type, kOfxMessageWarning);
  EXPECT_EQ(mine[0].id, "probe.warn");
  EXPECT_EQ(mine[0].text, "50% of frames");
  auto global = plugin_->messages();
  ASSERT_EQ(global.size(), 1u);
  EXPECT_EQ(global[0].type, kOfxMessageMessage);
  EXPECT_EQ(global[0].id, "");
  EXPECT_EQ(global[0].text, "probe: 100% done");

  instance_->clear_messages();
  EXPECT_TRUE(instance_->messages().empty());
}

TEST_F(Params, MessageSinkSeesEveryMessage) {
  std::vector<std::string> seen;
  std::mutex mu;
  plugin_->on_message([&](const ofxhost::Message& m) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(m.text);
  });
  auto msg = suite<OfxMessageSuiteV2>(kOfxMessageSuite, 2);
  EXPECT_EQ(msg->message(nullptr, kOfxMessageLog, "id", "%s=%d", "n", 3), kOfxStatOK);
  EXPECT_EQ(msg->setPersistentMessage(instance_->handle(), kOfxMessageError, "", "%.2f", 2.5), kOfxStatOK);
  EXPECT_EQ(msg->message(nullptr, kOfxMessageQuestion, "", "sure?"), kOfxStatReplyYes);
  plugin_->on_message(nullptr);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(seen, (std::vector<std::string>{"n=3", "2.50", "sure?"}));
}

}  // namespace
