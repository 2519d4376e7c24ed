// Pieces only some scenarios use: the sky behind a close-up, the low wall
// that hides the legs, and the words a user would type for a colour.
#include "clipgen_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {

cv::Mat make_sky(cv::Size size, cv::RNG& rng) {
  const cv::Vec3f top(0.95f, 0.80f, 0.60f), low(0.97f, 0.95f, 0.92f), cloud(0.98f, 0.98f, 0.98f);
  cv::Mat clouds = fractal_noise(size, size.height / 3.0, 5, rng);
  cv::Mat sky(size, CV_32FC3);
  for (int y = 0; y < size.height; ++y) {
    cv::Vec3f* row = sky.ptr<cv::Vec3f>(y);
    const float* c = clouds.ptr<float>(y);
    const float v = static_cast<float>(y) / size.height;
    for (int x = 0; x < size.width; ++x) {
      cv::Vec3f base = top * (1.f - v) + low * v;
      float k = std::min(1.f, std::max(0.f, (c[x] - 0.45f) * 2.f));
      row[x] = base * (1.f - k) + cloud * k;
    }
  }
  return sky;
}

void draw_wall(Layer* layer, float left, float right, float top, const cv::Vec3f& colour,
               const cv::Mat& texture) {
  const int rows = layer->alpha.rows, cols = layer->alpha.cols;
  int x0 = std::max(0, static_cast<int>(std::floor(left))), x1 = std::min(cols - 1, static_cast<int>(right));
  int y0 = std::max(0, static_cast<int>(std::floor(top)));
  if (x0 > x1 || y0 >= rows) return;
  mark_painted(layer, x0, y0, x1, rows - 1);
  for (int y = y0; y < rows; ++y) {
    cv::Vec3f* c = layer->colour.ptr<cv::Vec3f>(y);
    float* a = layer->alpha.ptr<float>(y);
    const float* tex = texture.ptr<float>(y % texture.rows);
    float cov_y = std::min(1.f, std::max(0.f, y + 1.f - top));
    for (int x = x0; x <= x1; ++x) {
      // Edge pixels are covered by the share of them inside the wall.
      float cov_x = std::min(1.f, std::max(0.f, std::min(x + 1.f - left, right - x)));
      float cov = cov_x * cov_y;
      if (cov <= 0.f) continue;
      int u = static_cast<int>(x - left) % texture.cols;
      cv::Vec3f col = colour * (0.75f + 0.5f * tex[std::max(0, u)]);
      c[x] = col * cov + c[x] * (1.f - cov);
      a[x] = cov + a[x] * (1.f - cov);
    }
  }
}

std::string colour_name(const cv::Vec3f& bgr) {
  const float b = bgr[0], g = bgr[1], r = bgr[2];
  const float hi = std::max({r, g, b}), lo = std::min({r, g, b});
  if (hi < 0.12f) return "black";
  const float sat = (hi - lo) / hi;
  if (sat < 0.2f) return hi > 0.75f ? "white" : hi < 0.3f ? "dark grey" : "grey";
  float hue;
  if (hi == r)
    hue = 60.f * std::fmod((g - b) / (hi - lo) + 6.f, 6.f);
  else if (hi == g)
    hue = 60.f * ((b - r) / (hi - lo) + 2.f);
  else
    hue = 60.f * ((r - g) / (hi - lo) + 4.f);
  std::string name;
  if (hue < 15 || hue >= 340)
    name = "red";
  else if (hue < 45)
    return hi < 0.6f ? "brown" : "orange";
  else if (hue < 70)
    name = hi < 0.5f ? "olive" : "yellow";
  else if (hue < 165)
    name = "green";
  else if (hue < 200)
    name = "teal";
  else if (hue < 255)
    name = "blue";
  else if (hue < 300)
    name = "purple";
  else
    name = "pink";
  return hi < 0.4f ? "dark " + name : name;
}

}  // namespace tessel
