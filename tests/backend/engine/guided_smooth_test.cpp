// The reduced guided filter against OpenCV's full-size one.
#include "engine/engine_parts.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include <cstring>

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
      s.guide.at<cv::Vec3b>(y, x) =
          in ? cv::Vec3b(60 + n, 40 + n, 180 + n) : cv::Vec3b(90 + n, 160 + n, 90 + n);
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

// The last step as the filter wrote it first: the coefficients brought to
// full size by cv::resize, then combined with the guide.
cv::Mat applied_by_resize(const cv::Mat& guide, const cv::Mat a[3], const cv::Mat& b) {
  cv::Mat up[4], out(guide.size(), CV_32F);
  for (int k = 0; k < 3; ++k) cv::resize(a[k], up[k], guide.size(), 0, 0, cv::INTER_LINEAR);
  cv::resize(b, up[3], guide.size(), 0, 0, cv::INTER_LINEAR);
  for (int y = 0; y < guide.rows; ++y) {
    for (int x = 0; x < guide.cols; ++x) {
      const cv::Vec3b i = guide.at<cv::Vec3b>(y, x);
      out.at<float>(y, x) = up[0].at<float>(y, x) * float(i[0]) + up[1].at<float>(y, x) * float(i[1]) +
                            up[2].at<float>(y, x) * float(i[2]) + up[3].at<float>(y, x);
    }
  }
  return out;
}

// Bit for bit, so that mattes stay as they were: halves of even and odd
// sizes (the refinement's window has either), other ratios, a single row.
TEST(GuidedSmooth, TheFusedLastStepMatchesResizingTheCoefficients) {
  struct Case {
    cv::Size small, full;
  };
  const Case cases[] = {{{320, 240}, {640, 480}}, {{320, 240}, {641, 481}}, {{321, 239}, {643, 478}},
                        {{97, 55}, {291, 170}},   {{200, 1}, {401, 3}},     {{1, 1}, {5, 4}}};
  cv::RNG rng(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.small << " to " << c.full);
    cv::Mat guide(c.full, CV_8UC3), a[3], b(c.small, CV_32F);
    rng.fill(guide, cv::RNG::UNIFORM, 0, 256);
    for (cv::Mat& m : a) {
      m.create(c.small, CV_32F);
      rng.fill(m, cv::RNG::NORMAL, 0.0, 0.02);
    }
    rng.fill(b, cv::RNG::UNIFORM, -2.0, 2.0);
    const cv::Mat ours = tessel::apply_coefficients(guide, a, b), ref = applied_by_resize(guide, a, b);
    ASSERT_EQ(ours.size(), c.full);
    EXPECT_EQ(std::memcmp(ours.data, ref.data, ours.total() * sizeof(float)), 0);
  }
}

}  // namespace
