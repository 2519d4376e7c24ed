// The reduced guided filter against OpenCV's full-size one.
#include "engine/engine_parts.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

namespace {

// A textured picture split by a sharp diagonal edge between two colours, and
// a matte of it as blurred as tracking at a reduced size leaves it.
struct Scene {
  cv::Mat guide, matte, truth;
};

Scene scene(int w, int h) {
  Scene s;
  cv::RNG rng(3);
  s.guide.create(h, w, CV_8UC3);
  s.truth.create(h, w, CV_32F);
  s.matte.create(h, w, CV_32F);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool in = x + y / 2 < w / 2 + 20 * std::sin(y / 40.0);
      const int n = rng.uniform(-3, 4);
      s.guide.at<cv::Vec3b>(y, x) = in ? cv::Vec3b(60 + n, 40 + n, 180 + n) : cv::Vec3b(90 + n, 160 + n, 90 + n);
      s.truth.at<float>(y, x) = in ? 1.f : 0.f;
    }
  }
  // What tracking at a quarter of the size hands over: the right shape, soft.
  cv::GaussianBlur(s.truth, s.matte, cv::Size(0, 0), 6.0);
  return s;
}

double mean_abs(const cv::Mat& a, const cv::Mat& b) { return cv::mean(cv::abs(a - b))[0]; }

TEST(GuidedSmooth, AWideReachMatchesTheFullSizeFilterAndKeepsTheSharpEdge) {
  const Scene s = scene(640, 480);
  const double eps = std::pow(0.02 * 255, 2);
  // Where the blur left the matte soft: the edge's band.
  const cv::Mat band = (s.matte > 0.02f) & (s.matte < 0.98f);
  for (int radius : {24, 29, 48}) {
    SCOPED_TRACE(radius);
    cv::Mat exact, ours = tessel::guided_smooth(s.guide, s.matte, radius, eps);
    cv::ximgproc::guidedFilter(s.guide, s.matte, exact, radius, eps);
    ASSERT_EQ(ours.size(), s.guide.size());
    EXPECT_LT(mean_abs(ours, exact), 0.005);
    EXPECT_LT(cv::mean(cv::abs(ours - exact), band)[0], 0.03);
    // Both pull the soft matte onto the picture's edge, and by as much.
    const double before = cv::mean(cv::abs(s.matte - s.truth), band)[0];
    const double after = cv::mean(cv::abs(ours - s.truth), band)[0];
    EXPECT_LT(after, 0.7 * before);
    EXPECT_LT(after, cv::mean(cv::abs(exact - s.truth), band)[0] + 0.02);
  }
}

}  // namespace
