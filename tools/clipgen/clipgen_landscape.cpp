// Layers, fractal noise and the procedural landscape behind the character.
#include "clipgen_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {

Layer make_layer(cv::Size size) {
  return Layer{cv::Mat::zeros(size, CV_32FC3), cv::Mat::zeros(size, CV_32F), cv::Rect()};
}

void mark_painted(Layer* layer, int x0, int y0, int x1, int y1) {
  cv::Rect r =
      cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) & cv::Rect(0, 0, layer->alpha.cols, layer->alpha.rows);
  if (r.area() <= 0) return;
  layer->painted = layer->painted.area() > 0 ? (layer->painted | r) : r;
}

void clear_layer(Layer* layer) {
  if (layer->painted.area() > 0) {
    layer->colour(layer->painted).setTo(cv::Scalar::all(0));
    layer->alpha(layer->painted).setTo(0);
  }
  layer->painted = cv::Rect();
}

void layer_over(Layer* base, const Layer& top) {
  const cv::Rect r = top.painted;
  for (int y = r.y; y < r.y + r.height; ++y) {
    cv::Vec3f* bc = base->colour.ptr<cv::Vec3f>(y);
    float* ba = base->alpha.ptr<float>(y);
    const cv::Vec3f* tc = top.colour.ptr<cv::Vec3f>(y);
    const float* ta = top.alpha.ptr<float>(y);
    for (int x = r.x; x < r.x + r.width; ++x) {
      float k = 1.f - ta[x];
      bc[x] = tc[x] + bc[x] * k;
      ba[x] = ta[x] + ba[x] * k;
    }
  }
}

cv::Mat fractal_noise(cv::Size size, double cell, int octaves, cv::RNG& rng) {
  cv::Mat sum = cv::Mat::zeros(size, CV_32F);
  double weight = 1.0, total = 0.0;
  for (int o = 0; o < octaves; ++o) {
    int gw = std::max(2, static_cast<int>(size.width / cell) + 2);
    int gh = std::max(2, static_cast<int>(size.height / cell) + 2);
    cv::Mat grid(gh, gw, CV_32F);
    rng.fill(grid, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::Mat up;
    cv::resize(grid, up, size, 0, 0, cv::INTER_CUBIC);
    sum += up * weight;
    total += weight;
    weight *= 0.55;
    cell = std::max(1.5, cell / 2);
  }
  sum /= total;
  cv::normalize(sum, sum, 0.0, 1.0, cv::NORM_MINMAX);
  return sum;
}

namespace {

cv::Vec3f mix(const cv::Vec3f& a, const cv::Vec3f& b, float t) { return a * (1.f - t) + b * t; }

struct Palette {
  cv::Vec3f sky_top, sky_low, hills, ground, ground_dark, foliage;
};

Palette pick_palette(cv::RNG& rng) {
  // BGR, 0..1: a park, a dry field, a grey town edge.
  static const Palette kPalettes[] = {
      {{0.85f, 0.62f, 0.42f},
       {0.92f, 0.85f, 0.80f},
       {0.45f, 0.50f, 0.40f},
       {0.25f, 0.50f, 0.35f},
       {0.15f, 0.32f, 0.22f},
       {0.12f, 0.35f, 0.18f}},
      {{0.80f, 0.60f, 0.45f},
       {0.80f, 0.88f, 0.95f},
       {0.40f, 0.48f, 0.58f},
       {0.45f, 0.65f, 0.78f},
       {0.30f, 0.45f, 0.58f},
       {0.15f, 0.38f, 0.35f}},
      {{0.70f, 0.65f, 0.60f},
       {0.85f, 0.85f, 0.85f},
       {0.50f, 0.50f, 0.52f},
       {0.50f, 0.52f, 0.55f},
       {0.32f, 0.33f, 0.36f},
       {0.15f, 0.30f, 0.20f}},
  };
  return kPalettes[rng.uniform(0, 3)];
}

void draw_tree(cv::Mat* img, const cv::Mat& leaves, cv::Point2f base, float h, const Palette& p) {
  cv::Vec3f bark(0.12f, 0.2f, 0.3f);
  float tw = h * 0.05f;
  cv::Point2f canopy(base.x, base.y - h * 0.72f);
  float cr = h * 0.33f;
  int x0 = std::max(0, static_cast<int>(base.x - cr * 1.3f)),
      x1 = std::min(img->cols, static_cast<int>(base.x + cr * 1.3f));
  int y0 = std::max(0, static_cast<int>(canopy.y - cr * 1.3f)),
      y1 = std::min(img->rows, static_cast<int>(base.y));
  for (int y = y0; y < y1; ++y) {
    cv::Vec3f* row = img->ptr<cv::Vec3f>(y);
    const float* n = leaves.ptr<float>(y);
    for (int x = x0; x < x1; ++x) {
      float dx = x - canopy.x, dy = (y - canopy.y) * 1.15f;
      float d = std::sqrt(dx * dx + dy * dy) / cr - (n[x] - 0.5f) * 0.6f;
      if (d < 1.f) {
        float cov = std::min(1.f, (1.f - d) * cr * 0.5f);
        cv::Vec3f leaf = p.foliage * (0.55f + 0.9f * n[x]);
        row[x] = mix(row[x], leaf, cov);
      } else if (std::abs(x - base.x) < tw && y > canopy.y) {
        row[x] = bark * (0.8f + 0.4f * n[x]);
      }
    }
  }
}

}  // namespace

cv::Mat make_landscape(cv::Size size, cv::RNG& rng) {
  Palette p = pick_palette(rng);
  const float h = static_cast<float>(size.height);
  cv::Mat clouds = fractal_noise(size, h / 4, 5, rng);
  cv::Mat texture = fractal_noise(size, h / 10, 6, rng);
  cv::Mat fine = fractal_noise(size, h / 60, 3, rng);
  cv::Mat ridge = fractal_noise(cv::Size(size.width, 1), h / 3, 4, rng);
  cv::Mat img(size, CV_32FC3);
  const float ground_line = 0.58f * h;
  for (int y = 0; y < size.height; ++y) {
    cv::Vec3f* row = img.ptr<cv::Vec3f>(y);
    const float* c = clouds.ptr<float>(y);
    const float* t = texture.ptr<float>(y);
    const float* f = fine.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      float horizon = 0.36f * h + 0.14f * h * ridge.at<float>(0, x);
      cv::Vec3f v;
      if (y < horizon) {
        v = mix(p.sky_top, p.sky_low, y / horizon);
        float cloud = std::max(0.f, (c[x] - 0.5f) * 2.5f);
        v = mix(v, cv::Vec3f(0.97f, 0.97f, 0.97f), std::min(1.f, cloud));
      } else if (y < ground_line) {
        float depth = (y - horizon) / std::max(1.f, ground_line - horizon);
        v = mix(p.hills, p.ground_dark, depth * 0.6f) * (0.75f + 0.5f * t[x]);
      } else {
        float depth = (y - ground_line) / (h - ground_line);
        v = mix(p.ground_dark, p.ground, 0.4f + 0.6f * t[x]) * (0.8f + 0.25f * depth + 0.3f * (f[x] - 0.5f));
      }
      row[x] = v;
    }
  }
  int trees = rng.uniform(3, 7);
  for (int i = 0; i < trees; ++i) {
    cv::Point2f base(rng.uniform(0.f, static_cast<float>(size.width)),
                     ground_line + rng.uniform(-0.02f, 0.08f) * h);
    draw_tree(&img, texture, base, rng.uniform(0.25f, 0.5f) * h, p);
  }
  cv::GaussianBlur(img, img, cv::Size(0, 0), 0.7);
  return img;
}

}  // namespace tessel
