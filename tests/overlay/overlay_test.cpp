// The overlay driven through the headless host exactly as a viewer drives it:
// pen events write the selection parameters, the draw action paints into a
// real off-screen GL context whose pixels are read back.
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../plugin/plugin_testing.h"
#include "ofxhost/ofx_host.h"

namespace {

using json = nlohmann::json;
using ofxhost::Instance;
using ofxhost::Interact;
using ofxhost::PenEvent;

constexpr int kBox = 0;
constexpr int kAdd = 1;
constexpr int kExclude = 2;

class OverlayTest : public plugin_testing::PluginSuite {
 protected:
  void SetUp() override {
    PluginSuite::SetUp();
    instance_ = instance();
    ASSERT_NE(instance_, nullptr);
    instance_->set_project(1920, 1080);
    viewer_ = instance_->new_interact();
  }

  // The canonical pen position of a normalised project point (1920 x 1080, no offset).
  static PenEvent at(double x, double y, double time = 0.0) {
    PenEvent e;
    e.x = x * 1920.0;
    e.y = (1.0 - y) * 1080.0;
    e.time = time;
    return e;
  }

  json doc(const char* name) const { return json::parse(instance_->get_string(name)); }

  std::unique_ptr<Instance> instance_;
  std::unique_ptr<Interact> viewer_;
};

void expect_box(const json& box, double x, double y, double w, double h) {
  ASSERT_TRUE(box.is_object()) << box;
  EXPECT_NEAR(box["x"].get<double>(), x, 1e-12) << box;
  EXPECT_NEAR(box["y"].get<double>(), y, 1e-12) << box;
  EXPECT_NEAR(box["w"].get<double>(), w, 1e-12) << box;
  EXPECT_NEAR(box["h"].get<double>(), h, 1e-12) << box;
}

// Positions go through canonical coordinates and back, so they match to rounding;
// radii are copied from brush_size and match exactly.
void expect_dabs(const json& brush, const std::vector<std::array<double, 3>>& want) {
  ASSERT_TRUE(brush.is_array()) << brush;
  ASSERT_EQ(brush.size(), want.size()) << brush;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(brush[i][0].get<double>(), want[i][0], 1e-12) << brush;
    EXPECT_NEAR(brush[i][1].get<double>(), want[i][1], 1e-12) << brush;
    EXPECT_EQ(brush[i][2].get<double>(), want[i][2]) << brush;
  }
}

// Marks belong to the frame they are drawn on: the documents hold the edited
// frame's, frame_marks says which frame that is and keeps every other one's.
TEST_F(OverlayTest, MarksBelongToTheFrameTheyAreDrawnOn) {
  instance_->set_frame_range(0, 40);
  instance_->set_int("select_tool", kBox);
  viewer_->pen_down(at(0.2, 0.1, 4.0));
  viewer_->pen_motion(at(0.6, 0.7, 4.0));
  viewer_->pen_up(at(0.6, 0.7, 4.0));
  EXPECT_EQ(doc("frame_marks"), json::parse(R"({"editing":4,"frames":{}})"));

  // On frame 30 an exclude dab: frame 4's box goes among the others.
  instance_->set_int("select_tool", kExclude);
  instance_->set_double("brush_size", 0.05);
  viewer_->pen_down(at(0.5, 0.5, 30.0));
  viewer_->pen_up(at(0.5, 0.5, 30.0));
  EXPECT_EQ(instance_->get_string("bbox_json"), "");
  expect_dabs(doc("brush_json"), {{0.5, 0.5, -0.05}});
  json marks = doc("frame_marks");
  EXPECT_EQ(marks["editing"], 30);
  expect_box(marks["frames"]["4"]["bbox"], 0.2, 0.1, 0.4, 0.6);
  EXPECT_EQ(marks["frames"]["4"]["strokes"], json::array());

  // Back on frame 4 its box comes back to be edited, and frame 30's dab is kept.
  instance_->set_int("select_tool", kAdd);
  viewer_->pen_down(at(0.3, 0.3, 4.0));
  viewer_->pen_up(at(0.3, 0.3, 4.0));
  expect_box(doc("bbox_json"), 0.2, 0.1, 0.4, 0.6);
  expect_dabs(doc("brush_json"), {{0.3, 0.3, 0.05}});
  marks = doc("frame_marks");
  EXPECT_EQ(marks["editing"], 4);
  EXPECT_EQ(marks["frames"].size(), 1u);
  EXPECT_EQ(marks["frames"]["30"]["strokes"], json::parse("[[0.5,0.5,-0.05]]"));

  // "Clear selection" clears the frame it is pressed on, and only that one.
  instance_->press("clear_mask", 30.0);
  EXPECT_EQ(doc("frame_marks"), json::parse(R"({"editing":4,"frames":{}})"));
  expect_box(doc("bbox_json"), 0.2, 0.1, 0.4, 0.6);
  instance_->press("clear_mask", 4.0);
  EXPECT_EQ(instance_->get_string("bbox_json"), "");
  EXPECT_EQ(instance_->get_string("brush_json"), "[]");
}

// Marks of a project saved before they had frames become the frame's they are edited on.
TEST_F(OverlayTest, UnframedMarksJoinTheFirstFrameEdited) {
  instance_->set_frame_range(0, 40);
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.5,"x":0.25,"y":0.25})");
  instance_->set_string("brush_json", "[[0.5,0.5,0.03]]");
  instance_->set_int("select_tool", kAdd);
  viewer_->pen_down(at(0.1, 0.1, 12.0));
  viewer_->pen_up(at(0.1, 0.1, 12.0));
  expect_box(doc("bbox_json"), 0.25, 0.25, 0.5, 0.5);
  expect_dabs(doc("brush_json"), {{0.5, 0.5, 0.03}, {0.1, 0.1, 0.03}});
  EXPECT_EQ(doc("frame_marks")["editing"], 12);
}

TEST_F(OverlayTest, BoxToolRewritesTheBoxOnEveryPenEvent) {
  instance_->set_int("select_tool", kBox);
  EXPECT_EQ(viewer_->pen_down(at(0.6, 0.7)), kOfxStatOK);
  // A pen-down alone already replaces the box, by one of zero size.
  expect_box(doc("bbox_json"), 0.6, 0.7, 0.0, 0.0);
  EXPECT_EQ(viewer_->pen_motion(at(0.4, 0.3)), kOfxStatOK);
  EXPECT_EQ(viewer_->pen_motion(at(0.2, 0.1)), kOfxStatOK);
  EXPECT_EQ(viewer_->pen_up(at(0.2, 0.1)), kOfxStatOK);
  expect_box(doc("bbox_json"), 0.2, 0.1, 0.4, 0.6);
  EXPECT_EQ(instance_->string_history("bbox_json").size(), 3u);
  EXPECT_EQ(instance_->get_string("brush_json"), "[]");

  // After the pen-up, motion is the host's again and writes nothing.
  EXPECT_EQ(viewer_->pen_motion(at(0.9, 0.9)), kOfxStatReplyDefault);
  expect_box(doc("bbox_json"), 0.2, 0.1, 0.4, 0.6);

  // A click stores a zero-size box at the click position, in the documents' exact text.
  viewer_->pen_down(at(0.3, 0.4));
  viewer_->pen_up(at(0.3, 0.4));
  EXPECT_EQ(instance_->get_string("bbox_json"), R"({"h":0.0,"w":0.0,"x":0.3,"y":0.4})");
}

TEST_F(OverlayTest, BrushToolsAppendOneDabPerPenEvent) {
  instance_->set_double("brush_size", 0.05);
  instance_->set_int("select_tool", kAdd);
  viewer_->pen_down(at(0.1, 0.2));
  viewer_->pen_motion(at(0.15, 0.2));
  viewer_->pen_motion(at(0.2, 0.2));
  viewer_->pen_up(at(0.2, 0.2));
  // A new stroke with the exclude tool continues the same list.
  instance_->set_int("select_tool", kExclude);
  EXPECT_EQ(viewer_->pen_down(at(0.5, 0.5)), kOfxStatOK);
  EXPECT_EQ(viewer_->pen_up(at(0.5, 0.5)), kOfxStatOK);
  // Any tool value other than the box is a brush; only 2 excludes.
  instance_->set_int("select_tool", 7);
  viewer_->pen_down(at(0.75, 0.25));
  viewer_->pen_up(at(0.75, 0.25));

  expect_dabs(doc("brush_json"),
              {{0.1, 0.2, 0.05}, {0.15, 0.2, 0.05}, {0.2, 0.2, 0.05}, {0.5, 0.5, -0.05}, {0.75, 0.25, 0.05}});
  EXPECT_EQ(instance_->get_string("bbox_json"), "");
}

TEST_F(OverlayTest, BrushDocumentThatIsNotJsonStartsOverAndZeroSizeExcludeKeepsItsSign) {
  instance_->set_string("brush_json", "{oops");
  instance_->set_int("select_tool", kAdd);
  viewer_->pen_down(at(0.25, 0.5));
  EXPECT_EQ(instance_->get_string("brush_json"), "[[0.25,0.5,0.03]]");
  viewer_->pen_up(at(0.25, 0.5));

  instance_->set_double("brush_size", 0.0);
  instance_->set_int("select_tool", kExclude);
  viewer_->pen_down(at(0.5, 0.5));
  EXPECT_EQ(instance_->get_string("brush_json"), "[[0.25,0.5,0.03],[0.5,0.5,-0.0]]");
}

TEST_F(OverlayTest, BrushStopsAt2048DabsButStillTakesThePen) {
  std::string full = "[";
  for (int i = 0; i < 2047; ++i) full += (i ? ",[0.5,0.5,0.03]" : "[0.5,0.5,0.03]");
  instance_->set_string("brush_json", full + "]");
  instance_->set_int("select_tool", kAdd);
  EXPECT_EQ(viewer_->pen_down(at(0.1, 0.1)), kOfxStatOK);
  EXPECT_EQ(doc("brush_json").size(), 2048u);
  const auto writes = instance_->string_history("brush_json").size();
  EXPECT_EQ(viewer_->pen_motion(at(0.2, 0.2)), kOfxStatOK);
  EXPECT_EQ(instance_->string_history("brush_json").size(), writes);
  EXPECT_EQ(doc("brush_json").size(), 2048u);
}

TEST_F(OverlayTest, PenOutsideTheProjectIsClampedToItsEdges) {
  instance_->set_project(1000, 500, 100, 50);
  PenEvent down;  // canonical, left of and above the project area
  down.x = -400;
  down.y = 900;
  PenEvent motion;  // right of and below it
  motion.x = 5000;
  motion.y = -300;
  viewer_->pen_down(down);
  expect_box(doc("bbox_json"), 0.0, 0.0, 0.0, 0.0);
  viewer_->pen_motion(motion);
  expect_box(doc("bbox_json"), 0.0, 0.0, 1.0, 1.0);
  // Inside, the project offset is taken off before normalising.
  PenEvent inside;
  inside.x = 100 + 250;
  inside.y = 50 + 375;
  viewer_->pen_motion(inside);
  expect_box(doc("bbox_json"), 0.0, 0.0, 0.25, 0.25);
}

TEST_F(OverlayTest, ZeroProjectSizeUsesHdGeometry) {
  instance_->set_project(0, 0);
  PenEvent pen;
  pen.x = 480;
  pen.y = 810;
  viewer_->pen_down(pen);
  expect_box(doc("bbox_json"), 0.25, 0.25, 0.0, 0.0);
}

TEST_F(OverlayTest, MotionWithoutPenDownIsLeftToTheHost) {
  const auto writes = instance_->string_history("bbox_json").size();
  EXPECT_EQ(viewer_->pen_motion(at(0.5, 0.5)), kOfxStatReplyDefault);
  EXPECT_EQ(viewer_->pen_up(at(0.5, 0.5)), kOfxStatOK);
  EXPECT_EQ(viewer_->pen_motion(at(0.5, 0.5)), kOfxStatReplyDefault);
  EXPECT_EQ(instance_->string_history("bbox_json").size(), writes);
  EXPECT_EQ(instance_->get_string("bbox_json"), "");
  EXPECT_EQ(instance_->get_string("brush_json"), "[]");
}

TEST_F(OverlayTest, AClosedViewersDragDoesNotContinueInANewOne) {
  // Viewers opened and closed in a row often get the same address back: a
  // drag left open in a closed viewer must not carry over.
  for (int i = 0; i < 50; ++i) {
    auto viewer = instance_->new_interact();
    ASSERT_EQ(viewer->pen_down(at(0.1, 0.1)), kOfxStatOK);
    viewer.reset();
    auto next = instance_->new_interact();
    ASSERT_EQ(next->pen_motion(at(0.5, 0.5)), kOfxStatReplyDefault) << "round " << i;
  }
}

TEST_F(OverlayTest, CheckboxOffLeavesEveryActionToTheHost) {
  instance_->set_int("select_tool", kBox);
  viewer_->pen_down(at(0.1, 0.1));
  const auto writes = instance_->string_history("bbox_json").size();

  instance_->set_int("draw_mask", 0);
  EXPECT_EQ(viewer_->pen_motion(at(0.5, 0.5)), kOfxStatReplyDefault);
  EXPECT_EQ(viewer_->pen_up(at(0.5, 0.5)), kOfxStatReplyDefault);
  EXPECT_EQ(viewer_->pen_down(at(0.7, 0.7)), kOfxStatReplyDefault);
  EXPECT_EQ(viewer_->draw(), kOfxStatReplyDefault);
  instance_->set_int("select_tool", kAdd);
  EXPECT_EQ(viewer_->pen_down(at(0.7, 0.7)), kOfxStatReplyDefault);
  EXPECT_EQ(instance_->string_history("bbox_json").size(), writes);
  EXPECT_EQ(instance_->get_string("brush_json"), "[]");

  // The pen-up went to the host, so the drag begun before is still under way.
  instance_->set_int("draw_mask", 1);
  instance_->set_int("select_tool", kBox);
  EXPECT_EQ(viewer_->pen_motion(at(0.3, 0.4)), kOfxStatOK);
  expect_box(doc("bbox_json"), 0.1, 0.1, 0.2, 0.3);
}

TEST_F(OverlayTest, DestroyedInteractLeavesNoDragBehind) {
  // A host may give a new viewer the address of a destroyed one; the plug-in
  // forgets a handle's drag when told the interact is gone, checkbox on or off.
  auto* entry = reinterpret_cast<OfxPluginEntryPoint*>(
      plugin().descriptor().ptr(kOfxImageEffectPluginPropOverlayInteractV1));
  ASSERT_NE(entry, nullptr);
  for (int drawMask : {1, 0}) {
    instance_->set_int("draw_mask", 1);
    EXPECT_EQ(viewer_->pen_down(at(0.2, 0.2)), kOfxStatOK);
    instance_->set_int("draw_mask", drawMask);
    EXPECT_EQ(entry(kOfxActionDestroyInstance, viewer_->handle(), nullptr, nullptr), kOfxStatReplyDefault);
    instance_->set_int("draw_mask", 1);
    EXPECT_EQ(viewer_->pen_motion(at(0.6, 0.6)), kOfxStatReplyDefault) << drawMask;
  }
  expect_box(doc("bbox_json"), 0.2, 0.2, 0.0, 0.0);
}

TEST_F(OverlayTest, EachViewerKeepsItsOwnAnchor) {
  auto second = instance_->new_interact();
  viewer_->pen_down(at(0.1, 0.1));
  second->pen_down(at(0.9, 0.9));
  viewer_->pen_motion(at(0.3, 0.2));
  expect_box(doc("bbox_json"), 0.1, 0.1, 0.2, 0.1);
  second->pen_motion(at(0.8, 0.6));
  expect_box(doc("bbox_json"), 0.8, 0.6, 0.1, 0.3);
  // Ending one drag leaves the other going.
  second->pen_up(at(0.8, 0.6));
  EXPECT_EQ(second->pen_motion(at(0.5, 0.5)), kOfxStatReplyDefault);
  EXPECT_EQ(viewer_->pen_motion(at(0.5, 0.5)), kOfxStatOK);
  expect_box(doc("bbox_json"), 0.1, 0.1, 0.4, 0.4);
}

TEST_F(OverlayTest, ConcurrentPenEventsOnTwoViewers) {
  // Some hosts run each viewer on a thread of its own. This host hands overlay
  // actions over one at a time, so the threads call the overlay entry directly,
  // as such a host would. Two instances keep the documents apart; the drag
  // records, created here on first use from both threads, are shared plug-in state.
  auto* entry = reinterpret_cast<OfxPluginEntryPoint*>(
      plugin().descriptor().ptr(kOfxImageEffectPluginPropOverlayInteractV1));
  ASSERT_NE(entry, nullptr);
  auto other = instance();
  ASSERT_NE(other, nullptr);
  other->set_project(1920, 1080);
  other->set_int("select_tool", kAdd);
  instance_->set_int("select_tool", kBox);
  constexpr int kViewers = 4;
  std::vector<std::unique_ptr<Interact>> boxViewers, brushViewers;
  for (int v = 0; v < kViewers; ++v) {
    boxViewers.push_back(instance_->new_interact());
    brushViewers.push_back(other->new_interact());
  }

  std::atomic<int> failures{0};
  auto pen = [&](Interact& viewer, const char* action, double x, double y) {
    ofxhost::PropertySet args;
    const PenEvent e = at(x, y);
    args.set_dbl(kOfxInteractPropPenPosition, {e.x, e.y});
    if (entry(action, viewer.handle(), ofxhost::handle_of(args), nullptr) != kOfxStatOK) ++failures;
  };
  constexpr int kStrokes = 40;
  std::thread boxes([&] {
    for (int i = 0; i < kStrokes; ++i) {
      Interact& viewer = *boxViewers[i % kViewers];
      const double a = 0.01 * i;
      pen(viewer, kOfxInteractActionPenDown, a, a);
      for (int m = 1; m <= 5; ++m) pen(viewer, kOfxInteractActionPenMotion, a + 0.05 * m, a + 0.02 * m);
      pen(viewer, kOfxInteractActionPenUp, 0, 0);
    }
  });
  std::thread brush([&] {
    for (int i = 0; i < kStrokes; ++i) {
      Interact& viewer = *brushViewers[i % kViewers];
      pen(viewer, kOfxInteractActionPenDown, 0.5, 0.5);
      pen(viewer, kOfxInteractActionPenMotion, 0.6, 0.5);
      pen(viewer, kOfxInteractActionPenUp, 0.6, 0.5);
    }
  });
  boxes.join();
  brush.join();
  EXPECT_EQ(failures.load(), 0);
  const double a = 0.01 * (kStrokes - 1);
  expect_box(doc("bbox_json"), a, a, 0.25, 0.1);
  EXPECT_EQ(json::parse(other->get_string("brush_json")).size(), 2u * kStrokes);
}

}  // namespace
