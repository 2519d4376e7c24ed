// The scenarios that each probe one weakness: every one composites its
// picture with the alpha it reports, and each shows the property it is for.
#include "clipgen/clipgen.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int kW = 192, kH = 108, kFrames = 48, kAnchor = kFrames / 2;

tessel::ClipSpec family(const std::string& name, std::uint64_t seed = 0) {
  tessel::ClipSpec spec;
  EXPECT_TRUE(tessel::scenario_spec(name, &spec)) << name;
  spec.width = kW;
  spec.height = kH;
  spec.frames = kFrames;
  spec.seed = seed ? seed : tessel::scenario_seeds(name, false).at(0);
  return spec;
}

cv::Rect box_of(const cv::Mat& coverage) { return cv::boundingRect(coverage > 0.02f); }

cv::Mat torso_disc(const tessel::ClipSelection& sel) {
  cv::Mat disc = cv::Mat::zeros(kH, kW, CV_8U);
  const cv::Vec3d& d = sel.dabs.at(0);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      double dx = (x + 0.5) / kW - d[0], dy = (y + 0.5 - d[1] * kH) / kW;
      if (dx * dx + dy * dy <= d[2] * d[2]) disc.at<uchar>(y, x) = 255;
    }
  return disc;
}

class Family : public ::testing::TestWithParam<const char*> {};

// Where the alpha is 0 the picture is the background alone; where the
// character is at least half there, the picture differs from it. Frames come
// out the same whatever order they are asked in.
TEST_P(Family, PictureIsCompositedWithTheReportedAlpha) {
  tessel::ClipGenerator gen(family(GetParam()));
  cv::Mat first_bgr, first_alpha;
  gen.render(kAnchor, &first_bgr, &first_alpha);
  for (int t : {40, 3, kAnchor, 36}) {
    cv::Mat bgr, alpha, background;
    gen.render(t, &bgr, &alpha);
    gen.render_background(t, &background);
    ASSERT_EQ(alpha.type(), CV_32F);
    double lo, hi;
    cv::minMaxLoc(alpha, &lo, &hi);
    EXPECT_GE(lo, 0.0);
    EXPECT_LE(hi, 1.0);
    cv::Mat diff, largest;
    cv::absdiff(bgr, background, diff);
    cv::reduce(diff.reshape(1, kW * kH), largest, 1, cv::REDUCE_MAX);
    const cv::Mat equal_px = largest.reshape(1, kH) == 0;
    const cv::Mat empty = alpha == 0.f, solid = alpha >= 0.5f;
    ASSERT_GT(cv::countNonZero(solid), 100) << "t=" << t;
    EXPECT_EQ(cv::countNonZero(empty & ~equal_px), 0) << "t=" << t;
    EXPECT_LT(cv::countNonZero(solid & equal_px), cv::countNonZero(solid) / 50) << "t=" << t;
    if (t == kAnchor) {
      EXPECT_EQ(cv::norm(bgr, first_bgr, cv::NORM_INF), 0.0);
      EXPECT_EQ(cv::norm(alpha, first_alpha, cv::NORM_INF), 0.0);
    }
  }
}

// The user's box holds the character at the anchor and the dabs sit on it.
TEST_P(Family, SelectionHoldsTheCharacterAtTheAnchor) {
  tessel::ClipGenerator gen(family(GetParam()));
  cv::Mat bgr, alpha;
  gen.render(kAnchor, &bgr, &alpha);
  tessel::ClipSelection sel = gen.selection(kAnchor);
  cv::Rect box(static_cast<int>(sel.box_x * kW), static_cast<int>(sel.box_y * kH),
               static_cast<int>(sel.box_w * kW) + 1, static_cast<int>(sel.box_h * kH) + 1);
  EXPECT_EQ(cv::countNonZero(alpha > 0.02f), cv::countNonZero(alpha(box & cv::Rect(0, 0, kW, kH)) > 0.02f));
  for (const cv::Vec3d& d : sel.dabs)
    EXPECT_GE(alpha.at<float>(static_cast<int>(d[1] * kH), static_cast<int>(d[0] * kW)), 1.f);
  EXPECT_NE(gen.hint().find(" shirt"), std::string::npos) << gen.hint();
}

INSTANTIATE_TEST_SUITE_P(New, Family,
                         ::testing::Values("still-limb", "zoom", "shade-off", "close-up", "crossing",
                                           "long-occluder"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

// Only the waving arm (and the hair) move: the torso and the legs keep the
// very same alpha on every frame, and solid pixels come and go elsewhere.
TEST(Families, StillLimbMovesOnlyOneArm) {
  tessel::ClipGenerator gen(family("still-limb"));
  cv::Mat bgr, anchor;
  gen.render(kAnchor, &bgr, &anchor);
  const cv::Mat torso = torso_disc(gen.selection(kAnchor));
  const cv::Rect body = box_of(anchor);
  const cv::Rect legs(body.x, body.y + body.height * 6 / 10, body.width, body.height - body.height * 6 / 10);
  int most_moved = 0;
  for (int t = 0; t < kFrames; t += 3) {
    cv::Mat alpha;
    gen.render(t, &bgr, &alpha);
    cv::Mat diff = cv::abs(alpha - anchor);
    EXPECT_EQ(cv::norm(diff, cv::NORM_INF, torso), 0.0) << "torso, t=" << t;
    EXPECT_EQ(cv::norm(diff(legs), cv::NORM_INF), 0.0) << "legs, t=" << t;
    most_moved = std::max(most_moved, cv::countNonZero((diff >= 0.99f)));
  }
  EXPECT_GT(most_moved, 40);  // the forearm alone is about 60 pixels here
}

TEST(Families, ZoomChangesTheCharactersArea) {
  tessel::ClipGenerator gen(family("zoom"));
  double smallest = 1e18, largest = 0;
  for (int t = 0; t < kFrames; t += 4) {
    cv::Mat bgr, alpha;
    gen.render(t, &bgr, &alpha);
    double area = cv::sum(alpha)[0];
    smallest = std::min(smallest, area), largest = std::max(largest, area);
  }
  EXPECT_GE(largest / smallest, 1.5);
}

// Shirt one shade off what is behind it: close to the background, where the
// walk of the same seed is far from it.
TEST(Families, ShadeOffShirtIsCloseToItsBackground) {
  auto shirt_contrast = [](const tessel::ClipSpec& spec) {
    tessel::ClipGenerator gen(spec);
    cv::Mat bgr, alpha, background;
    gen.render(kAnchor, &bgr, &alpha);
    gen.render_background(kAnchor, &background);
    cv::Mat mask = torso_disc(gen.selection(kAnchor)) & (alpha >= 1.f);
    EXPECT_GT(cv::countNonZero(mask), 10);
    cv::Scalar a = cv::mean(bgr, mask), b = cv::mean(background, mask);
    return (std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2])) / 3 / 255;
  };
  tessel::ClipSpec shade = family("shade-off"), walk = shade;
  walk.shade_off = false;
  double close = shirt_contrast(shade), far = shirt_contrast(walk);
  EXPECT_LT(close, 0.06);
  EXPECT_GT(far, 2 * close);
}

// The look-alike overlaps the character's box on some frames and not at the
// anchor; in front it cuts the character's alpha, behind it does not.
TEST(Families, LookAlikeCrossesAndLeaves) {
  for (std::uint64_t seed : {10, 11}) {
    tessel::ClipGenerator gen(family("crossing", seed));
    const bool in_front = seed % 2 == 0;
    int overlapping = 0, apart = 0;
    double most_cut = 0;
    for (int t = kAnchor; t < kFrames; t += 2) {
      cv::Mat bgr, alpha;
      gen.render(t, &bgr, &alpha);
      tessel::ClipGenerator::Layers layers = gen.layers(t);
      ASSERT_FALSE(layers.lookalike.empty());
      bool meet = (box_of(layers.lookalike) & box_of(alpha)).area() > 0;
      (meet ? overlapping : apart)++;
      if (t == kAnchor) {
        EXPECT_FALSE(meet) << "seed " << seed;
      }
      most_cut = std::max(most_cut, 1.0 - cv::sum(alpha)[0] / cv::sum(layers.character)[0]);
    }
    EXPECT_GT(overlapping, 0) << "seed " << seed;
    EXPECT_GT(apart, 1) << "seed " << seed;
    if (in_front)
      EXPECT_GT(most_cut, 0.2);
    else
      EXPECT_EQ(most_cut, 0.0);
  }
}

// The wall hides some of the legs for ten frames or more after the anchor,
// and then they are all in view again.
TEST(Families, LongOccluderHidesLimbsForTenFramesThenTheyReturn) {
  tessel::ClipGenerator gen(family("long-occluder"));
  int run = 0, longest = 0, clear_after = 0;
  for (int t = kAnchor; t < kFrames; ++t) {
    cv::Mat bgr, alpha;
    gen.render(t, &bgr, &alpha);
    tessel::ClipGenerator::Layers layers = gen.layers(t);
    int hidden = cv::countNonZero((layers.character > 0.5f) & (alpha < 0.01f));
    if (t == kAnchor) {
      EXPECT_EQ(hidden, 0);
    }
    run = hidden > 20 ? run + 1 : 0;
    longest = std::max(longest, run);
    if (longest >= 10 && hidden == 0) ++clear_after;
  }
  EXPECT_GE(longest, 10);
  EXPECT_GT(clear_after, 0);
}

// Head and shoulders fill much of the frame, with a wide soft fringe, and
// what shows through the fringe is bright sky.
TEST(Families, CloseUpHasABigFringeAgainstBrightSky) {
  tessel::ClipGenerator gen(family("close-up"));
  cv::Mat bgr, alpha, background;
  gen.render(kAnchor, &bgr, &alpha);
  gen.render_background(kAnchor, &background);
  const cv::Mat solid = alpha >= 0.95f, soft = (alpha > 0.05f) & (alpha < 0.95f);
  EXPECT_GT(cv::countNonZero(alpha > 0.5f), kW * kH / 5);
  EXPECT_GT(cv::countNonZero(soft), cv::countNonZero(solid) / 10);
  cv::Scalar sky = cv::mean(background, soft);
  EXPECT_GT((sky[0] + sky[1] + sky[2]) / 3, 200.0);
}

TEST(Families, HeldSeedsAreApartFromTheTuningSeeds) {
  std::vector<std::uint64_t> tune, held;
  for (const std::string& name : tessel::scenario_names()) {
    auto t = tessel::scenario_seeds(name, false), h = tessel::scenario_seeds(name, true);
    EXPECT_EQ(t.size(), 1u) << name;
    EXPECT_GE(h.size(), 3u) << name;
    tune.insert(tune.end(), t.begin(), t.end());
    held.insert(held.end(), h.begin(), h.end());
  }
  for (std::uint64_t s : held) EXPECT_EQ(std::count(tune.begin(), tune.end(), s), 0) << s;
  EXPECT_TRUE(tessel::scenario_seeds("no-such", false).empty());
}

}  // namespace
