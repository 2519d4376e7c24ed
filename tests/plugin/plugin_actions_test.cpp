// Action dispatch and the buttons, driven through the headless host.
#include "plugin_testing.h"

namespace {

using ofxhost::PropertySet;

class PluginActions : public plugin_testing::PluginSuite {};

TEST_F(PluginActions, UnknownActionsAndParametersGetReplyDefault) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  inst->set_string("session_id", "s1");
  EXPECT_EQ(plugin().main_entry(kOfxActionBeginInstanceChanged, inst->handle(), nullptr, nullptr),
            kOfxStatReplyDefault);
  EXPECT_EQ(plugin().main_entry("OfxActionNoSuchThing", inst->handle(), nullptr, nullptr),
            kOfxStatReplyDefault);
  EXPECT_EQ(inst->changed("output_mode"), kOfxStatReplyDefault);
  EXPECT_EQ(inst->changed("session_id"), kOfxStatReplyDefault);
  EXPECT_EQ(inst->changed("not_a_param"), kOfxStatReplyDefault);
  // Instance changed with in-arguments that name nothing.
  PropertySet no_name;
  no_name.set_dbl(kOfxPropTime, {3.0});
  EXPECT_EQ(plugin().main_entry(kOfxActionInstanceChanged, inst->handle(), &no_name, nullptr),
            kOfxStatReplyDefault);
  EXPECT_EQ(inst->get_string("session_id"), "s1") << "nothing changed";
}

TEST_F(PluginActions, LoadUnloadAndDestroyAreAcceptedQuietly) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  EXPECT_EQ(plugin().main_entry(kOfxActionLoad, nullptr, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(plugin().main_entry(kOfxActionUnload, nullptr, nullptr, nullptr), kOfxStatOK);
}

TEST_F(PluginActions, ClearSelectionEmptiesBothDocuments) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  inst->set_string("bbox_json", R"({"x0":0.1})");
  inst->set_string("brush_json", R"([{"x":0.5}])");
  inst->set_string("session_id", "keep");
  EXPECT_EQ(inst->press("clear_mask"), kOfxStatOK);
  EXPECT_EQ(inst->get_string("bbox_json"), "");
  EXPECT_EQ(inst->get_string("brush_json"), "[]");
  EXPECT_EQ(inst->get_string("session_id"), "keep");
}

TEST_F(PluginActions, ResetMatteForgetsTheSessionThenSaysIdle) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  inst->set_string("session_id", "abc");
  inst->set_string("status", "ready");
  inst->set_string("bbox_json", "box");
  EXPECT_EQ(inst->press("reset_matte"), kOfxStatOK);
  EXPECT_EQ(inst->get_string("session_id"), "");
  EXPECT_EQ(inst->get_string("status"), "idle");
  EXPECT_EQ(inst->get_string("bbox_json"), "box");
  // session_id was written before status.
  const auto sessions = inst->string_history("session_id");
  const auto statuses = inst->string_history("status");
  ASSERT_FALSE(sessions.empty());
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(sessions.back(), "");
  EXPECT_EQ(statuses.back(), "idle");
}

TEST_F(PluginActions, PullButtonAnswersOkEvenWhenThePullRefuses) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  inst->set_string("backend_url", "");  // no backend: the pull cannot start
  EXPECT_EQ(inst->press("pull_alpha", 4.0), kOfxStatOK);
}

TEST_F(PluginActions, ClipPreferencesDeclarePremultipliedOutput) {
  auto inst = instance();
  ASSERT_TRUE(inst);
  for (int mode : {0, 1, 2}) {
    inst->set_int("output_mode", mode);
    PropertySet out_args;
    EXPECT_EQ(inst->clip_preferences(out_args), kOfxStatOK);
    EXPECT_EQ(out_args.str(kOfxImageEffectPropPreMultiplication), "OfxImageAlphaPremultiplied");
    EXPECT_EQ(out_args.integer(kOfxImageEffectFrameVarying, 0, -1), 1);
    EXPECT_EQ(out_args.integer(kOfxImageClipPropContinuousSamples, 0, -1), 0);
  }
}

}  // namespace
