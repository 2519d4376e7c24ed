// The character: a jointed figure of shaded capsules with a fringe of thin,
// semi-transparent hair strands that sway as it moves.
#include "clipgen_parts.h"

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

constexpr float kPi = 3.14159265f;

// Direction of a limb at angle a from straight down (screen y grows down).
cv::Point2f limb(float a) { return cv::Point2f(std::sin(a), std::cos(a)); }

float clamp01(float v) { return v < 0.f ? 0.f : v > 1.f ? 1.f : v; }

// Paints one capsule from a to b; `shade` gets the position along the axis
// (0..1) and the distance from it relative to the radius (0..1).
template <typename Shade>
void paint_capsule(Layer* layer, cv::Point2f a, cv::Point2f b, float r, Shade shade) {
  int x0 = std::max(0, static_cast<int>(std::floor(std::min(a.x, b.x) - r - 1)));
  int x1 = std::min(layer->alpha.cols - 1, static_cast<int>(std::ceil(std::max(a.x, b.x) + r + 1)));
  int y0 = std::max(0, static_cast<int>(std::floor(std::min(a.y, b.y) - r - 1)));
  int y1 = std::min(layer->alpha.rows - 1, static_cast<int>(std::ceil(std::max(a.y, b.y) + r + 1)));
  mark_painted(layer, x0, y0, x1, y1);
  cv::Point2f ab = b - a;
  float len2 = std::max(1e-6f, ab.dot(ab));
  for (int y = y0; y <= y1; ++y) {
    cv::Vec3f* c = layer->colour.ptr<cv::Vec3f>(y);
    float* al = layer->alpha.ptr<float>(y);
    for (int x = x0; x <= x1; ++x) {
      cv::Point2f p(x + 0.5f - a.x, y + 0.5f - a.y);
      float t = clamp01(p.dot(ab) / len2);
      cv::Point2f q = p - ab * t;
      float d = std::sqrt(q.dot(q));
      float cov = clamp01(r + 0.5f - d);
      if (cov <= 0.f) continue;
      cv::Vec3f col = shade(t, std::min(1.f, d / r));
      c[x] = col * cov + c[x] * (1.f - cov);
      al[x] = cov + al[x] * (1.f - cov);
    }
  }
}

// Cylinder-like shading with a woven texture, optionally striped.
struct Cloth {
  cv::Vec3f base, stripe;
  float length_px, period_px;
  cv::Vec3f operator()(float t, float radial) const {
    float along = t * length_px;
    bool striped = period_px > 0 && std::sin(along * 2 * kPi / period_px) > 0.35f;
    cv::Vec3f c = striped ? stripe : base;
    float weave = 0.06f * std::sin(along * 1.7f) * std::sin(radial * 9.f);
    return c * (1.08f - 0.4f * radial * radial + weave);
  }
};

void paint_strand(Layer* layer, const std::vector<cv::Point2f>& pts, float width, float opacity,
                  const cv::Vec3f& colour) {
  float reach = width + 2;
  float fx0 = 1e9f, fy0 = 1e9f, fx1 = -1e9f, fy1 = -1e9f;
  for (const cv::Point2f& p : pts) {
    fx0 = std::min(fx0, p.x), fy0 = std::min(fy0, p.y), fx1 = std::max(fx1, p.x), fy1 = std::max(fy1, p.y);
  }
  int x0 = std::max(0, static_cast<int>(fx0 - reach)),
      x1 = std::min(layer->alpha.cols - 1, static_cast<int>(fx1 + reach));
  int y0 = std::max(0, static_cast<int>(fy0 - reach)),
      y1 = std::min(layer->alpha.rows - 1, static_cast<int>(fy1 + reach));
  mark_painted(layer, x0, y0, x1, y1);
  const size_t n = pts.size();
  for (int y = y0; y <= y1; ++y) {
    cv::Vec3f* c = layer->colour.ptr<cv::Vec3f>(y);
    float* al = layer->alpha.ptr<float>(y);
    for (int x = x0; x <= x1; ++x) {
      cv::Point2f p(x + 0.5f, y + 0.5f);
      float best = 1e9f, best_t = 0;
      for (size_t k = 0; k + 1 < n; ++k) {
        cv::Point2f ab = pts[k + 1] - pts[k], ap = p - pts[k];
        float t = clamp01(ap.dot(ab) / std::max(1e-6f, ab.dot(ab)));
        cv::Point2f q = ap - ab * t;
        float d = q.dot(q);
        if (d < best) best = d, best_t = (k + t) / (n - 1);
      }
      // Thin strands taper to their tips; below a pixel, coverage is their width.
      float w = width * (1.f - 0.6f * best_t);
      float cov = clamp01(w * 0.5f + 0.5f - std::sqrt(best)) * std::min(1.f, w) * opacity;
      if (cov <= 0.f) continue;
      c[x] = colour * cov + c[x] * (1.f - cov);
      al[x] = cov + al[x] * (1.f - cov);
    }
  }
}

struct Skeleton {
  cv::Point2f hip, neck, head, shoulder[2], elbow[2], hand[2], hip_joint[2], knee[2], ankle[2];
  float head_r;
};

Skeleton pose_skeleton(const Pose& pose) {
  Skeleton s;
  const float H = pose.height, ph = pose.phase;
  float lean = pose.dance ? 0.12f * std::sin(ph) : pose.still ? 0.02f : 0.05f;
  s.hip = pose.hip;
  s.neck = s.hip + cv::Point2f(std::sin(lean), -std::cos(lean)) * (0.30f * H);
  s.head_r = 0.065f * H;
  s.head = s.neck + cv::Point2f(std::sin(lean * 1.5f), -std::cos(lean * 1.5f)) * (0.04f * H + s.head_r);
  for (int side = 0; side < 2; ++side) {
    float sign = side == 0 ? -1.f : 1.f;
    float swing = side == 0 ? std::sin(ph) : -std::sin(ph);
    float upper, fore;
    if (pose.still && pose.wave && side == 1) {
      upper = 2.3f + 0.45f * std::sin(ph);
      fore = upper + 0.6f * std::sin(ph + 1.f);
    } else if (pose.still) {
      upper = sign * 0.12f;
      fore = upper - sign * 0.05f;
    } else if (pose.dance) {
      upper = sign * (2.2f + 0.5f * std::sin(ph + side * 1.3f));
      fore = upper + sign * 0.7f * std::sin(2.f * ph + side);
    } else {
      upper = 0.45f * swing + sign * 0.08f;
      fore = upper - 0.35f - 0.2f * std::max(0.f, swing);
    }
    s.shoulder[side] = s.neck + cv::Point2f(sign * 0.1f * H, 0.03f * H);
    s.elbow[side] = s.shoulder[side] + limb(upper) * (0.16f * H);
    s.hand[side] = s.elbow[side] + limb(fore) * (0.15f * H);
    float thigh = pose.still   ? sign * 0.05f
                  : pose.dance ? sign * (0.12f + 0.1f * std::sin(ph * 2))
                               : -0.42f * swing;
    float shin =
        pose.still ? thigh
                   : thigh + (pose.dance ? -sign * 0.1f : 0.45f * std::max(0.f, -std::cos(ph + side * kPi)));
    s.hip_joint[side] = s.hip + cv::Point2f(sign * 0.05f * H, 0);
    s.knee[side] = s.hip_joint[side] + limb(thigh) * (0.24f * H);
    s.ankle[side] = s.knee[side] + limb(shin) * (0.23f * H);
  }
  return s;
}

}  // namespace

FigureStyle make_figure_style(cv::RNG& rng, int strands) {
  static const cv::Vec3f kShirts[] = {{0.2f, 0.25f, 0.75f},
                                      {0.6f, 0.3f, 0.2f},
                                      {0.25f, 0.55f, 0.3f},
                                      {0.15f, 0.6f, 0.8f},
                                      {0.55f, 0.2f, 0.5f}};
  static const cv::Vec3f kHair[] = {
      {0.1f, 0.14f, 0.2f}, {0.2f, 0.35f, 0.55f}, {0.05f, 0.05f, 0.06f}, {0.35f, 0.6f, 0.8f}};
  FigureStyle st;
  st.skin = cv::Vec3f(0.55f, 0.65f, 0.85f) * rng.uniform(0.6f, 1.05f);
  st.hair = kHair[rng.uniform(0, 4)];
  st.shirt = kShirts[rng.uniform(0, 5)];
  st.shirt_stripe = st.shirt * 0.6f + cv::Vec3f(0.35f, 0.35f, 0.35f);
  st.trousers = cv::Vec3f(0.35f, 0.22f, 0.15f) * rng.uniform(0.6f, 1.3f);
  st.shoes = cv::Vec3f(0.1f, 0.1f, 0.12f);
  st.stripe_period = rng.uniform(0.03f, 0.06f);
  st.bulk = rng.uniform(0.9f, 1.15f);
  for (int i = 0; i < strands; ++i) {
    Strand s;
    // Mostly over the top of the head, some falling down the sides.
    s.root_angle = rng.uniform(-kPi - 0.6f, 0.6f);
    s.length = rng.uniform(0.04f, 0.11f) * (std::sin(-s.root_angle) > 0.5f ? 1.f : 1.5f);
    s.width = rng.uniform(0.6f, 2.0f);
    s.opacity = rng.uniform(0.3f, 0.9f);
    // Strands curve toward the back of the head, as combed hair does.
    s.curl = rng.uniform(-0.8f, 0.8f) + (std::cos(s.root_angle) > 0 ? 0.6f : -0.6f);
    s.sway_phase = rng.uniform(0.f, 2 * kPi);
    s.shade = rng.uniform(0.7f, 1.3f);
    st.strands.push_back(s);
  }
  return st;
}

void figure_landmarks(const Pose& pose, cv::Point2f* torso, cv::Point2f* head) {
  Skeleton s = pose_skeleton(pose);
  *torso = (s.hip + s.neck) * 0.5f;
  *head = s.head;
}

void draw_figure(Layer* layer, const Pose& pose, const FigureStyle& st) {
  const float H = pose.height;
  Skeleton s = pose_skeleton(pose);
  const float b = st.bulk;
  auto cloth = [&](const cv::Vec3f& c, const cv::Vec3f& stripe, cv::Point2f a0, cv::Point2f a1,
                   bool striped) {
    cv::Point2f d = a1 - a0;
    return Cloth{c, stripe, std::sqrt(d.dot(d)), striped ? st.stripe_period * H : 0.f};
  };
  auto limb_pair = [&](int side) {
    paint_capsule(layer, s.hip_joint[side], s.knee[side], 0.05f * H * b,
                  cloth(st.trousers, st.trousers, s.hip_joint[side], s.knee[side], false));
    paint_capsule(layer, s.knee[side], s.ankle[side], 0.04f * H * b,
                  cloth(st.trousers, st.trousers, s.knee[side], s.ankle[side], false));
    cv::Point2f toe = s.ankle[side] + cv::Point2f(side == 0 ? -0.05f * H : 0.05f * H, 0.01f * H);
    paint_capsule(layer, s.ankle[side], toe, 0.025f * H,
                  cloth(st.shoes, st.shoes, s.ankle[side], toe, false));
  };
  auto arm = [&](int side) {
    paint_capsule(layer, s.shoulder[side], s.elbow[side], 0.032f * H * b,
                  cloth(st.shirt, st.shirt_stripe, s.shoulder[side], s.elbow[side], true));
    paint_capsule(layer, s.elbow[side], s.hand[side], 0.026f * H * b,
                  cloth(st.skin, st.skin, s.elbow[side], s.hand[side], false));
    paint_capsule(layer, s.hand[side], s.hand[side], 0.03f * H,
                  cloth(st.skin, st.skin, s.hand[side], s.hand[side], false));
  };
  // Back limbs first, then the body, then the front limbs.
  arm(0);
  limb_pair(0);
  cv::Point2f waist = s.hip + (s.neck - s.hip) * 0.1f, chest = s.hip + (s.neck - s.hip) * 0.85f;
  paint_capsule(layer, waist, chest, 0.095f * H * b, cloth(st.shirt, st.shirt_stripe, waist, chest, true));
  paint_capsule(layer, s.shoulder[0], s.shoulder[1], 0.045f * H * b,
                cloth(st.shirt, st.shirt_stripe, s.shoulder[0], s.shoulder[1], false));
  paint_capsule(layer, s.neck, s.neck + (s.head - s.neck) * 0.4f, 0.03f * H,
                cloth(st.skin, st.skin, s.neck, s.head, false));
  limb_pair(1);
  paint_capsule(layer, s.head, s.head, s.head_r, cloth(st.skin, st.skin, s.head, s.head, false));
  // The hair cap: a disc over the top of the head.
  cv::Point2f cap = s.head + cv::Point2f(0, -0.25f * s.head_r);
  paint_capsule(layer, cap, cap, s.head_r * 0.95f, cloth(st.hair, st.hair, cap, cap, false));
  for (const Strand& h : st.strands) {
    float sway = 0.3f * std::sin(2 * kPi * 0.7f * pose.time + h.sway_phase) +
                 (pose.dance ? 0.2f * std::sin(pose.phase) : 0.f);
    cv::Point2f dir(std::cos(h.root_angle), std::sin(h.root_angle));
    std::vector<cv::Point2f> pts{s.head + dir * (s.head_r * 0.95f)};
    float step = h.length * H / 7;
    float angle = h.root_angle;
    for (int k = 0; k < 7; ++k) {
      angle += (h.curl + sway) / 7;
      cv::Point2f d(std::cos(angle), std::sin(angle) + 0.8f * k / 7);  // drooping toward the tip
      d *= 1.f / std::sqrt(d.dot(d));
      pts.push_back(pts.back() + d * step);
    }
    paint_strand(layer, pts, h.width * pose.line_scale, h.opacity, st.hair * h.shade);
  }
  arm(1);
}

}  // namespace tessel
