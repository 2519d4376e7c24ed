// The scores the benchmark and mattivo-eval report.
#include "eval/eval_metrics.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

cv::Mat rect_mask(cv::Size size, cv::Rect r, uchar value = 255) {
  cv::Mat m = cv::Mat::zeros(size, CV_8U);
  m(r).setTo(value);
  return m;
}

TEST(Metrics, RegionSimilarityIsTheOverlapOfTheMattesCutAtOneHalf) {
  const cv::Size size(200, 100);
  cv::Mat truth = rect_mask(size, {20, 20, 40, 40});
  EXPECT_DOUBLE_EQ(tessel::score_frame(truth, truth).j, 1.0);
  // 40x40 against a copy shifted 10 px: 1200 shared of 2000 in either.
  EXPECT_DOUBLE_EQ(tessel::score_frame(rect_mask(size, {30, 20, 40, 40}), truth).j, 0.6);
  // Values at 128 count as inside, at 127 as outside.
  EXPECT_DOUBLE_EQ(tessel::score_frame(rect_mask(size, {20, 20, 40, 40}, 128), truth).j, 1.0);
  EXPECT_DOUBLE_EQ(tessel::score_frame(rect_mask(size, {20, 20, 40, 40}, 127), truth).j, 0.0);
  cv::Mat empty = cv::Mat::zeros(size, CV_8U);
  EXPECT_DOUBLE_EQ(tessel::score_frame(empty, empty).j, 1.0);
}

TEST(Metrics, BoundaryMeasureToleratesSmallShiftsOnly) {
  const cv::Size size(400, 300);  // tolerance round(0.008 * 500) = 4 px
  cv::Mat truth = rect_mask(size, {100, 100, 100, 100});
  EXPECT_DOUBLE_EQ(tessel::boundary_f(truth, truth), 1.0);
  EXPECT_DOUBLE_EQ(tessel::boundary_f(rect_mask(size, {103, 100, 100, 100}), truth), 1.0);
  double far = tessel::boundary_f(rect_mask(size, {130, 100, 100, 100}), truth);
  EXPECT_GT(far, 0.2);
  EXPECT_LT(far, 0.7);
  EXPECT_DOUBLE_EQ(tessel::boundary_f(cv::Mat::zeros(size, CV_8U), truth), 0.0);
}

TEST(Metrics, AlphaErrorAndTemporalStability) {
  const cv::Size size(64, 64);
  cv::Mat truth = rect_mask(size, {16, 16, 32, 32});
  cv::Mat biased = truth.clone();
  biased.setTo(51, truth == 0);  // 0.2 everywhere outside
  EXPECT_NEAR(tessel::score_frame(biased, truth).mae, 0.2 * 3072 / 4096, 1e-9);

  // The same error on every frame is steady; an error that comes and goes is not.
  tessel::ClipScorer steady, flicker;
  for (int t = 0; t < 6; ++t) {
    steady.add(biased, truth);
    flicker.add(t % 2 ? biased : truth, truth);
  }
  EXPECT_NEAR(steady.result().dtssd, 0.0, 1e-9);
  EXPECT_GT(flicker.result().dtssd, 10.0);
  EXPECT_EQ(flicker.result().frames, 6);
  // A prediction at half the size is scaled up before it is compared.
  cv::Mat half;
  cv::resize(truth, half, cv::Size(32, 32), 0, 0, cv::INTER_NEAREST);
  EXPECT_GT(tessel::score_frame(half, truth).j, 0.95);
}

}  // namespace
