// Render of a 1920 x 1080 frame in each mode at 8-bit and float: the row
// kernels alone, and the whole render action through the host with a cached
// matte and on a cache miss. Each mode's benchmark also copies the same bytes
// with memcpy between its iterations, so that the two share the machine's
// state of the moment, and reports its time as a multiple of that copy
// (x_memcpy); the run ends with a table of those multiples.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <time.h>
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

double thread_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// CPU time of the timed work and of a memcpy of `bytes` from `from` to `to`
// after each iteration, outside the benchmark's timing.
struct Yardstick {
  const void* from;
  void* to;
  std::size_t bytes;
  double work_ms = 0.0;
  double copy_ms = 0.0;
  double started = 0.0;

  void begin() { started = thread_cpu_ms(); }
  void end(benchmark::State& state) {
    work_ms += thread_cpu_ms() - started;
    state.PauseTiming();
    const double t0 = thread_cpu_ms();
    std::memcpy(to, from, bytes);
    benchmark::ClobberMemory();
    copy_ms += thread_cpu_ms() - t0;
    state.ResumeTiming();
  }
  void report(benchmark::State& state) const {
    if (state.iterations() == 0 || copy_ms <= 0.0) return;
    state.counters["memcpy_ms"] = copy_ms / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = work_ms / copy_ms;
  }
};

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
  Yardstick yardstick{src.data(), out.data(), src.size()};
  for (auto _ : state) {
    yardstick.begin();
    tessel::compose_matte(s, o, is_float ? tessel::PixelDepth::Float : tessel::PixelDepth::Byte,
                          mode == 2 ? nullptr : &gray, mode == 1);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    yardstick.end(state);
  }
  yardstick.report(state);
}
BENCHMARK(BM_Kernels)
    ->ArgNames({"mode", "float"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The worst case for the kernels: a matte with an edge in every block of
// pixels (flat stretches are cleared or copied, edges are multiplied).
void BM_KernelsEdgesEverywhere(benchmark::State& state) {
  const bool is_float = state.range(0) != 0;
  const size_t px = is_float ? 16 : 4;
  Frames frames(is_float);
  std::vector<unsigned char> matte(static_cast<size_t>(kW) * kH);
  for (size_t i = 0; i < matte.size(); ++i) {
    matte[i] = static_cast<unsigned char>(1 + i % 254);
  }
  const tessel::GrayView gray{matte.data(), kW, kH};
  const tessel::ImageView s{frames.src.data(), static_cast<std::ptrdiff_t>(kW * px), {0, 0, kW, kH}};
  const tessel::ImageView o{frames.out.data(), static_cast<std::ptrdiff_t>(kW * px), {0, 0, kW, kH}};
  Yardstick yardstick{frames.src.data(), frames.out.data(), frames.src.size()};
  for (auto _ : state) {
    yardstick.begin();
    tessel::compose_matte(s, o, is_float ? tessel::PixelDepth::Float : tessel::PixelDepth::Byte, &gray,
                          false);
    benchmark::DoNotOptimize(frames.out.data());
    benchmark::ClobberMemory();
    yardstick.end(state);
  }
  yardstick.report(state);
}
BENCHMARK(BM_KernelsEdgesEverywhere)->ArgName("float")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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

std::unique_ptr<ofxhost::Instance> bench_instance(const char* depth, int mode,
                                                  std::shared_ptr<ofxhost::Image>* frame = nullptr) {
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
  if (frame) *frame = source;
  return inst;
}

void BM_RenderThroughHost(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const char* depth = state.range(1) ? kOfxBitDepthFloat : kOfxBitDepthByte;
  std::shared_ptr<ofxhost::Image> source;
  auto inst = bench_instance(depth, mode, &source);
  if (!inst) {
    state.SkipWithError("plug-in not loaded");
    return;
  }
  ofxhost::Image out = ofxhost::make_image({0, 0, kW, kH}, depth);
  inst->render(0.0, out);  // decodes once; every timed render hits the cache
  Yardstick yardstick{source->storage.data(), out.storage.data(), out.storage.size()};
  for (auto _ : state) {
    yardstick.begin();
    if (inst->render(0.0, out) != kOfxStatOK) state.SkipWithError("render failed");
    yardstick.end(state);
  }
  yardstick.report(state);
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

// Keeps the multiples of every run, by name, for the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  explicit TableReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions the median stands for them all.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const auto copy = run.counters.find("memcpy_ms");
      const auto times = run.counters.find("x_memcpy");
      if (!run.error_occurred && (run.run_type == Run::RT_Iteration || median) &&
          copy != run.counters.end() && times != run.counters.end()) {
        rows_[median ? run.run_name.str() : run.benchmark_name()] = {run.GetAdjustedCPUTime(), copy->second,
                                                                     times->second};
      }
    }
  }

  // Each mode and depth, the kernels and the whole render, against the
  // memcpy measured beside it; "-" where a benchmark was filtered out.
  void print_table() const {
    std::printf("\nCPU time per %dx%d frame, and as a multiple of a memcpy of the same bytes\n", kW, kH);
    std::printf("%-6s %-17s %10s %10s %8s %10s %10s %8s\n", "depth", "mode", "kernels ms", "memcpy ms",
                "ratio", "render ms", "memcpy ms", "ratio");
    for (int is_float : {0, 1}) {
      for (int mode : {0, 1, 2}) {
        const std::string args = "/mode:" + std::to_string(mode) + "/float:" + std::to_string(is_float);
        std::printf("%-6s %-17s %s %s\n", is_float ? "float" : "8-bit", kModeNames[mode],
                    cells("BM_Kernels" + args).c_str(), cells("BM_RenderThroughHost" + args).c_str());
      }
    }
  }

 private:
  struct Row {
    double ms, copy_ms, times;
  };
  std::map<std::string, Row> rows_;

  std::string cells(const std::string& name) const {
    char text[64];
    const auto it = rows_.find(name);
    if (it == rows_.end()) {
      std::snprintf(text, sizeof text, "%10s %10s %8s", "-", "-", "-");
    } else {
      std::snprintf(text, sizeof text, "%10.3f %10.3f %7.2fx", it->second.ms, it->second.copy_ms,
                    it->second.times);
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
  TableReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                               : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_table();
  benchmark::Shutdown();
  return 0;
}
