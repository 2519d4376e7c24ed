// Frame uploads as the plug-in sends them: one connection, one PUT after the
// other, 500 KB JPEG bodies, into a mattivo-backend child process.
#include "testing/backend_process.h"
#include "testing/plugin_client.h"

#include "clipgen/clipgen.h"
#include "protocol/api.h"
#include "protocol/json_text.h"

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
    if (best.empty() || std::abs(static_cast<long>(jpeg.size()) - 500000) <
                            std::abs(static_cast<long>(best.size()) - 500000)) {
      best = jpeg;
    }
  }
  return std::string(best.begin(), best.end());
}

void SequentialUploads(benchmark::State& state) {
  std::string work = mattivo_test::make_temp_dir("bench-upload");
  tessel::BackendProcess backend;
  std::string error;
  if (!mattivo_test::start_backend({"--data-dir", work + "/data", "--max-frames", "100000"},
                                   work + "/backend.log", &backend, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  mattivo_test::PluginClient client;
  mattivo_test::Reply created =
      client.post_json(protocol::sessions_url(backend.url), protocol::create_body(24.0));
  std::string id = protocol::text_member(protocol::parse_answer(created.body), protocol::key::kSessionId, "");
  const std::string session = protocol::session_url(backend.url, id);
  const std::string frame = frame_of_500kb();
  int i = 0;
  for (auto _ : state) {
    // Indices wrap so the disk use stays put: a re-upload replaces a frame.
    mattivo_test::Reply r = client.put_bytes(protocol::frame_url(session, i++ % 500), frame);
    if (r.code != 200) {
      state.SkipWithError(("upload refused: " + r.body).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
  state.counters["frame_KB"] = frame.size() / 1000.0;
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  tessel::stop_backend(&backend, false, 60);
  mattivo_test::remove_tree(work);
}
BENCHMARK(SequentialUploads)->MinTime(3.0)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
