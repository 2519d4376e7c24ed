// P(person) of one crop: resize to the model's input, the dnn forward pass and
// the resize back, per model and OpenCV thread count.
#include "person/person_net.h"
#include "person/tflite_model.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>

namespace {

std::string model_path(bool landscape) {
  const std::filesystem::path square = MATTIVO_PERSON_MODEL;
  return landscape ? (square.parent_path() / "selfie_segmentation_landscape.tflite").string() : square.string();
}

// Args: landscape model (0/1), OpenCV threads, crop side in pixels.
void PersonProbability(benchmark::State& state) {
  const prior::Model model = prior::load_tflite(model_path(state.range(0) != 0));
  cv::dnn::Net net = prior::build_net(model);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  const int side = static_cast<int>(state.range(2));
  cv::Mat crop(side, side, CV_8UC3);
  cv::randu(crop, 0, 256);
  cv::GaussianBlur(crop, crop, cv::Size(0, 0), 4);
  const int saved = cv::getNumThreads();
  cv::setNumThreads(static_cast<int>(state.range(1)));
  prior::person_probability(net, prior::input_size(model), crop);  // allocations happen here
  for (auto _ : state) benchmark::DoNotOptimize(prior::person_probability(net, prior::input_size(model), crop));
  cv::setNumThreads(saved);
}
BENCHMARK(PersonProbability)
    ->ArgNames({"landscape", "threads", "crop"})
    ->ArgsProduct({{0, 1}, {1, 2}, {256, 512}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
