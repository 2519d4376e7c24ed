// Edge-aware smoothing by a colour guide (the guided filter), with its
// coefficients found on a reduced copy when the reach is wide. The
// coefficients are box means over the whole reach, smooth at that scale; the
// picture's own edges come back through the full-size guide in the last step.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include <algorithm>
#include <vector>

namespace tessel {
namespace {

// Reach, in reduced pixels, below which the reduction would blur what the
// coefficients should still tell apart.
constexpr int kReducedReach = 12;

cv::Mat box_mean(const cv::Mat& m, int r) {
  cv::Mat out;
  cv::boxFilter(m, out, CV_32F, cv::Size(2 * r + 1, 2 * r + 1));
  return out;
}

// Where each output pixel reads an INTER_LINEAR resize from `from` samples
// to `to`: the two samples and their weights, found as cv::resize finds them.
// It holds the weights to the edge sample across, but not down: a row beyond
// the edge is the edge row again, at its weight.
struct LinearTaps {
  std::vector<int> at, next;
  std::vector<float> w0, w1;
};

LinearTaps linear_taps(int from, int to, bool across) {
  LinearTaps t;
  t.at.resize(to), t.next.resize(to), t.w0.resize(to), t.w1.resize(to);
  const double scale = 1. / (static_cast<double>(to) / from);
  for (int d = 0; d < to; ++d) {
    float f = static_cast<float>((d + 0.5) * scale - 0.5);
    int s = cvFloor(f);
    f -= s;
    if (across && s < 0) f = 0, s = 0;
    if (across && s >= from - 1) f = 0, s = from - 1;
    t.at[d] = std::min(std::max(s, 0), from - 1), t.next[d] = std::min(std::max(s + 1, 0), from - 1);
    t.w0[d] = 1.f - f, t.w1[d] = f;
  }
  return t;
}

}  // namespace

cv::Mat apply_coefficients(const cv::Mat& guide, const cv::Mat a[3], const cv::Mat& b) {
  CV_Assert(guide.type() == CV_8UC3 && b.type() == CV_32F);
  const cv::Mat* maps[4] = {&a[0], &a[1], &a[2], &b};
  const LinearTaps tx = linear_taps(b.cols, guide.cols, true), ty = linear_taps(b.rows, guide.rows, false);
  // Each coefficient row widened once, kept while the output rows read it:
  // two rows per map, in the slot of the row's parity.
  cv::Mat wide(8, guide.cols, CV_32F);
  int held[2] = {-1, -1};
  auto widen = [&](int row) {
    const int slot = row & 1;
    if (held[slot] == row) return;
    held[slot] = row;
    for (int k = 0; k < 4; ++k) {
      const float* __restrict src = maps[k]->ptr<float>(row);
      float* __restrict w = wide.ptr<float>(2 * k + slot);
      for (int x = 0; x < guide.cols; ++x) w[x] = src[tx.at[x]] * tx.w0[x] + src[tx.next[x]] * tx.w1[x];
    }
  };
  cv::Mat out(guide.size(), CV_32F);
  for (int y = 0; y < guide.rows; ++y) {
    const int r0 = ty.at[y], r1 = ty.next[y];
    widen(r0);
    widen(r1);
    const float b0 = ty.w0[y], b1 = ty.w1[y];
    const float *u[4], *v[4];
    for (int k = 0; k < 4; ++k)
      u[k] = wide.ptr<float>(2 * k + (r0 & 1)), v[k] = wide.ptr<float>(2 * k + (r1 & 1));
    const uchar* __restrict i = guide.ptr<uchar>(y);
    float* __restrict o = out.ptr<float>(y);
    for (int x = 0; x < guide.cols; ++x) {
      const float a0 = u[0][x] * b0 + v[0][x] * b1, a1 = u[1][x] * b0 + v[1][x] * b1;
      const float a2 = u[2][x] * b0 + v[2][x] * b1, bb = u[3][x] * b0 + v[3][x] * b1;
      o[x] = a0 * float(i[3 * x]) + a1 * float(i[3 * x + 1]) + a2 * float(i[3 * x + 2]) + bb;
    }
  }
  return out;
}

cv::Mat guided_smooth(const cv::Mat& guide, const cv::Mat& src, int radius, double eps) {
  const int s = radius >= 2 * kReducedReach ? 2 : 1;
  if (s == 1 || guide.cols < 4 * s || guide.rows < 4 * s) {
    cv::Mat out;
    cv::ximgproc::guidedFilter(guide, src, out, radius, eps);
    return out;
  }
  CV_Assert(guide.type() == CV_8UC3);
  const cv::Size small(guide.cols / s, guide.rows / s);
  const int r = radius / s;
  cv::Mat g, p;
  cv::resize(guide, g, small, 0, 0, cv::INTER_AREA);
  g.convertTo(g, CV_32FC3);
  cv::resize(src, p, small, 0, 0, cv::INTER_AREA);
  std::vector<cv::Mat> c;
  cv::split(g, c);
  cv::Mat mean_p = box_mean(p, r);
  // Means of the products; the covariances are taken from them per pixel
  // below, without a temporary picture for each.
  cv::Mat mean_i[3], mean_ip[3], mean_ii[3][3];
  for (int k = 0; k < 3; ++k) mean_i[k] = box_mean(c[k], r);
  for (int k = 0; k < 3; ++k) {
    mean_ip[k] = box_mean(c[k].mul(p), r);
    for (int l = k; l < 3; ++l) mean_ii[k][l] = box_mean(c[k].mul(c[l]), r);
  }
  // Per pixel, a = (Sigma + eps I)^-1 cov(I, p) and b = mean(p) - a . mean(I).
  cv::Mat a[3], b(small, CV_32F);
  for (int k = 0; k < 3; ++k) a[k].create(small, CV_32F);
  const float e = static_cast<float>(eps);
  for (int y = 0; y < small.height; ++y) {
    const float *s00 = mean_ii[0][0].ptr<float>(y), *s01 = mean_ii[0][1].ptr<float>(y),
                *s02 = mean_ii[0][2].ptr<float>(y), *s11 = mean_ii[1][1].ptr<float>(y),
                *s12 = mean_ii[1][2].ptr<float>(y), *s22 = mean_ii[2][2].ptr<float>(y);
    const float *p0 = mean_ip[0].ptr<float>(y), *p1 = mean_ip[1].ptr<float>(y),
                *p2 = mean_ip[2].ptr<float>(y);
    const float *m0 = mean_i[0].ptr<float>(y), *m1 = mean_i[1].ptr<float>(y), *m2 = mean_i[2].ptr<float>(y),
                *mp = mean_p.ptr<float>(y);
    float *a0 = a[0].ptr<float>(y), *a1 = a[1].ptr<float>(y), *a2 = a[2].ptr<float>(y), *bb = b.ptr<float>(y);
    for (int x = 0; x < small.width; ++x) {
      const float v00 = s00[x] - m0[x] * m0[x], v01 = s01[x] - m0[x] * m1[x], v02 = s02[x] - m0[x] * m2[x];
      const float v11 = s11[x] - m1[x] * m1[x], v12 = s12[x] - m1[x] * m2[x], v22 = s22[x] - m2[x] * m2[x];
      const float xx = v00 + e, xy = v01, xz = v02, yy = v11 + e, yz = v12, zz = v22 + e;
      const float i00 = yy * zz - yz * yz, i01 = xz * yz - xy * zz, i02 = xy * yz - xz * yy;
      const float i11 = xx * zz - xz * xz, i12 = xz * xy - xx * yz, i22 = xx * yy - xy * xy;
      const float inv = 1.0f / (xx * i00 + xy * i01 + xz * i02);
      const float u = p0[x] - m0[x] * mp[x], v = p1[x] - m1[x] * mp[x], w = p2[x] - m2[x] * mp[x];
      a0[x] = (i00 * u + i01 * v + i02 * w) * inv;
      a1[x] = (i01 * u + i11 * v + i12 * w) * inv;
      a2[x] = (i02 * u + i12 * v + i22 * w) * inv;
      bb[x] = mp[x] - a0[x] * m0[x] - a1[x] * m1[x] - a2[x] * m2[x];
    }
  }
  cv::Mat mean_a[3];
  for (int k = 0; k < 3; ++k) mean_a[k] = box_mean(a[k], r);
  return apply_coefficients(guide, mean_a, box_mean(b, r));
}

}  // namespace tessel
