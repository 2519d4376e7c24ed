// The clip generator: the same clip for the same seed, a truth with a soft
// fringe, and the files a clip is made of.
#include "backend_fixture.h"

#include "clipgen/clipgen.h"
#include "testing/session_flow.h"

#include <opencv2/imgcodecs.hpp>

#include <fstream>

namespace mattivo_test {
namespace {

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
  cv::Rect box(static_cast<int>(sel.box_x * 480), static_cast<int>(sel.box_y * 270),
               static_cast<int>(sel.box_w * 480) + 1, static_cast<int>(sel.box_h * 270) + 1);
  EXPECT_EQ(cv::countNonZero(alpha > 0.02f), cv::countNonZero(alpha(box & cv::Rect(0, 0, 480, 270)) > 0.02f));
  ASSERT_EQ(sel.dabs.size(), 2u);
  for (const cv::Vec3d& d : sel.dabs)
    EXPECT_GE(alpha.at<float>(static_cast<int>(d[1] * 270), static_cast<int>(d[0] * 480)), 1.f);
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
  // The hint a user would type instead is kept, and a text-only request sends it.
  const std::string hint = doc.value("hint", "");
  EXPECT_NE(hint.find("person in the"), std::string::npos) << hint;
  nlohmann::json request = parse(clip_request(clip, "fast", "hint"));
  EXPECT_EQ(request.value("text_prompt", ""), hint);
  EXPECT_FALSE(request.contains("bbox"));
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
