// Conversion of one host frame into the byte image sent to the backend: the
// part of the grab that runs on the host's thread for every frame.
#include <benchmark/benchmark.h>

#include <vector>

#include "plugin/frame_convert.h"
#include "plugin/frame_digest.h"

namespace {

void convert(benchmark::State& state, int w, int h, bool is_float) {
  const int stride = w * 4 * (is_float ? 4 : 1);
  std::vector<unsigned char> storage(static_cast<size_t>(stride) * h);
  for (size_t i = 0; i < storage.size(); ++i) {
    storage[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
  }
  if (is_float) {
    auto* f = reinterpret_cast<float*>(storage.data());
    for (size_t i = 0; i < storage.size() / 4; ++i) {
      f[i] = static_cast<float>(i % 1000) / 900.0f - 0.05f;
    }
  }
  HostImageView view;
  view.data = storage.data();
  view.bounds = {0, 0, w, h};
  view.row_bytes = stride;
  view.is_float = is_float;
  ByteImage out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(convert_frame(view, &out));
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::to_string(out.width) + "x" + std::to_string(out.height));
}

void BM_Convert1080pBytes(benchmark::State& s) { convert(s, 1920, 1080, false); }
void BM_Convert2160pFloat(benchmark::State& s) { convert(s, 3840, 2160, true); }
void BM_Convert1080pFloat(benchmark::State& s) { convert(s, 1920, 1080, true); }
void BM_Convert2160pBytes(benchmark::State& s) { convert(s, 3840, 2160, false); }

// What telling an unchanged frame from a changed one costs on top of the grab.
void BM_Digest1080p(benchmark::State& state) {
  ByteImage image;
  image.width = 1920;
  image.height = 1080;
  image.pixels.resize(size_t(1920) * 1080 * 4);
  for (size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = static_cast<unsigned char>(i * 31 + (i >> 9));
  for (auto _ : state) benchmark::DoNotOptimize(frame_digest(image));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(image.pixels.size()));
}
BENCHMARK(BM_Digest1080p)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Convert1080pBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert1080pFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert2160pBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert2160pFloat)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
