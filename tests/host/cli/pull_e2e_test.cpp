// mattivo end to end: a generated clip with known alpha, pulled through the
// plug-in against a private reference backend, exactly as a user runs it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "command_run.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = MATTIVO_BINARY_DIR;

using cli_test::Outcome;
using cli_test::run;

std::string mattivo() { return kBin + "/bin/mattivo"; }

// A clip from our generator: frames/, alpha/ and clip.json with a box on the anchor.
struct Clip {
  fs::path dir;
  int anchor = 0;
  std::string box;
};

double number_after(const std::string& text, const std::string& key) {
  std::smatch m;
  std::regex rx("\"" + key + "\":(-?[0-9.eE+-]+)");
  if (!std::regex_search(text, m, rx)) return -1;
  return std::stod(m[1]);
}

Clip make_clip(const fs::path& dir, int width, int height, int frames) {
  fs::create_directories(dir);
  Outcome r = run(kBin + "/backend/mattivo-clipgen --out " + dir.string() + " --scenario walk --frames " +
                  std::to_string(frames) + " --width " + std::to_string(width) + " --height " +
                  std::to_string(height) + " --seed 3");
  EXPECT_EQ(r.code, 0) << r.output;
  std::ifstream in(dir / "clip.json");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string json = ss.str();
  std::string bbox = json.substr(json.find("\"bbox\""));
  Clip c;
  c.dir = dir;
  c.anchor = static_cast<int>(number_after(json, "anchor_frame"));
  std::ostringstream box;
  box.precision(17);
  box << number_after(bbox, "x") << "," << number_after(bbox, "y") << "," << number_after(bbox, "w") << ","
      << number_after(bbox, "h");
  c.box = box.str();
  return c;
}

// Region IoU of the mattes against the truth, over every frame at alpha 0.5.
double mean_iou(const fs::path& mattes, const fs::path& truth, int frames) {
  double sum = 0;
  for (int i = 0; i < frames; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.png", i);
    cv::Mat m = cv::imread((mattes / name).string(), cv::IMREAD_GRAYSCALE);
    cv::Mat t = cv::imread((truth / name).string(), cv::IMREAD_GRAYSCALE);
    if (m.empty() || t.empty() || m.size() != t.size()) return 0;
    cv::Mat a = m >= 128, b = t >= 128;
    const double inter = cv::countNonZero(a & b), uni = cv::countNonZero(a | b);
    sum += uni > 0 ? inter / uni : 1.0;
  }
  return sum / frames;
}

class MattivoPull : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("mattivo-e2e-" + std::to_string(getpid()));
    clip_ = new Clip(make_clip(root_ / "clip", 320, 180, 8));
  }
  static void TearDownTestSuite() {
    delete clip_;
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static fs::path root_;
  static Clip* clip_;
};

fs::path MattivoPull::root_;
Clip* MattivoPull::clip_ = nullptr;

TEST_F(MattivoPull, BoxGivesMattesThatMatchTheTruth) {
  fs::path out = root_ / "box";
  Outcome r =
      run(mattivo() + " pull --quiet --quality fast --input " + (clip_->dir / "frames").string() +
          " --anchor " + std::to_string(clip_->anchor) + " --box " + clip_->box + " --out " + out.string());
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("ready: 8 frames matted"), std::string::npos) << r.output;
  EXPECT_GT(mean_iou(out / "matte", clip_->dir / "alpha", 8), 0.75);

  // The RGBA frames are premultiplied: no colour brighter than its alpha allows.
  cv::Mat rgba = cv::imread((out / "rgba" / "000000.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(rgba.channels(), 4);
  ASSERT_EQ(rgba.size(), cv::Size(320, 180));
  for (int y = 0; y < rgba.rows; ++y)
    for (int x = 0; x < rgba.cols; ++x) {
      const cv::Vec4b p = rgba.at<cv::Vec4b>(y, x);
      ASSERT_LE(std::max({p[0], p[1], p[2]}), p[3] + 1) << x << "," << y;
    }
  cv::Mat sheet = cv::imread((out / "contact_sheet.png").string(), cv::IMREAD_COLOR);
  EXPECT_FALSE(sheet.empty());
  EXPECT_GT(sheet.cols, 320);
  for (const auto& e : fs::directory_iterator(out))
    EXPECT_NE(e.path().filename().string().rfind(".partial-", 0), 0u) << "staging left behind: " << e.path();
}

TEST_F(MattivoPull, BrushDabsAloneSelectTheCharacter) {
  // Dabs on the torso and head of the figure's box, one exclude outside it.
  std::string json;
  {
    std::ifstream in(clip_->dir / "clip.json");
    std::stringstream ss;
    ss << in.rdbuf();
    json = ss.str();
  }
  const std::string bbox = json.substr(json.find("\"bbox\""));
  const double x = number_after(bbox, "x"), y = number_after(bbox, "y");
  const double w = number_after(bbox, "w"), h = number_after(bbox, "h");
  auto pt = [](double a, double b) { return std::to_string(a) + "," + std::to_string(b) + ",0.02"; };
  fs::path out = root_ / "dabs";
  Outcome r =
      run(mattivo() + " pull --quiet --quality fast --input " + (clip_->dir / "frames").string() +
          " --anchor " + std::to_string(clip_->anchor) + " --add " + pt(x + w / 2, y + h * 0.3) + " --add " +
          pt(x + w / 2, y + h * 0.5) + " --exclude " + pt(0.02, 0.02) + " --out " + out.string());
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_GT(mean_iou(out / "matte", clip_->dir / "alpha", 8), 0.5);
}

TEST(MattivoPullHint, HintOnlyPullEndsWithAMatteOrAPlainReason) {
  // The reference backend finds people with a classical detector, which may
  // miss a drawn figure: then the user must hear why, and get no outputs.
  fs::path root = fs::temp_directory_path() / ("mattivo-e2e-hint-" + std::to_string(getpid()));
  Clip clip = make_clip(root / "clip", 640, 360, 4);
  Outcome r = run(mattivo() + " pull --quiet --quality fast --input " + (clip.dir / "frames").string() +
                  " --anchor " + std::to_string(clip.anchor) + " --hint 'person walking' --out " +
                  (root / "out").string());
  if (r.code == 0) {
    EXPECT_GT(mean_iou(root / "out" / "matte", clip.dir / "alpha", 4), 0.4);
  } else {
    EXPECT_EQ(r.code, 1) << r.output;
    EXPECT_NE(r.output.find("mattivo: no person found for the hint"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(root / "out" / "rgba"));
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}

TEST_F(MattivoPull, BadInputsFailClearlyAndLeaveNothingBehind) {
  const std::string frames = (clip_->dir / "frames").string();
  struct Case {
    std::string args;
    int code;
    const char* says;
  } cases[] = {
      {"--input /no/such/clip --box 0.1,0.1,0.2,0.2", 1, "input not found"},
      {"--input " + frames + " --box 0.1,0.1,0.2", 2, "--box"},
      {"--input " + frames + " --box 0.9,0.1,0.5,0.2", 1, "outside the frame"},
      {"--input " + frames + " --box 0.1,0.1,0.2,0.2 --anchor 99", 1, "past the last frame"},
      {"--input " + frames, 2, "mark the character"},
      {"--input " + frames + " --box 0.1,0.1,0.2,0.2 --backend http://127.0.0.1:1", 1,
       "cannot reach backend"},
      {"--input " + frames + " --box 0.1,0.1,0.2,0.2 --plugin /no/such.ofx.bundle", 1,
       "cannot load the plug-in"},
  };
  int k = 0;
  for (const Case& c : cases) {
    fs::path out = root_ / ("bad" + std::to_string(k++));
    Outcome r = run(mattivo() + " pull --quiet " + c.args + " --out " + out.string());
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << "\n" << r.output;
    EXPECT_FALSE(fs::exists(out / "rgba")) << c.args;
    EXPECT_FALSE(fs::exists(out / "contact_sheet.png")) << c.args;
  }
}

TEST(MattivoInfo, ListsWhatThePluginDescribes) {
  Outcome r = run(mattivo() + " info");
  ASSERT_EQ(r.code, 0) << r.output;
  for (const char* want : {".mattivo.ofx", "OfxImageEffectContextFilter", "OfxBitDepthFloat",
                           "Pull alpha (whole clip)", "edge_softness", "(hidden)"})
    EXPECT_NE(r.output.find(want), std::string::npos) << want;
  Outcome bad = run(mattivo() + " info --plugin /no/such.ofx.bundle");
  EXPECT_EQ(bad.code, 1);
}

}  // namespace
