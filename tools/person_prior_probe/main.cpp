// mattivo-person-prior-probe: runs the person segmentation model on a crop of
// an image (or the first frame of a video) and writes P(person) as a PNG.
#include "person/person_net.h"
#include "person/tflite_model.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: mattivo-person-prior-probe MODEL.tflite IMAGE|VIDEO OUT.png [--crop X,Y,W,H]\n"
    "                                  [--frame N] [--threads N] [--runs N]\n"
    "Writes P(person) of the crop (the whole frame by default) as an 8-bit PNG\n"
    "and prints the median inference time over --runs (default 20).\n";

cv::Mat read_frame(const std::string& path, int frame) {
  cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
  if (!img.empty()) return img;
  cv::VideoCapture cap(path);
  for (int i = 0; cap.isOpened() && i <= frame; ++i) cap.read(img);
  return img;
}

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int run(int argc, char** argv) {
  if (argc < 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  cv::Rect crop;
  int frame = 0, threads = 1, runs = 20;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--crop")) {
      if (std::sscanf(argv[i + 1], "%d,%d,%d,%d", &crop.x, &crop.y, &crop.width, &crop.height) != 4) return 2;
    } else if (!std::strcmp(argv[i], "--frame")) {
      frame = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--threads")) {
      threads = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--runs")) {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  cv::setNumThreads(threads);
  const prior::Model model = prior::load_tflite(argv[1]);
  cv::dnn::Net net = prior::build_net(model);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  cv::Mat img = read_frame(argv[2], frame);
  if (img.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  if (crop.area() == 0) crop = cv::Rect(0, 0, img.cols, img.rows);
  crop &= cv::Rect(0, 0, img.cols, img.rows);
  const cv::Mat bgr = img(crop).clone();

  const cv::Size in = prior::input_size(model);
  cv::Mat prob = prior::person_probability(net, in, bgr);  // the first run allocates; not timed
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    prob = prior::person_probability(net, in, bgr);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  cv::Mat out;
  prob.convertTo(out, CV_8U, 255.0);
  cv::imwrite(argv[3], out);
  std::printf("crop %dx%d at %d,%d  net %dx%d  threads %d  median %.2f ms  (min %.2f)  mean P %.3f\n",
              crop.width, crop.height, crop.x, crop.y, in.width, in.height, threads, median_ms(ms),
              *std::min_element(ms.begin(), ms.end()), cv::mean(prob)[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mattivo-person-prior-probe: %s\n", e.what());
    return 1;
  }
}
