// How long after the button press tracking starts (the backend receives the
// start request), for a first pull and for a second pull of the same clip
// with a correction, on a 1000-frame 1080p clip: the first grabs, encodes and
// uploads every frame; the second grabs and digests them, finds them
// unchanged and only starts the session again. The network phases run
// against a loopback backend that answers at once; after the start the pull
// is let finish (one poll, tiny mattes) before the next.
//
//   build/bench/pull/bench_second_pull                      # 1000 frames, about a minute
//   build/bench/pull/bench_second_pull --frames 200         # quicker
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ofxhost/ofx_host.h"
#include "pull_bench_kit.h"
#include "testing/host_frames.h"
#include "testing/http_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

int gFrames = 1000;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kDistinctFrames = 8;  // cycled, so the clip does not take 8 GB of memory

struct Backend {
  testnet::TestServer server;
  std::atomic<long long> started_at{0};  // steady-clock ns of the last start request
  std::atomic<int> uploads{0};
  std::atomic<int> sessions{0};
  Backend() {
    server.on("POST", "/api/beacon",
              [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    server.on("POST", "/api/matte/sessions", [this](const httplib::Request&, httplib::Response& res) {
      res.status = 201;
      res.set_content(R"({"session_id":"bench-)" + std::to_string(++sessions) + "\"}", "application/json");
    });
    server.on("PUT", R"(/api/matte/sessions/[^/]+/frames/\d+)",
              [this](const httplib::Request&, httplib::Response& res) {
                ++uploads;
                res.status = 200;
              });
    server.on("POST", R"(/api/matte/sessions/[^/]+/start)",
              [this](const httplib::Request&, httplib::Response& res) {
                started_at = Clock::now().time_since_epoch().count();
                res.set_content(R"({"status":"QUEUED"})", "application/json");
              });
    server.on("GET", R"(/api/matte/sessions/[^/]+/alpha/\d+\.png)",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("m", "image/png"); });
    server.on("GET", R"(/api/matte/sessions/[^/]+)", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"status":"COMPLETED"})", "application/json");
    });
    server.start();
  }
};

bool wait_for_end(ofxhost::Instance& inst) {
  const auto end = Clock::now() + std::chrono::seconds(600);
  while (Clock::now() < end) {
    const std::string s = inst.get_string("status");
    if (s.rfind("ready: ", 0) == 0 || s.rfind("failed: ", 0) == 0) return s.rfind("ready: ", 0) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// One pull, pressed on frame 0; the seconds from the press to the start
// request and those the press held the host's thread.
struct Timing {
  double to_start = 0;
  double blocked = 0;
  bool ok = false;
};

Timing one_pull(ofxhost::Instance& inst, Backend& backend) {
  inst.set_string("status", "idle");
  backend.started_at = 0;
  const auto pressed = Clock::now();
  inst.press("pull_alpha", 0.0);
  const auto returned = Clock::now();
  Timing t;
  t.ok = wait_for_end(inst);
  t.blocked = std::chrono::duration<double>(returned - pressed).count();
  const long long started = backend.started_at.load();
  t.to_start = started > 0 ? (started - pressed.time_since_epoch().count()) * 1e-9 : 0;
  return t;
}

// second: 0 times full pulls (each with a fresh instance state), 1 times
// correction rounds that follow one full pull.
void BM_TimeToTrackingStart(benchmark::State& state) {
  const bool second = state.range(0) == 1;
  pull_bench::Scratch scratch;
  Backend backend;
  auto plugin = ofxhost::Plugin::load(MATTIVO_PULL_TEST_PLUGIN);
  auto inst = plugin->create_instance(nullptr, {{"backend_url", ""}});
  std::vector<ofxhost::Image> frames;
  for (int i = 0; i < kDistinctFrames; ++i)
    frames.push_back(pull_bench::noisy_frame(kWidth, kHeight, kOfxBitDepthByte, i));
  inst->set_project(kWidth, kHeight);
  inst->set_frame_range(0, gFrames - 1);
  inst->set_frame_rate(25);
  // Wall time the host spends handing frames over: the floor of a second pull.
  std::atomic<long long> host_ns{0};
  inst->set_source([&](double t) -> std::optional<ofxhost::Image> {
    const auto start = Clock::now();
    ofxhost::Image copy = frames[static_cast<size_t>(std::lround(t)) % frames.size()];
    host_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return copy;
  });
  inst->set_string("backend_url", backend.server.url());
  inst->set_string("bbox_json", R"({"h":0.6,"w":0.3,"x":0.35,"y":0.2})");
  if (second && !one_pull(*inst, backend).ok) {
    state.SkipWithError("the first pull failed");
    return;
  }
  double blocked = 0;
  int uploads = 0;
  host_ns = 0;
  for (auto _ : state) {
    if (!second) {
      // As if the instance had never pulled: nothing to build on.
      inst->set_string("session_id", "");
      std::filesystem::remove_all(scratch.dir + "/corvane");
    } else {
      // A correction on another frame each round.
      const int frame = 10 + static_cast<int>(state.iterations()) * 7 % (gFrames - 10);
      inst->set_string("frame_marks", R"({"editing":0,"frames":{")" + std::to_string(frame) +
                                          R"(":{"strokes":[[0.5,0.5,-0.03]]}}})");
    }
    const int uploads_before = backend.uploads;
    const Timing t = one_pull(*inst, backend);
    if (!t.ok || t.to_start <= 0) {
      state.SkipWithError("the pull failed");
      return;
    }
    state.SetIterationTime(t.to_start);
    blocked += t.blocked;
    uploads += backend.uploads - uploads_before;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["frames"] = gFrames;
  state.counters["host_blocked_s"] = blocked / n;
  state.counters["uploads"] = uploads / n;
  state.counters["host_fetch_s"] = host_ns * 1e-9 / n;
}

BENCHMARK(BM_TimeToTrackingStart)
    ->ArgName("second")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  // Our own option first; Google Benchmark refuses what it does not know.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      gFrames = std::max(20, std::atoi(argv[++i]));
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  // Frames handed over by a host come from memory it has touched before.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
