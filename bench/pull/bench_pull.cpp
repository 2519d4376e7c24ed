// A pull through the plug-in's C interface, timed per frame:
//  - Launch: how long the button press blocks the host's thread (grab,
//    conversion, JPEG encoding and file writes), less the time the host
//    itself spends handing out each frame;
//  - Session: the worker's network phases against a loopback backend that
//    answers at once (upload, start, one poll, download), less the poll pause.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "ofxhost/ofx_host.h"
#include "pull_bench_kit.h"
#include "testing/host_frames.h"
#include "testing/http_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Backend {
  testnet::TestServer server;
  std::string matte = std::string(60000, 'm');
  explicit Backend(bool refuse_create) {
    server.on("POST", "/api/beacon",
              [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    server.on("POST", "/api/matte/sessions",
              [refuse_create](const httplib::Request&, httplib::Response& res) {
                // A refused create ends the pull as soon as the launch is done.
                res.status = refuse_create ? 500 : 201;
                res.set_content(R"({"session_id":"bench"})", "application/json");
              });
    server.on("PUT", R"(/api/matte/sessions/bench/frames/\d+)",
              [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    server.on("POST", "/api/matte/sessions/bench/start", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"status":"RUNNING"})", "application/json");
    });
    server.on(
        "GET", R"(/api/matte/sessions/bench/alpha/\d+\.png)",
        [this](const httplib::Request&, httplib::Response& res) { res.set_content(matte, "image/png"); });
    server.on("GET", "/api/matte/sessions/bench", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"status":"COMPLETED"})", "application/json");
    });
    server.start();
  }
};

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

long long thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

bool wait_for_end(ofxhost::Instance& inst) {
  const auto end = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < end) {
    const std::string s = inst.get_string("status");
    if (s.rfind("ready: ", 0) == 0 || s.rfind("failed: ", 0) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

// Presses until the plug-in takes the press (the previous pull has let go).
void press(ofxhost::Plugin& plugin, ofxhost::Instance& inst) {
  for (int i = 0; i < 1000; ++i) {
    plugin.clear_messages();
    inst.press("pull_alpha");
    bool busy = false;
    for (const ofxhost::Message& m : plugin.messages()) {
      busy |= m.text == "Corvane: a matte is already being pulled.";
    }
    if (!busy) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void launch(benchmark::State& state, int w, int h, const std::string& depth, int frames) {
  pull_bench::Scratch scratch;
  Backend backend(true);
  auto plugin = ofxhost::Plugin::load(MATTIVO_BUNDLE_DIR);
  auto inst = plugin->create_instance(nullptr, {{"backend_url", ""}});
  const ofxhost::Image source = pull_bench::noisy_frame(w, h, depth);
  std::atomic<long long> host_ns{0};      // wall time spent handing out frames
  std::atomic<long long> host_cpu_ns{0};  // and its CPU time
  inst->set_frame_range(0, frames - 1);
  inst->set_pixel_depth(depth);
  inst->set_source([&](double) -> std::optional<ofxhost::Image> {
    const auto start = Clock::now();
    const long long cpu_start = thread_cpu_ns();
    ofxhost::Image copy = source;
    host_cpu_ns += thread_cpu_ns() - cpu_start;
    host_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return copy;
  });
  inst->set_string("backend_url", backend.server.url());

  double cpu_total = 0;
  double grabber_total = 0;
  int pulls = 0;
  for (auto _ : state) {
    ++pulls;
    host_ns = 0;
    host_cpu_ns = 0;
    const double cpu_start = process_cpu_seconds();
    const long long thread_start = thread_cpu_ns();
    const auto start = Clock::now();
    press(*plugin, *inst);
    const auto blocked = Clock::now() - start;
    cpu_total += process_cpu_seconds() - cpu_start - host_cpu_ns * 1e-9;
    grabber_total += (thread_cpu_ns() - thread_start - host_cpu_ns) * 1e-9;
    // The host thread's own work (grab and conversion): the floor of the
    // blocked time when the encoders keep up.
    state.counters["grab_cpu_ms_per_frame"] = grabber_total * 1e3 / frames / (pulls);
    state.SetIterationTime((std::chrono::duration<double>(blocked).count() - host_ns * 1e-9) / frames);
    state.counters["host_fetch_ms_per_frame"] = host_ns * 1e-6 / frames;
    // CPU of every thread of ours (grabber and encoders): what the wall time
    // shrinks to on an idle machine, divided over its cores.
    state.counters["cpu_ms_per_frame"] = cpu_total * 1e3 / frames / pulls;
    wait_for_end(*inst);
    std::filesystem::remove_all(scratch.dir + "/corvane");
  }
}

void BM_LaunchPerFrame1080pBytes(benchmark::State& s) { launch(s, 1920, 1080, kOfxBitDepthByte, 24); }
void BM_LaunchPerFrame2160pFloat(benchmark::State& s) { launch(s, 3840, 2160, kOfxBitDepthFloat, 8); }

// Frames of w x h and mattes of matte_bytes: tiny ones leave only the
// per-frame overhead of the protocol, the files and the status writes.
void session(benchmark::State& state, int w, int h, size_t matte_bytes) {
  constexpr int kFrames = 48;
  constexpr double kPollPause = 0.020;  // the test build's poll interval
  pull_bench::Scratch scratch;
  Backend backend(false);
  backend.matte.assign(matte_bytes, 'm');
  auto plugin = ofxhost::Plugin::load(MATTIVO_PULL_TEST_PLUGIN);
  auto inst = plugin->create_instance(nullptr, {{"backend_url", ""}});
  const ofxhost::Image source = pull_bench::noisy_frame(w, h, kOfxBitDepthByte);
  inst->set_frame_range(0, kFrames - 1);
  inst->set_source([&](double) -> std::optional<ofxhost::Image> { return source; });
  inst->set_string("backend_url", backend.server.url());

  double cpu_total = 0;
  int pulls = 0;
  for (auto _ : state) {
    ++pulls;
    inst->set_string("status", "idle");
    press(*plugin, *inst);
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    wait_for_end(*inst);
    const double worker = std::chrono::duration<double>(Clock::now() - start).count();
    cpu_total += process_cpu_seconds() - cpu_start;
    state.SetIterationTime((worker - kPollPause) / kFrames);
    // Both ends of the loopback run in this process: client and server CPU together.
    state.counters["cpu_ms_per_frame"] = cpu_total * 1e3 / kFrames / pulls;
    std::filesystem::remove_all(scratch.dir + "/corvane");
  }
  state.counters["connections"] = 0;
  int first_port = -1;
  for (const testnet::Recorded& r : backend.server.requests()) {
    if (r.path.rfind("/api/matte/", 0) == 0 && r.remote_port != first_port) {
      first_port = r.remote_port;
      state.counters["connections"] += 1;
    }
  }
  state.counters["connections"] /= static_cast<double>(state.iterations());
}

BENCHMARK(BM_LaunchPerFrame1080pBytes)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LaunchPerFrame2160pFloat)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
void BM_SessionPerFrame1080p(benchmark::State& s) { session(s, 1920, 1080, 60000); }
void BM_SessionPerFrameTiny(benchmark::State& s) { session(s, 32, 18, 100); }

BENCHMARK(BM_SessionPerFrame1080p)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SessionPerFrameTiny)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  // A host keeps its frames in memory it has touched before: heap memory is
  // kept and reused, so a frame's copy is not charged a fresh page fault per page.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
