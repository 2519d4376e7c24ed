// Colour models of the character and its surroundings.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace tessel {
namespace {

constexpr int kBins = 4096;

inline int bin_of(const uchar* p) { return ((p[0] >> 4) << 8) | ((p[1] >> 4) << 4) | (p[2] >> 4); }

// Normalised histogram of the pixels under the mask; empty when it covers none.
cv::Mat counts(const cv::Mat& bgr, const cv::Mat& mask) {
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
  return hist / total;
}

// The histogram spread a little over neighbouring bins, so that unseen shades
// of a seen colour do not read as zero: 3D smoothing as three 1D passes.
cv::Mat spread(const cv::Mat& hist) {
  if (hist.empty()) return hist;
  cv::Mat cube = hist.clone(), tmp = hist.clone();
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

void blend(cv::Mat* model, const cv::Mat& fresh, float rate) {
  if (!fresh.empty()) cv::addWeighted(*model, 1.0 - rate, fresh, rate, 0.0, *model);
}

}  // namespace

void colour_learn(ColourModel* model, const cv::Mat& bgr, const cv::Mat& fg_mask, const cv::Mat& bg_mask,
                  float rate) {
  cv::Mat fg = counts(bgr, fg_mask);
  cv::Mat bg = counts(bgr, bg_mask);
  if (!model->ready || model->fg.empty() || model->bg.empty()) {
    if (fg.empty() || bg.empty()) return;
    model->fg = spread(fg);
    model->bg = spread(bg);
    model->fg_exact = fg;
    model->bg_exact = bg;
    model->ready = true;
    return;
  }
  blend(&model->fg, spread(fg), rate);
  blend(&model->bg, spread(bg), rate);
  blend(&model->fg_exact, fg, rate);
  blend(&model->bg_exact, bg, rate);
}

cv::Mat colour_log_ratio(const ColourModel& model, const cv::Mat& bgr, float limit, bool exact) {
  cv::Mat out(bgr.size(), CV_32F, cv::Scalar(0));
  if (!model.ready) return out;
  // One table lookup per pixel; the floor keeps empty bins from dominating.
  float table[kBins];
  exact = exact && !model.fg_exact.empty() && !model.bg_exact.empty();
  const float* fg = (exact ? model.fg_exact : model.fg).ptr<float>();
  const float* bg = (exact ? model.bg_exact : model.bg).ptr<float>();
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
