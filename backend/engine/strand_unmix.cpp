// Hair unmixing: where a pixel lies between a strand's colour and the
// background's behind it. Only the part of the picture asked for is worked:
// on a close-up the outline's hair is a small share of a large window.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

// Sums over `window` of the rows and columns of `m` within `r`, as floats.
// The filter reads the neighbours beyond `r` from `m` itself (and mirrors at
// its edges as for the whole picture), and sums floats in double and bytes in
// integers: the sums are those of the whole-picture filter. Counts of 0/1
// bytes are exact, and cheaper than of 0/1 floats.
cv::Mat window_sum(const cv::Mat& m, cv::Rect r, cv::Size window) {
  cv::Mat out;
  cv::boxFilter(m(r), out, CV_32F, window, cv::Point(-1, -1), false);
  return out;
}

// A clear strand: the strands' colours say so, where there is hair.
inline bool is_strand(float lr, float hair) { return lr > 2.0f && hair > 0.3f; }

// The mean colour (0..1) of the clear strands over the whole picture, or -1s
// when there are too few: the same whatever part of it is worked.
cv::Vec3f mean_strand(const cv::Mat& bgr, const cv::Mat& strand_lr, const cv::Mat& hair) {
  cv::Vec3d sum;
  long count = 0;
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
    const float* lr = strand_lr.ptr<float>(y);
    const float* h = hair.ptr<float>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      if (!is_strand(lr[x], h[x])) continue;
      sum += cv::Vec3d(p[x][0], p[x][1], p[x][2]);
      ++count;
    }
  }
  if (count < 3) return cv::Vec3f(-1.f, -1.f, -1.f);
  return cv::Vec3f(sum / (255.0 * static_cast<double>(count)));
}

}  // namespace

int strand_window(double unit) { return std::max(2, static_cast<int>(std::lround(12 * unit))); }

cv::Mat unmix_strands(const cv::Mat& bgr, const cv::Mat& strand_lr, const cv::Mat& hair, double unit,
                      cv::Rect wanted, bool from_afar) {
  cv::Mat out(bgr.size(), CV_32F, cv::Scalar(-1));
  wanted &= cv::Rect(cv::Point(), bgr.size());
  if (wanted.area() == 0) return out;
  const int half = strand_window(unit);
  const cv::Size window(2 * half + 1, 2 * half + 1);
  // Loose strands out from the hair's mass have no clear strand pixel near
  // them, only background and strands mixed into it: their strand colour is
  // taken from a wider window, else from all of the hair; the background's
  // still from nearby.
  const int wide_half = from_afar ? kWideStrandWindow * half : half;
  const cv::Size wide(2 * wide_half + 1, 2 * wide_half + 1);
  // The coverage in `wanted` takes the strands' samples around it, and each
  // of those the background's around it in turn.
  const cv::Rect strands = grown(wanted, wide_half, bgr.size());
  const cv::Rect backs = grown(strands, half, bgr.size());
  const cv::Vec3f overall = from_afar ? mean_strand(bgr, strand_lr, hair) : cv::Vec3f();
  // Background samples (by the strands' colours) and their colours, 0..1.
  cv::Mat img(bgr.size(), CV_32FC3), is_bg(bgr.size(), CV_8U), picked(bgr.size(), CV_32FC3);
  bgr(backs).convertTo(img(backs), CV_32FC3, 1.0 / 255);
  for (int y = backs.y; y < backs.br().y; ++y) {
    const float* lr = strand_lr.ptr<float>(y);
    const cv::Vec3f* im = img.ptr<cv::Vec3f>(y);
    uchar* w = is_bg.ptr<uchar>(y);
    cv::Vec3f* p = picked.ptr<cv::Vec3f>(y);
    for (int x = backs.x; x < backs.br().x; ++x) {
      w[x] = lr[x] < -1.0f;
      p[x] = w[x] ? im[x] : cv::Vec3f();
    }
  }
  const cv::Mat bsum = window_sum(picked, strands, window), bcount = window_sum(is_bg, strands, window);
  // Strand samples include strands that cover a pixel only partly: the ones
  // furthest from the background, nearest to the strands' own colour, weigh most.
  cv::Mat is_fg(bgr.size(), CV_8U), reach(bgr.size(), CV_32F);
  for (int y = strands.y; y < strands.br().y; ++y) {
    const cv::Vec3f* px = img.ptr<cv::Vec3f>(y);
    const cv::Vec3f* bs = bsum.ptr<cv::Vec3f>(y - strands.y) - strands.x;
    const float* bc = bcount.ptr<float>(y - strands.y) - strands.x;
    const float* lr = strand_lr.ptr<float>(y);
    const float* h = hair.ptr<float>(y);
    uchar* f = is_fg.ptr<uchar>(y);
    float* r = reach.ptr<float>(y);
    cv::Vec3f* p = picked.ptr<cv::Vec3f>(y);
    for (int x = strands.x; x < strands.br().x; ++x) {
      f[x] = is_strand(lr[x], h[x]);
      if (!f[x] || bc[x] < 1.f) {
        r[x] = 0.f;
      } else {
        const cv::Vec3f d = px[x] - bs[x] / bc[x];
        r[x] = d.dot(d);
      }
      p[x] = px[x] * r[x];
    }
  }
  const cv::Mat fsum = window_sum(picked, wanted, window), fweight = window_sum(reach, wanted, window);
  const cv::Mat fcount = window_sum(is_fg, wanted, window);
  cv::Mat wsum, wweight, wcount;
  if (from_afar) {
    wsum = window_sum(picked, wanted, wide);
    wweight = window_sum(reach, wanted, wide);
    wcount = window_sum(is_fg, wanted, wide);
  }
  const float min_samples = 3.f, min_contrast = 0.1f, off_line = 0.3f;
  const int dx = wanted.x - strands.x, dy = wanted.y - strands.y;
  for (int y = 0; y < wanted.height; ++y) {
    const cv::Vec3f* px = img.ptr<cv::Vec3f>(y + wanted.y) + wanted.x;
    const cv::Vec3f* fs = fsum.ptr<cv::Vec3f>(y);
    const cv::Vec3f* bs = bsum.ptr<cv::Vec3f>(y + dy) + dx;
    const float* fw = fweight.ptr<float>(y);
    const float* fc = fcount.ptr<float>(y);
    const cv::Vec3f* ws = from_afar ? wsum.ptr<cv::Vec3f>(y) : nullptr;
    const float* ww = from_afar ? wweight.ptr<float>(y) : nullptr;
    const float* wc = from_afar ? wcount.ptr<float>(y) : nullptr;
    const float* bc = bcount.ptr<float>(y + dy) + dx;
    float* o = out.ptr<float>(y + wanted.y) + wanted.x;
    for (int x = 0; x < wanted.width; ++x) {
      if (bc[x] < min_samples) continue;
      const bool near = fc[x] >= min_samples && fw[x] > 0.f;
      if (!near && (!from_afar || overall[0] < 0.f)) continue;
      const cv::Vec3f f = near                                  ? fs[x] / fw[x]
                          : wc[x] >= min_samples && ww[x] > 0.f ? ws[x] / ww[x]
                                                                : overall;
      const cv::Vec3f b = bs[x] / bc[x], fb = f - b;
      const float len2 = fb.dot(fb);
      if (len2 < min_contrast * min_contrast) continue;
      const float t = (px[x] - b).dot(fb) / len2;
      const cv::Vec3f off = px[x] - b - fb * t;
      if (off.dot(off) > off_line * off_line * len2) continue;
      o[x] = std::clamp(t, 0.f, 1.f);
    }
  }
  return out;
}

}  // namespace tessel
