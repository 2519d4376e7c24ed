#include "bench_footage.h"

#include "bench_session.h"

#include "eval/footage_cases.h"
#include "eval/footage_score.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/selection_document.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <map>

namespace bench_footage {
namespace {

constexpr const char* kVideoDir = "/usr/share/doc/opencv-doc/examples/data";

struct Result {
  double fps = 0;
  tessel::FootageScore score;
};
std::vector<tessel::FootageCase> gCases;
std::vector<std::string> gBackendArgs;
std::map<std::string, std::map<std::string, Result>> gResults;  // quality -> case -> result

int frame_count(const tessel::FootageCase& c) { return c.last - c.first + 1; }

// The case's frames as a clip folder: frames/ as JPEG and a clip.json with the
// user's box on the anchor, decoded once and kept under the build tree.
std::string clip_dir(const tessel::FootageCase& c, std::string* error) {
  const std::string dir = std::string(MATTIVO_BINARY_DIR) + "/bench-footage/" + c.name;
  if (std::filesystem::exists(dir + "/" + protocol::kClipDocument)) return dir;
  std::filesystem::create_directories(dir + "/" + protocol::kFramesDir);
  cv::VideoCapture video(std::string(kVideoDir) + "/" + c.video);
  if (!video.isOpened()) {
    *error = "cannot open " + c.video;
    return "";
  }
  cv::Mat frame;
  for (int f = 0; f <= c.last; ++f) {
    if (!video.read(frame)) {
      *error = c.video + " ends before frame " + std::to_string(f);
      return "";
    }
    if (f < c.first) continue;
    const std::string name = protocol::indexed_file_name(f - c.first, protocol::kFrameExtension);
    cv::imwrite(dir + "/" + protocol::kFramesDir + "/" + name, frame, {cv::IMWRITE_JPEG_QUALITY, 95});
  }
  const double w = c.width, h = c.height;
  const nlohmann::json doc{
      {protocol::key::kAnchorFrame, c.anchor - c.first},
      {protocol::key::kBbox,
       protocol::box_json({c.user_box.x / w, c.user_box.y / h, c.user_box.width / w, c.user_box.height / h})},
      {protocol::clip_key::kFps, video.get(cv::CAP_PROP_FPS)},
      {protocol::clip_key::kFrames, frame_count(c)},
      {protocol::clip_key::kHeight, c.height},
      {protocol::key::kStrokes, nlohmann::json::array()},
      {protocol::clip_key::kWidth, c.width}};
  // clip.json last: its presence marks a complete folder.
  if (!protocol::write_clip_document(dir, doc)) *error = "cannot write " + dir;
  return dir;
}

void session(benchmark::State& state, const tessel::FootageCase& c, const std::string& quality) {
  std::string error;
  const std::string clip = clip_dir(c, &error);
  if (clip.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const int frames = frame_count(c);
  Result result;
  for (auto _ : state) {
    const bench_session::Outcome session = bench_session::run(
        clip, frames, mattivo_test::clip_request(clip, quality, "box"), gBackendArgs, "bench-footage");
    if (!session.started) {
      state.SkipWithError(session.error.c_str());
      break;
    }
    const mattivo_test::SessionRun& run = session.run;
    const std::string& work = session.work;
    if (!run.ok) {
      state.SkipWithError(run.failure.c_str());
      break;
    }
    state.SetIterationTime(run.matte_seconds);
    std::vector<cv::Mat> mattes;
    for (int i = 0; i < frames; ++i)
      mattes.push_back(
          cv::imread(work + "/mattes/" + protocol::indexed_file_name(i, protocol::kMatteExtension),
                     cv::IMREAD_GRAYSCALE));
    result.fps = frames / run.matte_seconds;
    result.score = tessel::score_footage(c, mattes);
    mattivo_test::remove_tree(work);
  }
  state.counters["fps"] = result.fps;
  state.counters["coverage"] = result.score.coverage;
  state.counters["leak"] = result.score.leak;
  state.counters["distractor"] = result.score.distractor;
  state.counters["held"] = result.score.held;
  gResults[quality][c.name] = result;
}

}  // namespace

void register_footage_benchmarks(const std::vector<std::string>& qualities,
                                 const std::vector<std::string>& backend_args) {
  gBackendArgs = backend_args;
  if (!std::filesystem::exists(std::string(kVideoDir) + "/vtest.avi")) {
    std::printf("footage: skipped, %s/vtest.avi is missing (Debian package opencv-doc)\n", kVideoDir);
    return;
  }
  std::string error;
  if (!tessel::read_footage_cases(MATTIVO_FOOTAGE_CASES, &gCases, &error)) {
    std::printf("footage: skipped, %s\n", error.c_str());
    return;
  }
  for (const std::string& q : qualities)
    for (const tessel::FootageCase& c : gCases)
      benchmark::RegisterBenchmark(("Footage/" + q + "/" + c.name).c_str(), session, c, q)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kSecond);
}

void print_footage_summary() {
  if (gResults.empty()) return;
  std::printf(
      "\nreal footage, identity (held: coverage >= %.2f and over %.0f%% of the matte in the chosen box)\n",
      tessel::kHeldCoverage, 100 * tessel::kHeldShare);
  std::printf("%-5s %-34s %8s %6s %10s %6s %7s\n", "", "case", "coverage", "leak", "distractor", "held",
              "fps");
  for (const auto& [quality, cases] : gResults) {
    double held = 0;
    for (const auto& [name, r] : cases) {
      std::printf("%-5s %-34s %8.3f %6.3f %10.3f %6.3f %7.2f\n", quality.c_str(), name.c_str(),
                  r.score.coverage, r.score.leak, r.score.distractor, r.score.held, r.fps);
      held += r.score.held;
    }
    std::printf("%-5s %-34s %8s %6s %10s %6.3f\n", quality.c_str(), "MEAN held", "", "", "",
                held / cases.size());
  }
}

}  // namespace bench_footage
