// Motion of the background: an affine camera model fitted to the flow away
// from the character. What does not move with it is likely the character.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessel {
namespace {

struct Sample {
  float x, y, u, v;
};

// Least-squares affine flow u = a0 + a1 x + a2 y, v = a3 + a4 x + a5 y over
// the samples with weight; false when the system is degenerate.
bool fit_affine(const std::vector<Sample>& s, const std::vector<char>& use, double a[6]) {
  cv::Matx33d m = cv::Matx33d::zeros();
  cv::Vec3d bu(0, 0, 0), bv(0, 0, 0);
  int n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!use[i]) continue;
    cv::Vec3d r(1.0, s[i].x, s[i].y);
    m += r * r.t();
    bu += r * s[i].u;
    bv += r * s[i].v;
    ++n;
  }
  if (n < 12) return false;
  cv::Vec3d pu, pv;
  if (!cv::solve(m, bu, pu, cv::DECOMP_CHOLESKY) || !cv::solve(m, bv, pv, cv::DECOMP_CHOLESKY)) return false;
  for (int i = 0; i < 3; ++i) a[i] = pu[i], a[3 + i] = pv[i];
  return true;
}

bool fit_camera(const cv::Mat& flow, const cv::Mat& where, double a[6], float* noise, float* scale_out) {
  // Coordinates are scaled to about one so the normal equations stay well conditioned.
  const float scale = 1.0f / std::max(flow.cols, flow.rows);
  const int step = std::max(2, std::max(flow.cols, flow.rows) / 160);
  std::vector<Sample> samples;
  for (int y = step / 2; y < flow.rows; y += step) {
    const uchar* w = where.ptr<uchar>(y);
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    for (int x = step / 2; x < flow.cols; x += step) {
      if (w[x]) samples.push_back({x * scale, y * scale, f[x].x, f[x].y});
    }
  }
  std::vector<char> use(samples.size(), 1);
  if (!fit_affine(samples, use, a)) return false;
  // Refit twice without the worst fitting points: parallax and stray pieces
  // of the character must not bend the camera model.
  std::vector<float> err(samples.size());
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < samples.size(); ++i) {
      const Sample& p = samples[i];
      err[i] = std::hypot(p.u - (a[0] + a[1] * p.x + a[2] * p.y), p.v - (a[3] + a[4] * p.x + a[5] * p.y));
    }
    std::vector<float> sorted = err;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    float cut = std::max(0.3f, 3.0f * sorted[sorted.size() / 2]);
    for (size_t i = 0; i < samples.size(); ++i) use[i] = err[i] <= cut;
    if (!fit_affine(samples, use, a)) return false;
  }
  std::vector<float> kept;
  for (size_t i = 0; i < samples.size(); ++i) {
    const Sample& p = samples[i];
    kept.push_back(
        std::hypot(p.u - (a[0] + a[1] * p.x + a[2] * p.y), p.v - (a[3] + a[4] * p.x + a[5] * p.y)));
  }
  std::nth_element(kept.begin(), kept.begin() + kept.size() * 8 / 10, kept.end());
  *noise = kept[kept.size() * 8 / 10];
  *scale_out = scale;
  return true;
}

}  // namespace

bool camera_motion(const cv::Mat& flow, const cv::Mat& where, cv::Mat* affine) {
  double a[6];
  float noise, scale;
  if (!fit_camera(flow, where, a, &noise, &scale)) return false;
  // u = a0 + a1 (s x) + a2 (s y): the point moves to x + u.
  *affine =
      (cv::Mat_<double>(2, 3) << 1 + a[1] * scale, a[2] * scale, a[0], a[4] * scale, 1 + a[5] * scale, a[3]);
  return true;
}

bool motion_residual(const cv::Mat& flow, const cv::Mat& where, cv::Mat* residual, float* noise) {
  double a[6];
  float scale;
  if (!fit_camera(flow, where, a, noise, &scale)) return false;
  residual->create(flow.size(), CV_32F);
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    float* r = residual->ptr<float>(y);
    const float fy = y * scale;
    for (int x = 0; x < flow.cols; ++x) {
      const float fx = x * scale;
      float du = f[x].x - static_cast<float>(a[0] + a[1] * fx + a[2] * fy);
      float dv = f[x].y - static_cast<float>(a[3] + a[4] * fx + a[5] * fy);
      r[x] = std::sqrt(du * du + dv * dv);
    }
  }
  return true;
}

}  // namespace tessel
