// What each extra anchor costs: the engine in-process on a generated clip,
// matted from its anchor alone and with more marked frames spread over it,
// with the run's peak memory, so that both stay flat in the clip's length.
//   bench_engine_anchors [benchmark flags]
#include "testing/backend_process.h"

#include "clipgen/clipgen.h"
#include "engine/engine.h"
#include "engine/frame_files.h"
#include "protocol/clip_folder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace {

constexpr int kWidth = 640, kHeight = 360;

// Clips are written once per length and kept for the process.
std::string clip_of(int frames, tessel::ClipSpec* spec) {
  static std::string root = mattivo_test::make_temp_dir("anchors");
  tessel::scenario_spec("walk", spec);
  spec->width = kWidth;
  spec->height = kHeight;
  spec->frames = frames;
  const std::string dir = root + "/walk-" + std::to_string(frames);
  std::string error;
  if (!std::ifstream(dir + "/" + protocol::kClipDocument) && !tessel::write_clip(*spec, dir, true, &error))
    return "";
  return dir;
}

// Resets the kernel's high-water mark, so each run reports its own peak.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double peak_mib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// Args: clip length, extra anchors (spread evenly, away from the anchor).
void BM_Anchors(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0)), extra = static_cast<int>(state.range(1));
  tessel::ClipSpec spec;
  const std::string clip = clip_of(frames, &spec);
  if (clip.empty()) {
    state.SkipWithError("cannot write the clip");
    return;
  }
  tessel::ClipGenerator gen(spec);
  tessel::EngineRequest request;
  request.quality = tessel::Quality::Fast;
  tessel::ClipSelection first = gen.selection(0);
  request.has_box = true;
  request.box = {first.box_x, first.box_y, first.box_w, first.box_h};
  for (int k = 1; k <= extra; ++k) {
    const int t = k * (frames - 1) / extra;
    tessel::ClipSelection s = gen.selection(t);
    request.marked_frames.push_back({t, true, {s.box_x, s.box_y, s.box_w, s.box_h}, {}});
  }
  auto read = [&clip](int i, int reduce) {
    return tessel::read_frame_file(clip + "/frames/" + protocol::index_name(i) + ".jpg", reduce);
  };
  double peak = 0;
  for (auto _ : state) {
    reset_peak();
    tessel::EngineOutcome o = tessel::run_engine(
        request, frames, read, [](int, const cv::Mat&) { return true; }, [](const std::string&) {}, nullptr);
    if (!o.ok) state.SkipWithError(o.error.c_str());
    peak = std::max(peak, peak_mib());
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["peak_mib"] = peak;
}
BENCHMARK(BM_Anchors)
    ->ArgsProduct({{96}, {0, 1, 2, 4}})
    ->Args({288, 0})
    ->Args({288, 4})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
