// The hand-over between two anchors' trackers: which frames it spans, and
// that the outline moves from one tracker's to the other's without a jump.
#include "engine/engine_parts.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

TEST(Meeting, SpansTheFramesAroundTheMidpointOnly) {
  struct Case {
    int a, b, lo, hi;
  } cases[] = {{0, 100, 44, 56}, {0, 101, 45, 56}, {10, 14, 11, 13}, {3, 5, 4, 4}, {7, 8, 8, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + ".." + std::to_string(c.b));
    int lo = 0, hi = 0;
    tessel::meeting_frames(c.a, c.b, &lo, &hi);
    EXPECT_EQ(lo, c.lo);
    EXPECT_EQ(hi, c.hi);
    // Shares rise across the span, symmetric about its middle, never 0 or 1.
    for (int i = lo; i <= hi; ++i) {
      float s = tessel::later_share(i, lo, hi);
      EXPECT_GT(s, 0.0f);
      EXPECT_LT(s, 1.0f);
      EXPECT_NEAR(s + tessel::later_share(lo + hi - i, lo, hi), 1.0f, 1e-6f);
      if (i > lo) {
        EXPECT_GT(s, tessel::later_share(i - 1, lo, hi));
      }
    }
  }
}

tessel::TrackedFrame disc_at(cv::Point centre, int radius) {
  cv::Mat prob = cv::Mat::zeros(120, 160, CV_32F);
  cv::circle(prob, centre, radius, cv::Scalar(1.0), cv::FILLED);
  cv::GaussianBlur(prob, prob, cv::Size(5, 5), 0);
  cv::Mat picture(prob.size(), CV_8UC3, cv::Scalar(40, 90, 30)), mask = prob > 0.5f;
  picture.setTo(cv::Scalar(30, 30, 200), mask);
  tessel::TrackedFrame f;
  f.prob = prob;
  tessel::colour_learn(&f.colour, picture, mask, ~mask, 1.0f);
  return f;
}

// The two trackers put the character a little apart (one drifted), or one
// lost it: through the hand-over the outline moves, a little each step, from
// one's to the other's; no step takes or gives a large piece at once, and
// no pixel is left half in (a ghost) where they disagree.
TEST(Meeting, TheOutlineMovesWithoutAJump) {
  const tessel::TrackedFrame here = disc_at({60, 60}, 20);
  struct Case {
    const char* what;
    tessel::TrackedFrame later;
  } cases[] = {{"drifted", disc_at({80, 64}, 22)}, {"lost", disc_at({60, 60}, 0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const cv::Mat start = here.prob > 0.5f, end = c.later.prob > 0.5f;
    const int apart = cv::countNonZero(start != end);
    ASSERT_GT(apart, 500);
    cv::Mat before = start;
    const int steps = 12;
    for (int k = 1; k <= steps; ++k) {
      const float share = static_cast<float>(k) / (steps + 1);
      tessel::TrackedFrame met = tessel::blend_tracked(here, c.later, share);
      cv::Mat now = met.prob > 0.5f;
      EXPECT_LT(cv::countNonZero(now != before), apart / 4) << k;
      cv::Mat half = (met.prob > 0.2f) & (met.prob < 0.8f) & (start != end);
      cv::Mat edge;
      cv::morphologyEx(now, edge, cv::MORPH_GRADIENT, cv::getStructuringElement(cv::MORPH_RECT, {5, 5}));
      EXPECT_EQ(cv::countNonZero(half & ~edge), 0) << k;
      // Colours mix in the same measure, and stay a distribution.
      EXPECT_NEAR(cv::sum(met.colour.fg)[0], 1.0, 1e-4);
      before = now;
    }
    EXPECT_LT(cv::countNonZero(before != end), apart / 4);
  }
}

// One tracker lost the character behind something while the other holds it
// whole: the hand-over leaves it to the one that holds it, all the way.
TEST(Meeting, ATrackerThatLostTheCharacterHasNoSay) {
  tessel::TrackedFrame here = disc_at({60, 60}, 20), lost = disc_at({60, 60}, 0);
  here.usual_area = lost.usual_area = static_cast<float>(cv::countNonZero(here.prob > 0.5f));
  for (float share : {0.1f, 0.5f, 0.9f}) {
    tessel::TrackedFrame a = tessel::blend_tracked(here, lost, share),
                         b = tessel::blend_tracked(lost, here, share);
    EXPECT_EQ(cv::countNonZero((a.prob > 0.5f) != (here.prob > 0.5f)), 0) << share;
    EXPECT_EQ(cv::countNonZero((b.prob > 0.5f) != (here.prob > 0.5f)), 0) << share;
  }
}

// Pins are the nearer anchor's, and hold on the blended map.
TEST(Meeting, PinsAreTheNearerAnchors) {
  tessel::TrackedFrame a = disc_at({60, 60}, 20), b = disc_at({60, 60}, 20);
  a.pins = cv::Mat(a.prob.size(), CV_8U, cv::Scalar(tessel::kPinFree));
  a.pins(cv::Rect(55, 55, 10, 10)).setTo(tessel::kPinBackground);
  tessel::TrackedFrame near_a = tessel::blend_tracked(a, b, 0.3f), near_b = tessel::blend_tracked(a, b, 0.7f);
  EXPECT_EQ(near_a.prob.at<float>(60, 60), 0.0f);
  EXPECT_GT(near_b.prob.at<float>(60, 60), 0.9f);
  EXPECT_TRUE(near_b.pins.empty());
}

}  // namespace
