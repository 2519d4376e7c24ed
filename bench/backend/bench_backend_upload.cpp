// Frame uploads as the plug-in sends them: one connection, one PUT after the
// other, 500 KB JPEG bodies, into a mattivo-backend child process.
#include "backend_process.h"
#include "plugin_client.h"

#include "clipgen/clipgen.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>

namespace {

// A 1080p frame of a generated clip, encoded at the quality that brings it
// closest to 500 KB.
std::string frame_of_500kb() {
  tessel::ClipSpec spec;
  spec.width = 1920;
  spec.height = 1080;
  tessel::ClipGenerator gen(spec);
  cv::Mat bgr, alpha;
  gen.render(0, &bgr, &alpha);
  std::vector<unsigned char> best;
  for (int q = 80; q <= 100; ++q) {
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, q});
    if (best.empty() || std::abs(static_cast<long>(jpeg.size()) - 500000) < std::abs(static_cast<long>(best.size()) - 500000)) {
      best = jpeg;
    }
  }
  return std::string(best.begin(), best.end());
}

void SequentialUploads(benchmark::State& state) {
  std::string work = mattivo_test::make_temp_dir("bench-upload");
  mattivo_test::BackendProcess backend;
  std::string error;
  if (!backend.start({"--data-dir", work + "/data", "--max-frames", "100000"}, work + "/backend.log", &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  mattivo_test::PluginClient client;
  mattivo_test::Reply created =
      client.post_json(backend.base_url() + "/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})");
  std::string id = nlohmann::json::parse(created.body, nullptr, false).value("session_id", "");
  const std::string url = backend.base_url() + "/api/matte/sessions/" + id + "/frames/";
  const std::string frame = frame_of_500kb();
  int i = 0;
  for (auto _ : state) {
    // Indices wrap so the disk use stays put: a re-upload replaces a frame.
    mattivo_test::Reply r = client.put_bytes(url + std::to_string(i++ % 500), frame);
    if (r.code != 200) {
      state.SkipWithError(("upload refused: " + r.body).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
  state.counters["frame_KB"] = frame.size() / 1000.0;
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  backend.stop();
  mattivo_test::remove_tree(work);
}
BENCHMARK(SequentialUploads)->MinTime(3.0)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
