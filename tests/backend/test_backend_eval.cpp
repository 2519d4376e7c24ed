// The scores the benchmark reports, and the clips they are computed on.
#include "backend_fixture.h"

#include "eval/eval_metrics.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>

namespace mattivo_test {
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

TEST(ClipGenerator, SameSeedSameClip) {
  tessel::ClipSpec spec;
  spec.width = 160;
  spec.height = 90;
  spec.frames = 4;
  spec.seed = 7;
  spec.occluder = spec.distractor = true;
  tessel::ClipGenerator a(spec), b(spec);
  cv::Mat ia, aa, ib, ab;
  a.render(3, &ia, &aa);
  b.render(3, &ib, &ab);
  EXPECT_EQ(cv::norm(ia, ib, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(aa, ab, cv::NORM_INF), 0.0);
  spec.seed = 8;
  tessel::ClipGenerator c(spec);
  cv::Mat ic, ac;
  c.render(3, &ic, &ac);
  EXPECT_GT(cv::norm(ia, ic, cv::NORM_L1), 0.0);
}

// The truth has a solid body and a soft fringe, and the user's box holds it.
TEST(ClipGenerator, TruthHasASoftFringeInsideTheBox) {
  tessel::ClipSpec spec;
  spec.width = 480;
  spec.height = 270;
  tessel::ClipGenerator gen(spec);
  cv::Mat bgr, alpha;
  gen.render(12, &bgr, &alpha);
  ASSERT_EQ(alpha.type(), CV_32F);
  int solid = cv::countNonZero(alpha >= 1.f), soft = cv::countNonZero((alpha > 0.05f) & (alpha < 0.95f));
  EXPECT_GT(solid, 2000);
  EXPECT_GT(soft, solid / 20);
  tessel::ClipSelection sel = gen.selection(12);
  cv::Rect box(static_cast<int>(sel.box_x * 480), static_cast<int>(sel.box_y * 270), static_cast<int>(sel.box_w * 480) + 1,
               static_cast<int>(sel.box_h * 270) + 1);
  EXPECT_EQ(cv::countNonZero(alpha > 0.02f), cv::countNonZero(alpha(box & cv::Rect(0, 0, 480, 270)) > 0.02f));
  ASSERT_EQ(sel.dabs.size(), 2u);
  for (const cv::Vec3d& d : sel.dabs) EXPECT_GE(alpha.at<float>(static_cast<int>(d[1] * 270), static_cast<int>(d[0] * 480)), 1.f);
}

// The post passes in front of the character: its alpha is cut where it passes.
TEST(ClipGenerator, AnOccluderCutsTheTruth) {
  tessel::ClipSpec spec;
  spec.width = 320;
  spec.height = 180;
  spec.frames = 40;
  tessel::scenario_spec("occluder", &spec);
  tessel::ClipGenerator with(spec);
  spec.occluder = false;
  tessel::ClipGenerator without(spec);
  double most = 0;
  for (int t = 20; t < 40; ++t) {
    cv::Mat b, a1, a2;
    with.render(t, &b, &a1);
    without.render(t, &b, &a2);
    most = std::max(most, 1.0 - cv::sum(a1)[0] / cv::sum(a2)[0]);
  }
  EXPECT_GT(most, 0.3);
}

TEST(ClipGenerator, WritesFramesTruthAndSelection) {
  std::string clip = test_clip("mixed", 160, 90, 3, 4);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(cv::imread(clip + "/frames/" + six(i) + ".jpg").size(), cv::Size(160, 90));
    EXPECT_EQ(cv::imread(clip + "/alpha/" + six(i) + ".png", cv::IMREAD_UNCHANGED).type(), CV_8UC1);
  }
  nlohmann::json doc = parse(read_file(clip + "/clip.json"));
  EXPECT_EQ(doc["frames"], 3);
  EXPECT_EQ(doc["anchor_frame"], 1);
  EXPECT_GT(doc["bbox"]["w"].get<double>(), 0.0);
  EXPECT_EQ(doc["strokes"].size(), 2u);
}

TEST(ClipGenerator, MakesMissingFoldersAndSaysWhenItCannot) {
  TempDir root;
  tessel::ClipSpec spec;
  spec.width = 64;
  spec.height = 36;
  spec.frames = 1;
  std::string error;
  ASSERT_TRUE(tessel::write_clip(spec, root.path + "/new/deeper/clip", true, &error)) << error;
  EXPECT_TRUE(std::filesystem::exists(root.path + "/new/deeper/clip/alpha/000000.png"));
  // A file standing where a folder must go is refused with a reason.
  std::ofstream(root.path + "/taken") << "x";
  EXPECT_FALSE(tessel::write_clip(spec, root.path + "/taken/clip", true, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos);
}

}  // namespace
}  // namespace mattivo_test
