// The backend on the generated suite: whole sessions through HTTP, the way the
// plug-in runs them, with speed, peak memory and scores per clip and per family.
//   bench_backend_suite [--width W --height H --frames N --qualities fast,fine]
//                       [--scenarios a,b:hint] [--seeds tune|held|all] [--long N]
//                       [--footage] [--person-model FILE|none] [benchmark flags]
// A family is a scenario pulled with a selection: the clip's box, or with
// ":hint" its hint text only. Tune seeds are the ones to look at while changing
// the engine; held seeds are for reporting only.
#include "bench_clips.h"
#include "bench_footage.h"
#include "bench_session.h"

#include "clipgen/clipgen.h"
#include "eval/eval_metrics.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

namespace {

std::vector<std::string> default_families() {
  std::vector<std::string> out = tessel::scenario_names();
  out.push_back("walk:hint");
  return out;
}

struct Config {
  int width = 1920, height = 1080, frames = 48;
  std::vector<std::string> families = default_families();
  std::vector<std::string> qualities = {"fast", "fine"};
  std::string seeds = "tune";
  int long_frames = 0;  // > 0: also a long clip per quality, for peak memory
  // Also the identity cases on real footage.
  bool footage = false;
  // Passed on to every backend started, e.g. --person-model none.
  std::vector<std::string> backend_args;
};
Config gConfig;

struct Result {
  std::string family;
  double fps = 0, session_fps = 0, rss_mib = 0;
  tessel::ClipScore score;
  std::string failure;  // the backend's error when it answered FAILED; scored as an empty matte
};
std::map<std::string, std::map<std::string, Result>> gResults;  // quality -> clip -> result
std::map<std::string, Result> gLong;                            // the long clip, for memory

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

// An empty matte against the truth: what a clip the backend gave up on scores.
tessel::ClipScore empty_matte_score(const std::string& clip, int frames) {
  tessel::ClipScorer scorer;
  for (int i = 0; i < frames; ++i) {
    cv::Mat truth = cv::imread(
        clip + "/" + protocol::kAlphaDir + "/" + protocol::indexed_file_name(i, protocol::kMatteExtension),
        cv::IMREAD_GRAYSCALE);
    scorer.add(cv::Mat::zeros(truth.size(), CV_8U), truth);
  }
  return scorer.result();
}

void session(benchmark::State& state, const std::string& family, int seed, const std::string& quality,
             int frames, bool long_clip) {
  const std::size_t colon = family.find(':');
  const std::string scenario = family.substr(0, colon);
  const std::string selection = colon == std::string::npos ? "box" : family.substr(colon + 1);
  std::string clip = bench_clips::clip_dir(scenario, gConfig.width, gConfig.height, frames, seed);
  Result result;
  result.family = family;
  for (auto _ : state) {
    const bench_session::Outcome session = bench_session::run(
        clip, frames, mattivo_test::clip_request(clip, quality, selection), gConfig.backend_args, "bench");
    if (!session.started) {
      state.SkipWithError(session.error.c_str());
      break;
    }
    const mattivo_test::SessionRun& run = session.run;
    const std::string& work = session.work;
    if (!run.ok && run.refused) {
      // "no person found" and the like: a failed clip, not a failed run.
      state.SetIterationTime(std::max(run.matte_seconds, 1e-3));
      result.failure = run.failure;
      result.score = empty_matte_score(clip, frames);
      result.rss_mib = session.peak_rss_mib;
      mattivo_test::remove_tree(work);
      continue;
    }
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
    result.rss_mib = session.peak_rss_mib;
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
  if (state.error_occurred()) return;
  if (long_clip) {
    gLong[quality + "/" + family + "-" + std::to_string(frames)] = result;
  } else {
    gResults[quality][family + "-" + std::to_string(seed)] = result;
  }
}

// Mean J and F per family (over its seeds) and quality, then over families.
void print_families(std::map<std::string, double>* mean_j, std::map<std::string, double>* mean_f) {
  std::map<std::string, std::map<std::string, std::vector<const Result*>>> by;  // family -> quality -> clips
  for (const auto& [quality, clips] : gResults)
    for (const auto& [name, r] : clips) by[r.family][quality].push_back(&r);
  std::printf("\nper family, %s seeds, %dx%d, %d frames (J / F, mean over seeds; failed clips count 0):\n",
              gConfig.seeds.c_str(), gConfig.width, gConfig.height, gConfig.frames);
  std::printf("  %-22s", "family");
  for (const std::string& q : gConfig.qualities) std::printf("  %-5s J   F     ", q.c_str());
  std::printf("\n");
  std::map<std::string, double> sum_j, sum_f;
  std::map<std::string, int> count;
  for (const std::string& family : gConfig.families) {
    auto it = by.find(family);
    if (it == by.end()) continue;
    std::printf("  %-22s", family.c_str());
    for (const std::string& q : gConfig.qualities) {
      auto clips = it->second.find(q);
      if (clips == it->second.end()) {
        std::printf("  %-17s", "-");
        continue;
      }
      double j = 0, f = 0;
      int failed = 0;
      for (const Result* r : clips->second) j += r->score.j, f += r->score.f, failed += !r->failure.empty();
      const double n = static_cast<double>(clips->second.size());
      std::printf("  %.3f %.3f%s", j / n, f / n, failed ? "*" : " ");
      std::printf("    ");
      sum_j[q] += j / n, sum_f[q] += f / n, ++count[q];
    }
    std::printf("\n");
  }
  std::printf("  %-22s", "MEAN over families");
  for (const std::string& q : gConfig.qualities) {
    if (!count[q]) {
      std::printf("  %-17s", "-");
      continue;
    }
    (*mean_j)[q] = sum_j[q] / count[q], (*mean_f)[q] = sum_f[q] / count[q];
    std::printf("  %.3f %.3f     ", (*mean_j)[q], (*mean_f)[q]);
  }
  std::printf(
      "\n  (* some seeds failed: the backend answered FAILED and the clip scored as an empty matte)\n");
}

void print_summary() {
  // Speed is the whole session's matting time (decode, tracking, PNG encode)
  // over all clips of a quality; scores are means over the clips.
  std::map<std::string, double> mean_j, mean_f, speed;
  double peak = 0;
  for (const auto& [quality, clips] : gResults) {
    double j = 0, f = 0, mae = 0, dt = 0, frames = 0, seconds = 0;
    for (const auto& [name, r] : clips) {
      peak = std::max(peak, r.rss_mib);
      j += r.score.j, f += r.score.f, mae += r.score.mae, dt += r.score.dtssd;
      if (!r.failure.empty()) {
        std::printf("%-5s %-22s FAILED: %-40s J %.4f  F %.4f  MAE %.4f\n", quality.c_str(), name.c_str(),
                    r.failure.c_str(), r.score.j, r.score.f, r.score.mae);
        continue;
      }
      std::printf(
          "%-5s %-22s %6.2f fps (session %5.2f)  J %.4f  F %.4f  MAE %.4f  dtSSD %6.3f  peak %6.1f MiB\n",
          quality.c_str(), name.c_str(), r.fps, r.session_fps, r.score.j, r.score.f, r.score.mae,
          r.score.dtssd, r.rss_mib);
      frames += r.score.frames, seconds += r.score.frames / r.fps;
    }
    double n = static_cast<double>(clips.size());
    if (seconds > 0) speed[quality] = frames / seconds;
    std::printf(
        "%-5s %-22s %6.2f fps                   J %.4f  F %.4f  MAE %.4f  dtSSD %6.3f  (over clips)\n",
        quality.c_str(), "MEAN", seconds > 0 ? frames / seconds : 0.0, j / n, f / n, mae / n, dt / n);
  }
  print_families(&mean_j, &mean_f);
  for (const auto& [name, r] : gLong) {
    std::printf("long  %-22s %6.2f fps (session %5.2f)  peak %6.1f MiB\n", name.c_str(), r.fps, r.session_fps,
                r.rss_mib);
  }
  std::printf("\ntargets at %dx%d (%s seeds; J and F are means over families):\n", gConfig.width,
              gConfig.height, gConfig.seeds.c_str());
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
      gConfig.families = split(argv[++i]);
    else if (a == "--seeds" && has_value)
      gConfig.seeds = argv[++i];
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
  if (gConfig.seeds != "tune" && gConfig.seeds != "held" && gConfig.seeds != "all") {
    std::fprintf(stderr, "bench_backend_suite: --seeds is tune, held or all\n");
    return 2;
  }
  for (const std::string& family : gConfig.families) {
    const std::string scenario = family.substr(0, family.find(':'));
    const std::string selection =
        family.find(':') == std::string::npos ? "box" : family.substr(family.find(':') + 1);
    if (tessel::scenario_seeds(scenario, false).empty() || (selection != "box" && selection != "hint")) {
      std::fprintf(stderr, "bench_backend_suite: unknown family %s\n", family.c_str());
      return 2;
    }
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  for (const std::string& q : gConfig.qualities) {
    for (const std::string& family : gConfig.families) {
      const std::string scenario = family.substr(0, family.find(':'));
      std::vector<std::uint64_t> seeds;
      if (gConfig.seeds != "held") seeds = tessel::scenario_seeds(scenario, false);
      if (gConfig.seeds != "tune")
        for (std::uint64_t s : tessel::scenario_seeds(scenario, true)) seeds.push_back(s);
      for (std::uint64_t seed : seeds) {
        benchmark::RegisterBenchmark(("Session/" + q + "/" + family + "/" + std::to_string(seed)).c_str(),
                                     session, family, static_cast<int>(seed), q, gConfig.frames, false)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
      }
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
