// The steps of `mattivo pull` that need no plug-in: what prepare refuses and
// how it normalises the selection, and how publish puts outputs in place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "pull_steps.h"
#include "session_file.h"

namespace fs = std::filesystem;

namespace {

// A private folder with a three-frame 40x20 clip in frames/.
class PullSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("mattivo-steps-" + std::to_string(getpid()) + "-" + test->name());
    fs::create_directories(root_ / "frames");
    for (int i = 0; i < 3; ++i) {
      cv::Mat frame(20, 40, CV_8UC3, cv::Scalar(10 * i, 20, 30));
      ASSERT_TRUE(cv::imwrite((root_ / "frames" / ("f" + std::to_string(i) + ".png")).string(), frame));
    }
    options_.input = (root_ / "frames").string();
    options_.out = (root_ / "out").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  mattivo::Failure prepare(mattivo::PullPlan* plan) { return mattivo::prepare_pull(options_, plan); }

  fs::path root_;
  mattivo::PullOptions options_;
};

TEST_F(PullSteps, PixelSelectionsBecomeFractionsOfTheFrame) {
  options_.box = mattivo::Box{10, 5, 20, 10, true};
  options_.adds = {mattivo::Dab{20, 10, 0.05, true}, mattivo::Dab{0.5, 0.25, 0.03, false}};
  options_.excludes = {mattivo::Dab{4, 2, 0.1, true}};
  mattivo::PullPlan plan;
  ASSERT_EQ(prepare(&plan), std::nullopt);
  EXPECT_EQ(plan.clip.files.size(), 3u);
  const mattivo::Selection& s = plan.selection;
  ASSERT_TRUE(s.has_box);
  EXPECT_DOUBLE_EQ(s.bx, 0.25);
  EXPECT_DOUBLE_EQ(s.by, 0.25);
  EXPECT_DOUBLE_EQ(s.bw, 0.5);
  EXPECT_DOUBLE_EQ(s.bh, 0.5);
  ASSERT_EQ(s.adds.size(), 2u);
  EXPECT_DOUBLE_EQ(s.adds[0].x, 0.5);
  EXPECT_DOUBLE_EQ(s.adds[0].y, 0.5);
  EXPECT_DOUBLE_EQ(s.adds[0].size, 0.05);
  EXPECT_DOUBLE_EQ(s.adds[1].x, 0.5);
  EXPECT_DOUBLE_EQ(s.adds[1].y, 0.25);
  ASSERT_EQ(s.excludes.size(), 1u);
  EXPECT_DOUBLE_EQ(s.excludes[0].x, 0.1);
  EXPECT_DOUBLE_EQ(s.excludes[0].size, 0.1);
}

TEST_F(PullSteps, CorrectionsAreNormalisedOntoTheirFrames) {
  options_.hint = "the dancer";
  using Kind = mattivo::Correction::Kind;
  options_.corrections = {{2, Kind::Add, mattivo::Dab{20, 10, 0.05, true}, {}},
                          {2, Kind::Box, {}, mattivo::Box{0, 0, 20, 10, true}},
                          {1, Kind::Exclude, mattivo::Dab{0.25, 0.5, 0.03, false}, {}}};
  mattivo::PullPlan plan;
  ASSERT_EQ(prepare(&plan), std::nullopt);
  ASSERT_EQ(plan.corrections.size(), 2u);
  const mattivo::Selection& two = plan.corrections.at(2);
  ASSERT_TRUE(two.has_box);
  EXPECT_DOUBLE_EQ(two.bw, 0.5);
  ASSERT_EQ(two.adds.size(), 1u);
  EXPECT_DOUBLE_EQ(two.adds[0].x, 0.5);
  ASSERT_EQ(plan.corrections.at(1).excludes.size(), 1u);
  EXPECT_DOUBLE_EQ(plan.corrections.at(1).excludes[0].x, 0.25);

  for (const auto& bad : {mattivo::Correction{3, Kind::Add, mattivo::Dab{0.5, 0.5, 0.03, false}, {}},
                          mattivo::Correction{1, Kind::Box, {}, mattivo::Box{30, 0, 20, 10, true}}}) {
    options_.corrections = {bad};
    mattivo::PullPlan refused;
    const mattivo::Failure why = prepare(&refused);
    ASSERT_TRUE(why.has_value());
    EXPECT_EQ(why->rfind("--correct " + std::to_string(bad.frame) + ":", 0), 0u) << *why;
  }
}

TEST_F(PullSteps, ASessionFillsInWhatTheCommandLineLeavesOut) {
  mattivo::SavedSession saved;
  saved.input = options_.input;
  saved.anchor = 2;
  saved.first_frame = 1001;
  saved.fps = 24;
  saved.max_frames = 3;
  saved.strings = {{"session_id", "round_1"}, {"bbox_json", R"({"h":0.5,"w":0.5,"x":0,"y":0})"}};
  fs::create_directories(root_ / "earlier");
  ASSERT_EQ(mattivo::write_session((root_ / "earlier" / mattivo::kSessionFile).string(), saved), "");

  mattivo::PullOptions o;
  o.session = (root_ / "earlier").string();
  std::map<std::string, std::string> strings;
  ASSERT_EQ(mattivo::resume_session(&o, &strings), std::nullopt);
  EXPECT_EQ(o.input, options_.input);
  EXPECT_EQ(o.anchor, 2);
  EXPECT_EQ(o.first_frame, 1001);
  EXPECT_EQ(o.fps, 24);
  EXPECT_EQ(o.max_frames, 3);
  EXPECT_EQ(o.out, o.session);  // corrected in place
  EXPECT_EQ(strings, saved.strings);

  // What the command line says wins.
  mattivo::PullOptions given;
  given.session = o.session;
  given.anchor = 1;
  given.anchor_given = true;
  given.out = "elsewhere";
  given.out_given = true;
  ASSERT_EQ(mattivo::resume_session(&given, &strings), std::nullopt);
  EXPECT_EQ(given.anchor, 1);
  EXPECT_EQ(given.out, "elsewhere");

  // A folder without a session, or with a damaged one, is refused plainly.
  mattivo::PullOptions none;
  none.session = (root_ / "frames").string();
  const mattivo::Failure missing = mattivo::resume_session(&none, &strings);
  ASSERT_TRUE(missing.has_value());
  EXPECT_NE(missing->find("holds no mattivo-session.json"), std::string::npos) << *missing;
  std::ofstream(root_ / "earlier" / mattivo::kSessionFile) << "{\"input\":3}";
  none.session = (root_ / "earlier").string();
  const mattivo::Failure damaged = mattivo::resume_session(&none, &strings);
  ASSERT_TRUE(damaged.has_value());
  EXPECT_NE(damaged->find("is not a mattivo session"), std::string::npos) << *damaged;
}

TEST_F(PullSteps, ABoxUpToTheFrameEdgeIsTakenOnePixelPastIsNot) {
  options_.box = mattivo::Box{20, 10, 20, 10, true};
  mattivo::PullPlan edge;
  EXPECT_EQ(prepare(&edge), std::nullopt);

  options_.box = mattivo::Box{20, 10, 21, 10, true};
  mattivo::PullPlan past;
  EXPECT_EQ(prepare(&past), "--box lies outside the frame (40x20)");
}

TEST_F(PullSteps, RefusalsNameTheirReasonAndStageNothing) {
  struct Case {
    const char* what;
    void (*set)(mattivo::PullOptions*);
    const char* says;
  } cases[] = {
      {"anchor", [](mattivo::PullOptions* o) { o->anchor = 3; }, "--anchor 3 is past the last frame (2)"},
      {"add",
       [](mattivo::PullOptions* o) {
         o->adds = {mattivo::Dab{41, 1, 0.03, true}};
       },
       "a brush dab lies outside the frame"},
      {"exclude",
       [](mattivo::PullOptions* o) {
         o->excludes = {mattivo::Dab{1, 21, 0.03, true}};
       },
       "a brush dab lies outside the frame"},
  };
  for (const Case& c : cases) {
    mattivo::PullOptions saved = options_;
    c.set(&options_);
    mattivo::PullPlan plan;
    EXPECT_EQ(prepare(&plan), c.says) << c.what;
    EXPECT_TRUE(plan.staging.dir.empty()) << c.what;
    EXPECT_FALSE(fs::exists(options_.out)) << c.what;
    options_ = saved;
  }
  options_.out = "/proc/mattivo-steps-out";
  mattivo::PullPlan plan;
  const mattivo::Failure why = prepare(&plan);
  ASSERT_TRUE(why.has_value());
  EXPECT_EQ(why->rfind("cannot create the output folder /proc/mattivo-steps-out: ", 0), 0u) << *why;
}

TEST_F(PullSteps, StagingLivesInsideTheOutputFolderOnlyAsLongAsThePlan) {
  options_.hint = "someone";
  fs::path staging;
  {
    mattivo::PullPlan plan;
    ASSERT_EQ(prepare(&plan), std::nullopt);
    staging = plan.staging.dir;
    EXPECT_EQ(staging.parent_path(), fs::path(options_.out));
    EXPECT_EQ(staging.filename().string().rfind(".partial-", 0), 0u) << staging;
    EXPECT_TRUE(fs::is_directory(staging / "rgba"));
    EXPECT_TRUE(fs::is_directory(staging / "matte"));
  }
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_TRUE(fs::is_directory(options_.out));
}

void touch(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string read(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(PullSteps, PublishReplacesTheOutputsOfAnEarlierRun) {
  options_.hint = "someone";
  mattivo::PullPlan plan;
  ASSERT_EQ(prepare(&plan), std::nullopt);
  const fs::path out = options_.out;
  touch(out / "rgba" / "000099.png", "old");
  touch(out / "matte" / "000099.png", "old");
  touch(out / "contact_sheet.png", "old");
  touch(plan.staging.dir / "rgba" / "000000.png", "new rgba");
  touch(plan.staging.dir / "matte" / "000000.png", "new matte");
  touch(plan.staging.dir / "contact_sheet.png", "new sheet");

  ::testing::internal::CaptureStdout();
  const mattivo::Failure why = mattivo::publish_outputs(options_, plan, "ready: 3 frames matted");
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(why, std::nullopt);
  EXPECT_FALSE(fs::exists(out / "rgba" / "000099.png"));
  EXPECT_FALSE(fs::exists(out / "matte" / "000099.png"));
  EXPECT_EQ(read(out / "rgba" / "000000.png"), "new rgba");
  EXPECT_EQ(read(out / "matte" / "000000.png"), "new matte");
  EXPECT_EQ(read(out / "contact_sheet.png"), "new sheet");
  EXPECT_EQ(printed,
            "ready: 3 frames matted\n"
            "RGBA frames:   " +
                (out / "rgba").string() +
                "/ (3 PNG, premultiplied)\n"
                "mattes:        " +
                (out / "matte").string() +
                "/ (3 PNG)\n"
                "contact sheet: " +
                (out / "contact_sheet.png").string() + "\n");
}

TEST_F(PullSteps, PublishStopsAtAMissingOutputAndPrintsNothing) {
  options_.hint = "someone";
  mattivo::PullPlan plan;
  ASSERT_EQ(prepare(&plan), std::nullopt);
  // The render step never wrote the contact sheet.
  ::testing::internal::CaptureStdout();
  const mattivo::Failure why = mattivo::publish_outputs(options_, plan, "ready: 3 frames matted");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(why.has_value());
  EXPECT_EQ(why->rfind("cannot move contact_sheet.png into " + options_.out + ": ", 0), 0u) << *why;
}

}  // namespace
