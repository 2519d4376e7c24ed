// Codec hot paths at 1080p: decoding a matte PNG on a cache miss, encoding a
// grabbed frame as JPEG.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/image_io.h"
#include "testing/pictures.h"
#include "testing/png_testing.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

std::vector<unsigned char> photo_frame() {
  std::vector<unsigned char> rgba(static_cast<size_t>(kW) * kH * 4);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      unsigned char* p = &rgba[(static_cast<size_t>(y) * kW + x) * 4];
      p[0] = static_cast<unsigned char>(128 + 100 * std::sin(x * 0.01 + y * 0.003));
      p[1] = static_cast<unsigned char>((x * 3 + y) & 0xFF);
      p[2] = static_cast<unsigned char>(90 + ((x ^ y) & 31));
      p[3] = 255;
    }
  }
  return rgba;
}

void BM_LoadGray1080p(benchmark::State& state) {
  char dir[] = "/tmp/mattivo_bench_XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string path = std::string(dir) + "/000000.png";
  if (!testing_png::write_png(path, kW, kH, 1, testing_pictures::ellipse_matte(kW, kH))) {
    state.SkipWithError("cannot write the matte");
    return;
  }
  for (auto _ : state) {
    int w = 0, h = 0;
    auto values = tessel::load_gray(path, &w, &h);
    benchmark::DoNotOptimize(values.data());
  }
  std::system((std::string("rm -rf ") + dir).c_str());
}
BENCHMARK(BM_LoadGray1080p)->Unit(benchmark::kMillisecond);

void BM_RgbaToJpeg1080p(benchmark::State& state) {
  const auto frame = photo_frame();
  size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = tessel::rgba_to_jpeg(frame.data(), kW, kH, 92);
    bytes = jpeg.size();
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RgbaToJpeg1080p)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
