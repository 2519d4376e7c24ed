// The backend on the generated suite: whole sessions through HTTP, the way the
// plug-in runs them, with speed, peak memory and scores per clip.
//   bench_backend_suite [--width W --height H --frames N --scenarios a,b --qualities fast,fine]
//                       [--long N] [--footage] [--person-model FILE|none] [benchmark flags]
#include "bench_footage.h"
#include "testing/backend_process.h"
#include "testing/session_flow.h"

#include "clipgen/clipgen.h"
#include "eval/eval_metrics.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

struct Config {
  int width = 1920, height = 1080, frames = 48;
  std::vector<std::string> scenarios = tessel::scenario_names();
  std::vector<std::string> qualities = {"fast", "fine"};
  int long_frames = 0;  // > 0: also a long clip per quality, for peak memory
  // Also the identity cases on real footage.
  bool footage = false;
  // Passed on to every backend started, e.g. --person-model none.
  std::vector<std::string> backend_args;
};
Config gConfig;

struct Result {
  double fps, session_fps, rss_mib;
  tessel::ClipScore score;
};
std::map<std::string, std::map<std::string, Result>> gResults;  // quality -> clip -> result
std::map<std::string, Result> gLong;                            // the long clip, for memory

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

std::string clip_dir(const std::string& scenario, int frames, int seed) {
  std::string dir = std::string(MATTIVO_BINARY_DIR) + "/bench-clips/" + std::to_string(gConfig.width) + "x" +
                    std::to_string(gConfig.height) + "-" + std::to_string(frames) + "/" + scenario + "-" +
                    std::to_string(seed);
  if (std::filesystem::exists(dir + "/" + protocol::kClipDocument)) return dir;
  std::filesystem::create_directories(dir);
  tessel::ClipSpec spec;
  tessel::scenario_spec(scenario, &spec);
  spec.width = gConfig.width;
  spec.height = gConfig.height;
  spec.frames = frames;
  spec.seed = seed;
  std::string error;
  if (!tessel::write_clip(spec, dir, true, &error))
    std::fprintf(stderr, "clip %s: %s\n", dir.c_str(), error.c_str());
  return dir;
}

void session(benchmark::State& state, const std::string& scenario, int seed, const std::string& quality,
             int frames, bool long_clip) {
  std::string clip = clip_dir(scenario, frames, seed);
  Result result{};
  for (auto _ : state) {
    std::string work = mattivo_test::make_temp_dir("bench");
    std::filesystem::create_directories(work + "/mattes");
    tessel::BackendProcess backend;
    std::string error;
    std::vector<std::string> args{"--data-dir", work + "/data"};
    args.insert(args.end(), gConfig.backend_args.begin(), gConfig.backend_args.end());
    if (!mattivo_test::start_backend(args, work + "/backend.log", &backend, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    mattivo_test::PluginClient client;
    mattivo_test::SessionRun run = mattivo_test::run_plugin_session(
        client, backend.url, clip + "/" + protocol::kFramesDir, frames,
        mattivo_test::clip_request(clip, quality, "box"), work + "/mattes", 20, 3600);
    tessel::stop_backend(&backend, false, 600);
    if (!run.ok) {
      state.SkipWithError(run.failure.c_str());
      break;
    }
    state.SetIterationTime(run.matte_seconds);
    tessel::ClipScorer scorer;
    for (int i = 0; i < frames; ++i) {
      const std::string name = "/" + protocol::indexed_file_name(i, protocol::kMatteExtension);
      scorer.add(cv::imread(work + "/mattes" + name, cv::IMREAD_GRAYSCALE),
                 cv::imread(clip + "/" + protocol::kAlphaDir + name, cv::IMREAD_GRAYSCALE));
    }
    result.fps = frames / run.matte_seconds;
    result.session_fps = frames / (run.upload_seconds + run.matte_seconds + run.download_seconds);
    result.rss_mib = backend.peak_rss_kb / 1024.0;
    result.score = scorer.result();
    mattivo_test::remove_tree(work);
  }
  state.counters["fps"] = result.fps;
  state.counters["session_fps"] = result.session_fps;
  state.counters["rss_MiB"] = result.rss_mib;
  state.counters["J"] = result.score.j;
  state.counters["F"] = result.score.f;
  state.counters["MAE"] = result.score.mae;
  state.counters["dtSSD"] = result.score.dtssd;
  if (long_clip) {
    gLong[quality + "/" + scenario + "-" + std::to_string(frames)] = result;
  } else {
    gResults[quality][scenario + "-" + std::to_string(frames)] = result;
  }
}

void print_summary() {
  // Speed is the whole session's matting time (decode, tracking, PNG encode)
  // over all clips of a quality; scores are means over the clips.
  std::map<std::string, double> mean_j, mean_f, speed;
  double peak = 0;
  for (const auto& [quality, clips] : gResults) {
    double j = 0, f = 0, mae = 0, dt = 0, frames = 0, seconds = 0;
    for (const auto& [name, r] : clips) {
      std::printf(
          "%-5s %-18s %6.2f fps (session %5.2f)  J %.4f  F %.4f  MAE %.4f  dtSSD %6.3f  peak %6.1f MiB\n",
          quality.c_str(), name.c_str(), r.fps, r.session_fps, r.score.j, r.score.f, r.score.mae,
          r.score.dtssd, r.rss_mib);
      j += r.score.j, f += r.score.f, mae += r.score.mae, dt += r.score.dtssd;
      frames += r.score.frames, seconds += r.score.frames / r.fps;
      peak = std::max(peak, r.rss_mib);
    }
    double n = static_cast<double>(clips.size());
    mean_j[quality] = j / n, mean_f[quality] = f / n, speed[quality] = frames / seconds;
    std::printf("%-5s %-18s %6.2f fps                   J %.4f  F %.4f  MAE %.4f  dtSSD %6.3f\n",
                quality.c_str(), "MEAN", frames / seconds, j / n, f / n, mae / n, dt / n);
  }
  for (const auto& [name, r] : gLong) {
    std::printf("long  %-18s %6.2f fps (session %5.2f)  peak %6.1f MiB\n", name.c_str(), r.fps, r.session_fps,
                r.rss_mib);
  }
  std::printf("\ntargets at %dx%d:\n", gConfig.width, gConfig.height);
  auto line = [](const char* what, const std::map<std::string, double>& values, const char* quality,
                 double goal, const char* unit) {
    auto it = values.find(quality);
    if (it == values.end()) {
      std::printf("  %-24s %-5s not measured\n", what, quality);
      return;
    }
    std::printf("  %-24s %-5s %8.3f %s (goal >= %g)  %s\n", what, quality, it->second, unit, goal,
                it->second >= goal ? "met" : "NOT met");
  };
  line("mean J", mean_j, "fine", 0.92, "  ");
  line("mean J", mean_j, "fast", 0.88, "  ");
  line("mean F", mean_f, "fine", 0.80, "  ");
  line("speed", speed, "fast", 8.0, "fps");
  line("speed", speed, "fine", 1.5, "fps");
  if (gLong.empty()) {
    std::printf("  %-24s       not measured (add --long 2000)\n", "peak memory, long clip");
  } else {
    double long_peak = 0;
    int frames = 0;
    for (const auto& [name, r] : gLong) long_peak = std::max(long_peak, r.rss_mib), frames = r.score.frames;
    std::printf("  %-24s %5d fr %7.1f MiB (goal < 1024)  %s\n", "peak memory, long clip", frames, long_peak,
                long_peak < 1024 ? "met" : "NOT met");
  }
  std::printf("  %-24s       %7.1f MiB over the suite\n", "peak memory", peak);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--width" && has_value)
      gConfig.width = std::atoi(argv[++i]);
    else if (a == "--height" && has_value)
      gConfig.height = std::atoi(argv[++i]);
    else if (a == "--frames" && has_value)
      gConfig.frames = std::atoi(argv[++i]);
    else if (a == "--scenarios" && has_value)
      gConfig.scenarios = split(argv[++i]);
    else if (a == "--qualities" && has_value)
      gConfig.qualities = split(argv[++i]);
    else if (a == "--long" && has_value)
      gConfig.long_frames = std::atoi(argv[++i]);
    else if (a == "--footage")
      gConfig.footage = true;
    else if (a == "--person-model" && has_value)
      gConfig.backend_args = {"--person-model", argv[++i]};
    else
      rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  for (const std::string& q : gConfig.qualities) {
    int seed = 1;
    for (const std::string& s : gConfig.scenarios) {
      benchmark::RegisterBenchmark(("Session/" + q + "/" + s).c_str(), session, s, seed++, q, gConfig.frames,
                                   false)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kSecond);
    }
  }
  if (gConfig.long_frames > 0) {
    for (const std::string& q : gConfig.qualities) {
      benchmark::RegisterBenchmark(("LongSession/" + q + "/walk").c_str(), session, std::string("walk"), 1, q,
                                   gConfig.long_frames, true)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kSecond);
    }
  }
  if (gConfig.footage) bench_footage::register_footage_benchmarks(gConfig.qualities, gConfig.backend_args);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  bench_footage::print_footage_summary();
  return 0;
}
