// One model per process, loaded when first wanted; one net per thread, since
// an OpenCV dnn net must not run two forward passes at once.
#include "person_prior.h"

#include "person_net.h"
#include "tflite_model.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>

namespace tessel {
namespace {

struct Loaded {
  std::string path = MATTIVO_PERSON_MODEL;
  bool tried = false;
  std::shared_ptr<const prior::Model> model;
  std::string status;
};

std::mutex gMutex;
Loaded gLoaded;

std::shared_ptr<const prior::Model> current_model() {
  std::lock_guard<std::mutex> lock(gMutex);
  Loaded& l = gLoaded;
  if (l.tried) return l.model;
  l.tried = true;
  if (l.path.empty()) {
    l.status = "person prior: off";
    return nullptr;
  }
  if (!std::filesystem::exists(l.path)) {
    l.status = "person prior: off (no model at " + l.path + "; tools/deps/fetch_person_model.sh fetches it)";
    return nullptr;
  }
  try {
    auto model = std::make_shared<prior::Model>(prior::load_tflite(l.path));
    prior::build_net(*model);  // refuses a model we cannot translate, now rather than mid-job
    l.model = model;
    l.status = "person prior: " + l.path;
  } catch (const std::exception& e) {
    l.status = "person prior: off (" + l.path + ": " + e.what() + ")";
  }
  return l.model;
}

// The thread's net, rebuilt when the process switched models.
struct ThreadNet {
  std::shared_ptr<const prior::Model> model;
  cv::dnn::Net net;
  cv::Size input;
};

ThreadNet* thread_net() {
  thread_local ThreadNet t;
  std::shared_ptr<const prior::Model> model = current_model();
  if (!model) return nullptr;
  if (t.model != model) {
    t.net = prior::build_net(*model);
    t.net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    t.net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    t.input = prior::input_size(*model);
    t.model = model;
  }
  return &t;
}

}  // namespace

void person_prior_use(const std::string& model_path) {
  std::lock_guard<std::mutex> lock(gMutex);
  gLoaded = Loaded{};
  gLoaded.path = model_path;
}

bool person_prior_ready() { return current_model() != nullptr; }

std::string person_prior_status() {
  current_model();
  std::lock_guard<std::mutex> lock(gMutex);
  return gLoaded.status;
}

cv::Rect square_crop(cv::Rect around, double grow) {
  const int side =
      std::max(4, static_cast<int>(std::lround(std::max(around.width, around.height) * (1 + grow))));
  return cv::Rect(around.x + around.width / 2 - side / 2, around.y + around.height / 2 - side / 2, side,
                  side);
}

cv::Mat person_probability(const cv::Mat& bgr, cv::Rect around, double grow) {
  CV_Assert(bgr.type() == CV_8UC3);
  around &= cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (around.area() == 0) return cv::Mat();
  ThreadNet* t = thread_net();
  if (!t) return cv::Mat();
  const cv::Rect square = square_crop(around, grow);
  const cv::Rect inside = square & cv::Rect(0, 0, bgr.cols, bgr.rows);
  cv::Mat crop;
  cv::copyMakeBorder(bgr(inside), crop, inside.y - square.y, square.br().y - inside.br().y,
                     inside.x - square.x, square.br().x - inside.br().x, cv::BORDER_REPLICATE);
  cv::Mat p = prior::person_probability(t->net, t->input, crop);
  cv::Mat out = cv::Mat::zeros(bgr.size(), CV_32F);
  p(cv::Rect(inside.x - square.x, inside.y - square.y, inside.width, inside.height)).copyTo(out(inside));
  return out;
}

}  // namespace tessel
