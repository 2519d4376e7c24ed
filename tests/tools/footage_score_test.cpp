// The identity scores on footage: known mattes against known boxes.
#include "eval/footage_score.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

// Ten frames of 200x100: the chosen person stands left, another right.
tessel::FootageCase two_people() {
  tessel::FootageCase c;
  c.name = "two";
  c.width = 200, c.height = 100;
  c.first = 10, c.last = 19, c.anchor = 10;
  c.chosen = {{10, {20, 20, 30, 60}}, {19, {20, 20, 30, 60}}};
  c.distractors = {{{10, {120, 20, 30, 60}}, {19, {120, 20, 30, 60}}}};
  return c;
}

cv::Mat filled(cv::Rect r, cv::Size size = {200, 100}) {
  cv::Mat m = cv::Mat::zeros(size, CV_8U);
  m(r).setTo(255);
  return m;
}

TEST(FootageScore, AMatteOnTheChosenPersonIsHeldThroughout) {
  const tessel::FootageCase c = two_people();
  // A person-like blob inside the box: about two thirds of it, nothing outside.
  cv::Mat person = cv::Mat::zeros(100, 200, CV_8U);
  cv::ellipse(person, {35, 50}, {14, 29}, 0, 0, 360, 255, cv::FILLED);
  const tessel::FootageScore s = tessel::score_footage(c, std::vector<cv::Mat>(10, person));
  EXPECT_EQ(s.frames, 10);
  EXPECT_DOUBLE_EQ(s.held, 1.0);
  EXPECT_GT(s.coverage, 0.6);
  EXPECT_LT(s.coverage, 0.8);
  EXPECT_DOUBLE_EQ(s.leak, 0.0);
  EXPECT_DOUBLE_EQ(s.distractor, 0.0);

  // The same at half the size: boxes are scaled to the matte.
  cv::Mat half;
  cv::resize(filled({20, 20, 30, 60}), half, {100, 50}, 0, 0, cv::INTER_NEAREST);
  const tessel::FootageScore h = tessel::score_footage(c, std::vector<cv::Mat>(10, half));
  EXPECT_DOUBLE_EQ(h.held, 1.0);
  EXPECT_NEAR(h.coverage, 1.0, 0.05);
}

TEST(FootageScore, AMatteThatMovesToTheOtherPersonHalfwayIsHeldHalfTheTime) {
  const tessel::FootageCase c = two_people();
  std::vector<cv::Mat> mattes;
  for (int i = 0; i < 10; ++i)
    mattes.push_back(filled(i < 5 ? cv::Rect(20, 20, 30, 60) : cv::Rect(120, 20, 30, 60)));
  const tessel::FootageScore s = tessel::score_footage(c, mattes);
  EXPECT_DOUBLE_EQ(s.held, 0.5);
  EXPECT_DOUBLE_EQ(s.distractor, 0.5);
  EXPECT_DOUBLE_EQ(s.leak, 0.5);
  EXPECT_DOUBLE_EQ(s.coverage, 0.5);
}

TEST(FootageScore, EmptyMissingOrScatteredMattesAreNotHeld) {
  const tessel::FootageCase c = two_people();
  const cv::Mat empty = cv::Mat::zeros(100, 200, CV_8U);
  tessel::FootageScore s = tessel::score_footage(c, std::vector<cv::Mat>(10, empty));
  EXPECT_EQ(s.frames, 10);
  EXPECT_DOUBLE_EQ(s.held, 0.0);
  EXPECT_DOUBLE_EQ(s.coverage, 0.0);
  // Mattes that never came back count as empty frames, not as fewer frames.
  s = tessel::score_footage(c, {});
  EXPECT_EQ(s.frames, 10);
  EXPECT_DOUBLE_EQ(s.held, 0.0);

  // The whole frame matted covers the box but holds little of the matte.
  const cv::Mat flood(100, 200, CV_8U, cv::Scalar(255));
  const tessel::FootageFrameScore f = tessel::score_footage_frame(flood, {200, 100}, {20, 20, 30, 60}, {});
  EXPECT_DOUBLE_EQ(f.coverage, 1.0);
  EXPECT_FALSE(f.held);
  // Outside the box grown by 6 px (a tenth of its height) on each side.
  EXPECT_NEAR(f.leak, 1.0 - 42.0 * 72.0 / 20000.0, 1e-9);

  // Only the head: most of the matte inside, but too little of the box.
  const tessel::FootageFrameScore head =
      tessel::score_footage_frame(filled({28, 20, 14, 12}), {200, 100}, {20, 20, 30, 60}, {});
  EXPECT_DOUBLE_EQ(head.inside, 1.0);
  EXPECT_FALSE(head.held);
}

TEST(FootageScore, MassInADistractorBoxCountsOnlyOutsideTheChosenBox) {
  // Two overlapping boxes: matte in the shared part belongs to the chosen one.
  const cv::Mat m = filled({40, 20, 20, 60});
  const tessel::FootageFrameScore s =
      tessel::score_footage_frame(m, {200, 100}, {20, 20, 30, 60}, {{45, 20, 30, 60}});
  EXPECT_DOUBLE_EQ(s.inside, 0.5);
  EXPECT_DOUBLE_EQ(s.distractor, 0.5);
}

}  // namespace
