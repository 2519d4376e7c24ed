// Which frames the engine takes as anchors, and which marked frames it refuses.
#include "engine/engine_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<int> frames_of(const std::vector<tessel::EngineRequest>& anchors) {
  std::vector<int> out;
  for (const tessel::EngineRequest& a : anchors) out.push_back(a.anchor_frame);
  return out;
}

TEST(PlanAnchors, EveryMarkedFrameIsAnAnchorInFrameOrder) {
  tessel::EngineRequest request;
  request.anchor_frame = 30;
  request.quality = tessel::Quality::Fast;
  request.text_prompt = "the red coat";
  request.has_box = true;
  request.box = {0.1, 0.1, 0.2, 0.2};
  request.dabs = {{0.2, 0.2, 0.01}};
  request.marked_frames = {{45, true, {0.5, 0.5, 0.25, 0.25}, {}},
                           {3, false, {}, {{0.4, 0.4, -0.02}}},
                           {30, true, {0.0, 0.0, 1.0, 1.0}, {}},  // the anchor's own keys win
                           {10, false, {}, {}}};                  // marks nothing
  std::vector<tessel::EngineRequest> anchors;
  std::string error;
  ASSERT_TRUE(tessel::plan_anchors(request, 50, &anchors, &error)) << error;
  EXPECT_EQ(frames_of(anchors), (std::vector<int>{3, 30, 45}));
  EXPECT_DOUBLE_EQ(anchors[1].box.w, 0.2);
  ASSERT_EQ(anchors[1].dabs.size(), 1u);
  EXPECT_TRUE(anchors[2].has_box);
  EXPECT_DOUBLE_EQ(anchors[2].box.x, 0.5);
  EXPECT_TRUE(anchors[2].dabs.empty());
  EXPECT_FALSE(anchors[0].has_box);
  ASSERT_EQ(anchors[0].dabs.size(), 1u);
  for (const tessel::EngineRequest& a : anchors) {
    EXPECT_EQ(a.quality, tessel::Quality::Fast);
    EXPECT_EQ(a.text_prompt, "the red coat");
    EXPECT_TRUE(a.marked_frames.empty());
  }

  // The anchor is clamped into the clip first: a mark on the frame it lands on
  // is the anchor's.
  request.anchor_frame = 80;
  request.marked_frames = {{49, true, {0.5, 0.5, 0.25, 0.25}, {}}};
  ASSERT_TRUE(tessel::plan_anchors(request, 50, &anchors, &error)) << error;
  EXPECT_EQ(frames_of(anchors), (std::vector<int>{49}));
  EXPECT_DOUBLE_EQ(anchors[0].box.x, 0.1);
}

TEST(PlanAnchors, RefusesMarksItCannotHonour) {
  tessel::EngineRequest request;
  request.anchor_frame = 2;
  std::vector<tessel::EngineRequest> anchors;
  std::string error;
  const tessel::MarkedFrame boxed{0, true, {0.2, 0.2, 0.5, 0.5}, {}};
  auto at = [&boxed](int frame) {
    tessel::MarkedFrame m = boxed;
    m.frame = frame;
    return m;
  };
  struct Case {
    std::vector<tessel::MarkedFrame> marks;
    const char* why;
  } cases[] = {
      {{at(12)}, "marked frame 12 is not in the clip of 12 frames"},
      {{at(-1)}, "marked frame -1 is not in the clip of 12 frames"},
      {{at(5), at(7), at(5)}, "frame 5 is marked twice"},
      {std::vector<tessel::MarkedFrame>(tessel::kMaxMarkedFrames + 1, at(4)), "more than 100 marked frames"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    request.marked_frames = c.marks;
    EXPECT_FALSE(tessel::plan_anchors(request, 12, &anchors, &error));
    EXPECT_EQ(error, c.why);
  }
}

}  // namespace
