// Render of a 1920 x 1080 frame in each mode at 8-bit and float: the row
// kernels alone, and the whole render action through the host with a cached
// matte and on a cache miss. A memcpy of the same bytes runs beside them, and
// the run ends with each mode's time as a multiple of that copy.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/matte_compose.h"
#include "ofxhost/ofx_host.h"
#include "testing/pictures.h"
#include "testing/png_testing.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

const char* const kModeNames[] = {"Character (RGBA)", "Matte only", "Source (bypass)"};

// A source frame and an output frame, each in its own allocation as a host
// has them (so both start at the same offset in a page).
struct Frames {
  std::vector<unsigned char> src;
  std::vector<unsigned char> out;

  explicit Frames(bool is_float) : src(static_cast<size_t>(kW) * kH * (is_float ? 16 : 4)), out(src.size()) {
    for (size_t i = 0; i < src.size(); ++i) {
      src[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    }
    if (is_float) {
      auto* f = reinterpret_cast<float*>(src.data());
      for (size_t i = 0; i < src.size() / 4; ++i) f[i] = (i % 997) / 997.0f;
    }
  }
};

// The yardstick: one memcpy of a whole frame at the depth.
void BM_Memcpy(benchmark::State& state) {
  Frames frames(state.range(0) != 0);
  for (auto _ : state) {
    std::memcpy(frames.out.data(), frames.src.data(), frames.src.size());
    benchmark::DoNotOptimize(frames.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frames.src.size()));
}
BENCHMARK(BM_Memcpy)->ArgName("float")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Mode 0 "Character", 1 "Matte only", 2 "Source (bypass)" (no matte); arg 1 is float.
void BM_Kernels(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const bool is_float = state.range(1) != 0;
  const size_t px = is_float ? 16 : 4;
  Frames frames(is_float);
  std::vector<unsigned char>& src = frames.src;
  std::vector<unsigned char>& out = frames.out;
  const auto matte = testing_pictures::ellipse_matte(kW, kH);
  const tessel::GrayView gray{matte.data(), kW, kH};
  const tessel::ImageView s{src.data(), static_cast<std::ptrdiff_t>(kW * px), {0, 0, kW, kH}};
  const tessel::ImageView o{out.data(), static_cast<std::ptrdiff_t>(kW * px), {0, 0, kW, kH}};
  for (auto _ : state) {
    tessel::compose_matte(s, o, is_float ? tessel::PixelDepth::Float : tessel::PixelDepth::Byte,
                          mode == 2 ? nullptr : &gray, mode == 1);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Kernels)
    ->ArgNames({"mode", "float"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// One loaded plug-in for every host benchmark, working in a private folder.
struct HostBench {
  std::string tmp;
  std::unique_ptr<ofxhost::Plugin> plugin;

  HostBench() {
    char dir[] = "/tmp/mattivo_bench_XXXXXX";
    if (!mkdtemp(dir)) return;
    tmp = dir;
    setenv("TMPDIR", dir, 1);
    const std::string root = tmp + "/corvane/";
    mkdir(root.c_str(), 0700);
    mkdir((root + "bench").c_str(), 0700);
    const auto matte = testing_pictures::ellipse_matte(kW, kH);
    for (int i = 0; i < 9; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%06d.png", i);
      testing_png::write_png(root + "bench/" + name, kW, kH, 1, matte);
    }
    plugin = ofxhost::Plugin::load(MATTIVO_BUNDLE_DIR);
  }
  ~HostBench() {
    plugin.reset();
    if (!tmp.empty()) std::system(("rm -rf '" + tmp + "'").c_str());
  }
};

HostBench& host_bench() {
  static HostBench bench;
  return bench;
}

std::unique_ptr<ofxhost::Instance> bench_instance(const char* depth, int mode) {
  auto& bench = host_bench();
  if (!bench.plugin) return nullptr;
  auto inst = bench.plugin->create_instance(nullptr, {{"backend_url", ""}});
  inst->set_string("session_id", "bench");
  inst->set_string("clip_start", "0");
  inst->set_int("output_mode", mode);
  inst->set_pixel_depth(depth);
  // One source frame shared with the host, as a host with a frame cache has it.
  auto source = std::make_shared<ofxhost::Image>(ofxhost::make_image({0, 0, kW, kH}, depth));
  inst->set_source(ofxhost::SharedFrameProvider([source](double) { return source; }));
  return inst;
}

void BM_RenderThroughHost(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const char* depth = state.range(1) ? kOfxBitDepthFloat : kOfxBitDepthByte;
  auto inst = bench_instance(depth, mode);
  if (!inst) {
    state.SkipWithError("plug-in not loaded");
    return;
  }
  ofxhost::Image out = ofxhost::make_image({0, 0, kW, kH}, depth);
  inst->render(0.0, out);  // decodes once; every timed render hits the cache
  for (auto _ : state) {
    if (inst->render(0.0, out) != kOfxStatOK) state.SkipWithError("render failed");
  }
}
BENCHMARK(BM_RenderThroughHost)
    ->ArgNames({"mode", "float"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Nine mattes in turn through an eight-entry cache: every render decodes.
void BM_RenderCacheMiss(benchmark::State& state) {
  auto inst = bench_instance(kOfxBitDepthByte, 0);
  if (!inst) {
    state.SkipWithError("plug-in not loaded");
    return;
  }
  ofxhost::Image out = ofxhost::make_image({0, 0, kW, kH}, kOfxBitDepthByte);
  int frame = 0;
  for (auto _ : state) {
    inst->render(frame, out);
    frame = (frame + 1) % 9;
  }
}
BENCHMARK(BM_RenderCacheMiss)->Unit(benchmark::kMillisecond);

// The host's own share: the same action with the pixel work skipped (an
// empty output leaves nothing to write).
void BM_HostOverhead(benchmark::State& state) {
  const char* depth = state.range(0) ? kOfxBitDepthFloat : kOfxBitDepthByte;
  auto inst = bench_instance(depth, 2);
  if (!inst) {
    state.SkipWithError("plug-in not loaded");
    return;
  }
  ofxhost::Image out = ofxhost::make_image({0, 0, 0, 0}, depth);
  for (auto _ : state) {
    inst->render(0.0, out);
  }
}
BENCHMARK(BM_HostOverhead)->ArgName("float")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per iteration of every run, by name, for the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions the median stands for them all.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!run.error_occurred && (run.run_type == Run::RT_Iteration || median)) {
        ms_[median ? run.run_name.str() : run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
  }

  // Each mode and depth against the memcpy of its depth, for the kernels and
  // the whole render; "-" where a benchmark was filtered out.
  void print_ratios() const {
    std::printf("\nCPU time per %dx%d frame as a multiple of a memcpy of the same bytes\n", kW, kH);
    std::printf("%-6s %-17s %10s %10s %7s %10s %7s\n", "depth", "mode", "memcpy ms", "kernels ms", "ratio",
                "render ms", "ratio");
    for (int is_float : {0, 1}) {
      const double copy = find("BM_Memcpy/float:" + std::to_string(is_float));
      for (int mode : {0, 1, 2}) {
        const std::string args = "/mode:" + std::to_string(mode) + "/float:" + std::to_string(is_float);
        const double kernels = find("BM_Kernels" + args);
        const double render = find("BM_RenderThroughHost" + args);
        std::printf("%-6s %-17s %s %s %s %s %s\n", is_float ? "float" : "8-bit", kModeNames[mode],
                    cell(copy, 10).c_str(), cell(kernels, 10).c_str(), ratio(kernels, copy).c_str(),
                    cell(render, 10).c_str(), ratio(render, copy).c_str());
      }
    }
  }

 private:
  std::map<std::string, double> ms_;

  double find(const std::string& name) const {
    const auto it = ms_.find(name);
    return it == ms_.end() ? -1.0 : it->second;
  }
  static std::string cell(double v, int width) {
    char text[32];
    if (v < 0) {
      std::snprintf(text, sizeof text, "%*s", width, "-");
    } else {
      std::snprintf(text, sizeof text, "%*.3f", width, v);
    }
    return text;
  }
  static std::string ratio(double v, double copy) {
    char text[32];
    if (v < 0 || copy <= 0) {
      std::snprintf(text, sizeof text, "%7s", "-");
    } else {
      std::snprintf(text, sizeof text, "%6.2fx", v / copy);
    }
    return text;
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
