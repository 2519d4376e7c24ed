// Colour models of the character and its surroundings.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace tessel {
namespace {

constexpr int kBins = 4096;

inline int bin_of(const uchar* p) { return ((p[0] >> 4) << 8) | ((p[1] >> 4) << 4) | (p[2] >> 4); }

// Normalised histogram of the pixels under the mask, spread a little over
// neighbouring bins so that unseen shades of a seen colour do not read as zero.
cv::Mat histogram(const cv::Mat& bgr, const cv::Mat& mask) {
  cv::Mat hist = cv::Mat::zeros(1, kBins, CV_32F);
  float* h = hist.ptr<float>();
  double total = 0;
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* p = bgr.ptr<uchar>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x, p += 3) {
      if (!m[x]) continue;
      h[bin_of(p)] += 1.f;
      total += 1;
    }
  }
  if (total == 0) return cv::Mat();
  // 3D smoothing as three 1D passes over the bin cube.
  cv::Mat cube = hist;
  cv::Mat tmp = hist.clone();
  const float k[3] = {0.25f, 0.5f, 0.25f};
  for (int axis = 0; axis < 3; ++axis) {
    const float* src = cube.ptr<float>();
    float* dst = tmp.ptr<float>();
    int stride = axis == 0 ? 256 : axis == 1 ? 16 : 1;
    for (int i = 0; i < kBins; ++i) {
      int c = (i / stride) % 16;
      float v = k[1] * src[i];
      v += k[0] * src[c > 0 ? i - stride : i];
      v += k[2] * src[c < 15 ? i + stride : i];
      dst[i] = v;
    }
    std::swap(cube, tmp);
  }
  cube /= cv::sum(cube)[0];
  return cube;
}

}  // namespace

void colour_learn(ColourModel* model, const cv::Mat& bgr, const cv::Mat& fg_mask,
                  const cv::Mat& bg_mask, float rate) {
  cv::Mat fg = histogram(bgr, fg_mask);
  cv::Mat bg = histogram(bgr, bg_mask);
  if (!model->ready || model->fg.empty() || model->bg.empty()) {
    if (fg.empty() || bg.empty()) return;
    model->fg = fg;
    model->bg = bg;
    model->ready = true;
    return;
  }
  if (!fg.empty()) cv::addWeighted(model->fg, 1.0 - rate, fg, rate, 0.0, model->fg);
  if (!bg.empty()) cv::addWeighted(model->bg, 1.0 - rate, bg, rate, 0.0, model->bg);
}

cv::Mat colour_log_ratio(const ColourModel& model, const cv::Mat& bgr, float limit) {
  cv::Mat out(bgr.size(), CV_32F, cv::Scalar(0));
  if (!model.ready) return out;
  // One table lookup per pixel; the floor keeps empty bins from dominating.
  float table[kBins];
  const float* fg = model.fg.ptr<float>();
  const float* bg = model.bg.ptr<float>();
  const float floor = 0.05f / kBins;
  for (int i = 0; i < kBins; ++i) {
    float v = std::log((fg[i] + floor) / (bg[i] + floor));
    table[i] = v < -limit ? -limit : v > limit ? limit : v;
  }
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* p = bgr.ptr<uchar>(y);
    float* o = out.ptr<float>(y);
    for (int x = 0; x < bgr.cols; ++x, p += 3) o[x] = table[bin_of(p)];
  }
  return out;
}

}  // namespace tessel
