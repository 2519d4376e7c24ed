// Corrections end to end: a pull whose matte is wrong on a frame, a `--session`
// run that marks that frame, and a re-pull, through the built mattivo against
// a running reference backend that keeps the session's frames.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "command_run.h"
#include "testing/backend_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = MATTIVO_BINARY_DIR;
constexpr int kFrames = 8;
constexpr int kWidth = 320;
constexpr int kHeight = 180;

using cli_test::Outcome;
using cli_test::run;

std::string six(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "%06d", i);
  return name;
}

cv::Mat truth(const fs::path& clip, int frame) {
  return cv::imread((clip / "alpha" / (six(frame) + ".png")).string(), cv::IMREAD_GRAYSCALE);
}

double iou(const fs::path& out, const fs::path& clip, int frame) {
  const cv::Mat m = cv::imread((out / "matte" / (six(frame) + ".png")).string(), cv::IMREAD_GRAYSCALE);
  const cv::Mat t = truth(clip, frame);
  if (m.empty() || t.empty() || m.size() != t.size()) return 0;
  const cv::Mat a = m >= 128, b = t >= 128;
  const double uni = cv::countNonZero(a | b);
  return uni > 0 ? cv::countNonZero(a & b) / uni : 1.0;
}

// The figure's box on a frame, from its true alpha, a few pixels wider, in pixels.
cv::Rect figure_box(const fs::path& clip, int frame) {
  cv::Mat points;
  cv::findNonZero(truth(clip, frame) >= 128, points);
  const cv::Rect r = cv::boundingRect(points);
  return (r - cv::Point(6, 6) + cv::Size(12, 12)) & cv::Rect(0, 0, kWidth, kHeight);
}

std::string box_text(const cv::Rect& r) {
  return std::to_string(r.x) + "px," + std::to_string(r.y) + "px," + std::to_string(r.width) + "px," +
         std::to_string(r.height) + "px";
}

int session_folders(const fs::path& data) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(data))
    n += e.is_directory() && e.path().filename().string().size() == 32;
  return n;
}

class MattivoCorrect : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("mattivo-correct-" + std::to_string(getpid()));
    fs::create_directories(root_ / "tmp");
    Outcome gen = run(kBin + "/backend/mattivo-clipgen --out " + (root_ / "clip").string() +
                      " --scenario walk --frames " + std::to_string(kFrames) + " --width " +
                      std::to_string(kWidth) + " --height " + std::to_string(kHeight) + " --seed 3");
    ASSERT_EQ(gen.code, 0) << gen.output;
    data_ = root_ / "data";
    std::string error;
    ASSERT_TRUE(mattivo_test::start_backend({"--data-dir", data_.string()}, (root_ / "backend.log").string(),
                                            &backend_, &error))
        << error;
  }
  void TearDown() override {
    tessel::stop_backend(&backend_, false);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // `mattivo pull` with the plug-in's working folder kept inside the test's.
  Outcome mattivo(const std::string& args) {
    return run("TMPDIR=" + (root_ / "tmp").string() + " " + kBin +
               "/bin/mattivo pull --quiet --quality fast --backend " + backend_.url + " " + args);
  }
  // A first pull from a box round the head and shoulders only: the matte misses the body.
  void wrong_first_pull(const fs::path& out) {
    const cv::Rect whole = figure_box(root_ / "clip", 0);
    const cv::Rect head(whole.x, whole.y, whole.width, whole.height / 3);
    const Outcome r = mattivo("--input " + (root_ / "clip" / "frames").string() + " --anchor 0 --box " +
                              box_text(head) + " --out " + out.string());
    ASSERT_EQ(r.code, 0) << r.output;
    ASSERT_LT(iou(out, root_ / "clip", kWrong), 0.6) << "the first pull should be wrong on frame " << kWrong;
    ASSERT_EQ(session_folders(data_), 1);
  }

  static constexpr int kWrong = kFrames - 1;
  fs::path root_, data_;
  tessel::BackendProcess backend_;
};

// Pressed on the wrong frame, the correction makes it the anchor: right today,
// and right under an engine that uses every marked frame.
TEST_F(MattivoCorrect, ACorrectionTurnsAWrongFrameRightAndItStaysRightOnRePull) {
  const fs::path out = root_ / "out";
  wrong_first_pull(out);

  const std::string fix = std::to_string(kWrong) + ":box=" + box_text(figure_box(root_ / "clip", kWrong));
  Outcome r =
      mattivo("--session " + out.string() + " --anchor " + std::to_string(kWrong) + " --correct " + fix);
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_GT(iou(out, root_ / "clip", kWrong), 0.75);
  // Tracking was redone on the frames the backend already held: no new session, no upload.
  EXPECT_EQ(session_folders(data_), 1);

  // Pulled again with nothing new: the frame stays right.
  r = mattivo("--session " + out.string());
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_GT(iou(out, root_ / "clip", kWrong), 0.75);
  EXPECT_EQ(session_folders(data_), 1);
}

// The anchor stays where the first pull had it; only an engine that takes
// every marked frame as an anchor gets the corrected frame right.
TEST_F(MattivoCorrect, ACorrectionOnAnotherFrameThanTheAnchorTurnsItRight) {
  const fs::path out = root_ / "out";
  wrong_first_pull(out);
  const std::string fix = std::to_string(kWrong) + ":box=" + box_text(figure_box(root_ / "clip", kWrong));
  Outcome r = mattivo("--session " + out.string() + " --correct " + fix);
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_GT(iou(out, root_ / "clip", kWrong), 0.75);
  EXPECT_EQ(session_folders(data_), 1);
  r = mattivo("--session " + out.string());
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_GT(iou(out, root_ / "clip", kWrong), 0.75);
}

}  // namespace
