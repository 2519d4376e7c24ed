// The footage annotation: how boxes move between listed frames, what the
// reader refuses, and whether our cases fit their videos.
#include "eval/footage_cases.h"

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include <filesystem>

namespace {

constexpr const char* kVideoDir = "/usr/share/doc/opencv-doc/examples/data";

TEST(FootageCases, BoxesMoveLinearlyBetweenListedFramesAndAreAbsentOutside) {
  const tessel::BoxTrack t = {{10, {0, 0, 10, 20}}, {20, {100, 50, 30, 40}}, {22, {100, 50, 30, 40}}};
  const auto mid = tessel::box_at(t, 15);
  ASSERT_TRUE(mid);
  EXPECT_EQ(*mid, cv::Rect2d(50, 25, 20, 30));
  EXPECT_EQ(*tessel::box_at(t, 20), cv::Rect2d(100, 50, 30, 40));
  EXPECT_EQ(*tessel::box_at(t, 22), cv::Rect2d(100, 50, 30, 40));
  EXPECT_FALSE(tessel::box_at(t, 9));
  EXPECT_FALSE(tessel::box_at(t, 23));
}

TEST(FootageCases, TheReaderRefusesBrokenDocuments) {
  const std::string head =
      R"({"cases":[{"name":"a","video":"v.avi","width":64,"height":48,"first":0,"last":9,)"
      R"("anchor":0,"box":[1,1,10,10],)";
  std::vector<tessel::FootageCase> cases;
  std::string error;
  ASSERT_TRUE(tessel::parse_footage_cases(head + R"("chosen":[[0,1,1,9,9],[9,2,2,9,9]]}]})", &cases, &error))
      << error;
  ASSERT_EQ(cases.size(), 1u);
  EXPECT_EQ(cases[0].chosen.size(), 2u);
  EXPECT_TRUE(cases[0].distractors.empty());

  for (const std::string& bad : {head + R"("chosen":[[9,1,1,9,9],[0,2,2,9,9]]}]})",  // out of frame order
                                 head + R"("chosen":[[0,1,1,9]]}]})",  // a box without its height
                                 head + R"("chosen":[]}]})",           // nobody chosen
                                 head + R"("distractors":[]}]})",      // no chosen track at all
                                 std::string(R"({"clips":[]})"), std::string("not json")}) {
    EXPECT_FALSE(tessel::parse_footage_cases(bad, &cases, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

bool inside(const cv::Rect2d& box, const tessel::FootageCase& c) {
  return box.x >= 0 && box.y >= 0 && box.width > 0 && box.height > 0 && box.x + box.width <= c.width &&
         box.y + box.height <= c.height;
}

void expect_track_fits(const tessel::BoxTrack& track, const tessel::FootageCase& c, const char* what) {
  for (const tessel::KeyBox& k : track) {
    EXPECT_GE(k.frame, c.first) << c.name << " " << what;
    EXPECT_LE(k.frame, c.last) << c.name << " " << what;
    EXPECT_TRUE(inside(k.box, c)) << c.name << " " << what << " at frame " << k.frame;
  }
}

TEST(FootageCases, OurCasesFitTheirVideos) {
  std::vector<tessel::FootageCase> cases;
  std::string error;
  ASSERT_TRUE(tessel::read_footage_cases(MATTIVO_FOOTAGE_CASES, &cases, &error)) << error;
  EXPECT_GE(cases.size(), 4u);
  for (const tessel::FootageCase& c : cases) {
    EXPECT_LE(c.first, c.anchor) << c.name;
    EXPECT_LE(c.anchor, c.last) << c.name;
    // The chosen person is boxed on every frame, so every frame is scored.
    EXPECT_EQ(c.chosen.front().frame, c.first) << c.name;
    EXPECT_EQ(c.chosen.back().frame, c.last) << c.name;
    expect_track_fits(c.chosen, c, "chosen");
    for (const tessel::BoxTrack& d : c.distractors) expect_track_fits(d, c, "distractor");
    // The user's drag encloses the chosen person on the anchor.
    EXPECT_TRUE(inside(c.user_box, c)) << c.name;
    const cv::Rect2d person = *tessel::box_at(c.chosen, c.anchor);
    EXPECT_GE((person & c.user_box).area(), 0.95 * person.area()) << c.name;
  }

  if (!std::filesystem::exists(std::string(kVideoDir) + "/vtest.avi"))
    GTEST_SKIP() << "opencv-doc is not installed; the videos themselves are not checked";
  for (const tessel::FootageCase& c : cases) {
    cv::VideoCapture video(std::string(kVideoDir) + "/" + c.video);
    ASSERT_TRUE(video.isOpened()) << c.video;
    cv::Mat frame;
    int count = 0;
    for (; count <= c.last && video.read(frame); ++count) {
      ASSERT_EQ(frame.cols, c.width) << c.name;
      ASSERT_EQ(frame.rows, c.height) << c.name;
    }
    EXPECT_EQ(count, c.last + 1) << c.name << ": the video ends before the case does";
  }
}

}  // namespace
