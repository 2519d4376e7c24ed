// Hair unmixing worked out in part of the picture against the whole of it.
#include "engine/engine_parts.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace {

// Dark strands two pixels wide every eight over a pale, slightly noisy
// background, each with a column beside it half strand, half background.
// The strands' colour log ratios: +3 on strands, -3 on the background, 0 on
// the mixed columns. Hair over all but the left quarter.
struct Scene {
  cv::Mat bgr, lr, hair;
  cv::Vec3b strand{40, 30, 20}, back{200, 180, 160};
};

Scene scene(int w, int h) {
  Scene s;
  cv::RNG rng(7);
  s.bgr.create(h, w, CV_8UC3);
  s.lr.create(h, w, CV_32F);
  s.hair = cv::Mat::zeros(h, w, CV_32F);
  s.hair.colRange(w / 4, w).setTo(1.0f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int n = rng.uniform(-4, 5), k = x % 8;
      cv::Vec3b c = k < 2 ? s.strand : s.back;
      float lr = k < 2 ? 3.f : -3.f;
      if (k == 2) {
        for (int i = 0; i < 3; ++i) c[i] = static_cast<uchar>((s.strand[i] + s.back[i]) / 2);
        lr = 0.f;
      }
      for (int i = 0; i < 3; ++i) c[i] = cv::saturate_cast<uchar>(c[i] + n);
      s.bgr.at<cv::Vec3b>(y, x) = c;
      s.lr.at<float>(y, x) = lr;
    }
  }
  return s;
}

TEST(StrandUnmix, TellsStrandsBackgroundAndMixedPixelsApart) {
  const Scene s = scene(240, 200);
  const cv::Mat cov = tessel::unmix_strands(s.bgr, s.lr, s.hair, 1.0, cv::Rect(0, 0, 240, 200));
  ASSERT_EQ(cov.size(), s.bgr.size());
  ASSERT_EQ(cov.type(), CV_32F);
  // Well inside the hair: strands covered, background clear, mixed halfway.
  for (int y : {60, 100, 140}) {
    EXPECT_GT(cov.at<float>(y, 120), 0.9f);
    EXPECT_GT(cov.at<float>(y, 121), 0.9f);
    EXPECT_NEAR(cov.at<float>(y, 122), 0.5f, 0.1f);
    EXPECT_LT(cov.at<float>(y, 125), 0.1f);
  }
  // Far from the hair (no clear strand counts where there is none) the
  // strands' colour is the whole hair's: background there reads clear.
  EXPECT_LT(cov.at<float>(100, 12), 0.1f);
  EXPECT_GE(cov.at<float>(100, 12), 0.f);
}

// A loose strand far from the hair's mass, half covering its pixels: no clear
// strand lies near it, yet its coverage is told from the strands' colour
// further off, then from the whole hair's. Without any clear strand at all,
// nothing is decided.
TEST(StrandUnmix, LooseStrandsFarFromTheMassTakeTheHairsColour) {
  const cv::Vec3b strand(40, 30, 20), back(200, 180, 160), half(120, 105, 90);
  for (int gap : {40, 150}) {
    SCOPED_TRACE(testing::Message() << "gap " << gap);
    cv::Mat bgr(200, 400, CV_8UC3, back), lr(200, 400, CV_32F, cv::Scalar(-3)), hair(200, 400, CV_32F);
    hair.setTo(1.0f);
    for (int x = 0; x < 40; x += 4) {
      bgr.colRange(x, x + 2).setTo(strand);
      lr.colRange(x, x + 2).setTo(3.f);
    }
    const int loose = 40 + gap;
    bgr.col(loose).setTo(half);
    lr.col(loose).setTo(0.f);
    const cv::Mat cov = tessel::unmix_strands(bgr, lr, hair, 1.0, cv::Rect(0, 0, 400, 200));
    EXPECT_NEAR(cov.at<float>(100, loose), 0.5f, 0.1f);
    EXPECT_LT(cov.at<float>(100, loose + 3), 0.1f);
    // Not asked to look afar (a small character), it stays undecided.
    const cv::Mat nearby = tessel::unmix_strands(bgr, lr, hair, 1.0, cv::Rect(0, 0, 400, 200), false);
    EXPECT_EQ(nearby.at<float>(100, loose), -1.f);
    EXPECT_GT(nearby.at<float>(100, 20), 0.9f);
  }
  cv::Mat bgr(100, 100, CV_8UC3, back), lr(100, 100, CV_32F, cv::Scalar(-3)), hair(100, 100, CV_32F);
  hair.setTo(1.0f);
  bgr.col(50).setTo(half);
  const cv::Mat cov = tessel::unmix_strands(bgr, lr, hair, 1.0, cv::Rect(0, 0, 100, 100));
  EXPECT_EQ(cv::countNonZero(cov != -1.f), 0);
}

TEST(StrandUnmix, APartOfThePictureMatchesTheWholeOfIt) {
  const Scene s = scene(240, 200);
  const cv::Mat whole = tessel::unmix_strands(s.bgr, s.lr, s.hair, 1.0, cv::Rect(0, 0, 240, 200));
  ASSERT_GT(cv::countNonZero(whole >= 0.f), 240 * 200 / 2);
  // Inside, along the edges (where the filters mirror the picture), at the
  // corners, one pixel, and a rectangle reaching beyond the picture.
  for (cv::Rect part : {cv::Rect(90, 70, 40, 30), cv::Rect(0, 50, 60, 100), cv::Rect(200, 0, 40, 200),
                        cv::Rect(230, 190, 10, 10), cv::Rect(117, 81, 1, 1), cv::Rect(-20, -20, 80, 80)}) {
    SCOPED_TRACE(testing::Message() << part);
    const cv::Mat got = tessel::unmix_strands(s.bgr, s.lr, s.hair, 1.0, part);
    const cv::Rect in = part & cv::Rect(0, 0, 240, 200);
    cv::Mat expected(whole.size(), CV_32F, cv::Scalar(-1));
    whole(in).copyTo(expected(in));
    EXPECT_EQ(cv::countNonZero(got != expected), 0);
  }
  // Nothing asked for, nothing worked out.
  EXPECT_EQ(cv::countNonZero(tessel::unmix_strands(s.bgr, s.lr, s.hair, 1.0, cv::Rect()) != -1.f), 0);
}

}  // namespace
