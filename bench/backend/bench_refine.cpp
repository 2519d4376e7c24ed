// The refinement thread's work on one frame: the matte refined at full size
// against the picture, then encoded as PNG. On one thread, as it runs beside
// the tracking of the next frame when both cores are busy: its time per frame
// is what sets the pace on close-ups, where the outline is long.
//   bench_refine [benchmark flags]
#include "bench_clips.h"
#include "testing/backend_process.h"

#include "clipgen/clipgen.h"
#include "engine/engine_parts.h"
#include "engine/frame_files.h"
#include "engine/heap_policy.h"
#include "protocol/clip_folder.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <map>
#include <string>

namespace {

// One frame of a generated 1080p clip and what tracking would hand over for
// it: its truth as the tracker sees it at half size (soft at the edge) and
// the colours learned either side of it.
struct Input {
  cv::Mat guide, prob;
  tessel::ColourModel colour;
};

const Input& input(const std::string& scenario) {
  static std::map<std::string, Input> made;
  auto it = made.find(scenario);
  if (it != made.end()) return it->second;
  // The suite's clip at 1080p, the same whichever benchmark wrote it first.
  const std::string dir =
      bench_clips::clip_dir(scenario, 1920, 1080, 48, tessel::scenario_seeds(scenario, false).front());
  const int t = 24;
  Input in;
  in.guide = tessel::read_frame_file(dir + "/" + protocol::kFramesDir + "/" +
                                         protocol::indexed_file_name(t, protocol::kFrameExtension),
                                     1)
                 .bgr;
  cv::Mat truth = cv::imread(dir + "/alpha/" + protocol::indexed_file_name(t, protocol::kMatteExtension),
                             cv::IMREAD_GRAYSCALE);
  if (in.guide.empty() || truth.empty()) return made[scenario];
  cv::Mat sure_fg, sure_bg, kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(9, 9));
  cv::erode(truth > 230, sure_fg, kernel);
  cv::erode(truth < 25, sure_bg, kernel);
  tessel::colour_learn(&in.colour, in.guide, sure_fg, sure_bg, 1.0f);
  cv::resize(truth, in.prob, cv::Size(960, 540), 0, 0, cv::INTER_AREA);
  in.prob.convertTo(in.prob, CV_32F, 1.0 / 255);
  cv::GaussianBlur(in.prob, in.prob, cv::Size(0, 0), 1.5);
  return made[scenario] = in;
}

void Refine(benchmark::State& state, const std::string& scenario) {
  cv::setNumThreads(1);
  const Input& in = input(scenario);
  if (in.guide.empty()) return state.SkipWithError("no clip");
  for (auto _ : state) {
    cv::Mat alpha = tessel::refine_matte(in.prob, in.guide, in.colour, 0.35, in.guide.size());
    benchmark::DoNotOptimize(alpha.data);
  }
}

void Encode(benchmark::State& state, const std::string& scenario) {
  cv::setNumThreads(1);
  const Input& in = input(scenario);
  if (in.guide.empty()) return state.SkipWithError("no clip");
  const cv::Mat alpha = tessel::refine_matte(in.prob, in.guide, in.colour, 0.35, in.guide.size());
  static const std::string path = mattivo_test::make_temp_dir("refine-png") + "/matte.png";
  long long size = 0;
  for (auto _ : state) {
    if (!tessel::write_matte_png(path, alpha, &size)) return state.SkipWithError("cannot write");
  }
  state.counters["KiB"] = static_cast<double>(size) / 1024;
}

BENCHMARK_CAPTURE(Refine, close_up, std::string("close-up"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Refine, walk, std::string("walk"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Encode, close_up, std::string("close-up"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Encode, walk, std::string("walk"))->Unit(benchmark::kMillisecond);

}  // namespace

// As in the backend: frame-sized buffers stay in the heap between frames.
int main(int argc, char** argv) {
  tessel::keep_image_buffers_in_heap();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
