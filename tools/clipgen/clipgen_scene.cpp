// A clip: camera over the landscape (or the sky), the character, a look-alike
// behind or in front of it and a post or a wall in front of it, composited
// with the character's exact alpha.
#include "clipgen_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

constexpr float kPi = 3.14159265f;

}  // namespace

struct ClipGenerator::Scene {
  cv::Mat landscape;  // CV_32FC3, larger than the frame
  FigureStyle hero, other;
  float hero_phase0, other_phase0, pan_phase, post_phase;
  cv::Vec3f post_colour;
  cv::Mat post_texture;  // CV_32F, one row
  double light_phase;
  cv::Mat noise;  // CV_32FC3 sensor noise, a little larger than the frame
  // Drawing surfaces reused from frame to frame.
  Layer frame, hero_layer, other_layer, post_layer;
  // What only some scenarios use.
  cv::Mat sky;  // behind a close-up, the size of the landscape
  FigureStyle crosser;
  bool crosser_in_front = false;
  float cross_frame = 0, cross_x = 0, cross_speed = 0;  // where and when it meets the character
  cv::Vec3f wall_colour;
  cv::Mat wall_texture;
  float wall_frame = 0, wall_x = 0;  // the wall's centre is on the character's hip then
  Layer crosser_layer, wall_layer;
};

namespace {

// A look-alike crosses this far from the character at the anchor, so the
// anchor shows them apart.
constexpr float kCrossLead = 0.36f;
// The low wall: width and speed as shares of the frame width, top as a share
// of its height. It moves fast enough to pass in a 48-frame clip and is wide
// enough to cover walking legs for about ten frames.
constexpr float kWallWidth = 0.36f, kWallSpeed = 0.03f, kWallTop = 0.65f;

// The camera's zoom for the zoom scenario: 1 at the ends of the clip, 2 mid-clip.
float camera_zoom(const ClipSpec& spec, int t) {
  if (!spec.zoom) return 1.f;
  return 1.f + 0.5f * (1.f - std::cos(2 * kPi * t / std::max(2, spec.frames)));
}

// Paths are periodic, so clips of any length stay in the frame.
Pose hero_pose(const ClipSpec& spec, const ClipGenerator::Scene& sc, int t) {
  const float W = static_cast<float>(spec.width), H = static_cast<float>(spec.height);
  Pose p;
  p.dance = spec.dance;
  p.time = static_cast<float>(t / spec.fps);
  p.line_scale = H / 1080.f;
  float cycle = 2 * kPi * t / 160.f + sc.hero_phase0;
  if (spec.dance) {
    p.phase = 2 * kPi * t / 26.f;
    p.hip = cv::Point2f(W * (0.5f + 0.06f * std::sin(cycle)), H * (0.66f + 0.01f * std::sin(2 * p.phase)));
    p.height = H * 0.58f;
  } else {
    p.phase = 2 * kPi * t / 20.f;
    p.hip =
        cv::Point2f(W * (0.5f + 0.22f * std::sin(cycle)), H * (0.64f + 0.008f * std::abs(std::sin(p.phase))));
    p.height = H * (0.56f + 0.04f * std::sin(cycle * 0.5f));
  }
  if (spec.still_limb) {
    p.still = p.wave = true;
    p.phase = 2 * kPi * t / 18.f;
    p.hip = cv::Point2f(W * (0.5f + 0.12f * std::sin(sc.hero_phase0)), H * 0.64f);
    p.height = H * 0.56f;
  } else if (spec.close_up) {
    // A figure three frames tall: head and shoulders fill the frame, the head
    // a little above the middle, the rest below the bottom edge.
    p.still = true;
    p.phase = 0;
    p.height = 3.f * H;
    p.hip = cv::Point2f(W * (0.5f + 0.05f * std::sin(cycle)),
                        H * (0.40f + 0.01f * std::sin(2 * kPi * t / 40.f)) + 0.405f * p.height);
    p.line_scale *= 1.6f;
  } else if (spec.zoom) {
    p.phase = 2 * kPi * t / 20.f;
    p.hip = cv::Point2f(W * (0.5f + 0.05f * std::sin(cycle)), H * 0.52f);
    p.height = H * 0.34f;
    // The camera zooms about the frame's centre: the figure grows about it too.
    const float z = camera_zoom(spec, t);
    const cv::Point2f centre(W * 0.5f, H * 0.5f);
    p.hip = centre + (p.hip - centre) * z;
    p.height *= z;
    p.line_scale *= z;
  } else if (spec.long_occluder) {
    // Walking on the spot, as when the camera follows a walker.
    p.phase = 2 * kPi * t / 20.f;
    p.hip =
        cv::Point2f(W * (0.5f + 0.04f * std::sin(cycle)), H * (0.64f + 0.008f * std::abs(std::sin(p.phase))));
    p.height = H * 0.58f;
  }
  return p;
}

Pose crosser_pose(const ClipSpec& spec, const ClipGenerator::Scene& sc, int t) {
  const float H = static_cast<float>(spec.height);
  Pose p;
  p.time = static_cast<float>(t / spec.fps);
  p.line_scale = H / 1080.f;
  p.phase = 2 * kPi * t / 18.f;
  // In front it is nearer the camera: lower in the frame and taller.
  p.hip = cv::Point2f(sc.cross_x + sc.cross_speed * (t - sc.cross_frame),
                      H * (sc.crosser_in_front ? 0.68f : 0.60f));
  p.height = H * (sc.crosser_in_front ? 0.60f : 0.50f);
  return p;
}

float wall_centre(const ClipSpec& spec, const ClipGenerator::Scene& sc, int t) {
  // Right to left, coming round again every 1.8 frame widths of travel.
  float u = (sc.wall_frame - t) * kWallSpeed + sc.wall_x / spec.width + 0.4f;
  u -= 1.8f * std::floor(u / 1.8f);
  return spec.width * (u - 0.4f);
}

// Multiplies the character's alpha by what `front` leaves visible.
void cut_by(cv::Mat* alpha, const cv::Rect& character, const Layer& front) {
  const cv::Rect r = front.painted & character;
  if (r.area() <= 0) return;
  cv::Mat visible = 1.f - front.alpha(r);
  cv::multiply((*alpha)(r), visible, (*alpha)(r));
}

Pose other_pose(const ClipSpec& spec, const ClipGenerator::Scene& sc, int t) {
  const float W = static_cast<float>(spec.width), H = static_cast<float>(spec.height);
  Pose p;
  p.time = static_cast<float>(t / spec.fps);
  p.line_scale = H / 1080.f;
  p.phase = 2 * kPi * t / 22.f;
  float cycle = 2 * kPi * t / 120.f + sc.other_phase0;
  p.hip = cv::Point2f(W * (0.5f - 0.38f * std::sin(cycle)), H * 0.56f);
  p.height = H * 0.42f;
  return p;
}

void draw_post(Layer* layer, const ClipSpec& spec, const ClipGenerator::Scene& sc, int t) {
  const float W = static_cast<float>(spec.width), H = static_cast<float>(spec.height);
  // Sweeps right to left; the phase puts it over the character mid-clip.
  float u = std::fmod(static_cast<float>(t) / 70.f + sc.post_phase, 1.f);
  float cx = W * (1.15f - 1.3f * u);
  float half = W * 0.028f, tilt = 0.06f;
  for (int y = 0; y < layer->alpha.rows; ++y) {
    cv::Vec3f* c = layer->colour.ptr<cv::Vec3f>(y);
    float* a = layer->alpha.ptr<float>(y);
    float centre = cx + tilt * (y - H * 0.5f);
    int x0 = std::max(0, static_cast<int>(centre - half - 2)),
        x1 = std::min(layer->alpha.cols - 1, static_cast<int>(centre + half + 2));
    if (x0 <= x1) mark_painted(layer, x0, y, x1, y);
    for (int x = x0; x <= x1; ++x) {
      float d = std::abs(x + 0.5f - centre);
      float cov = std::min(1.f, std::max(0.f, half + 0.5f - d));
      if (cov <= 0) continue;
      float shade = 1.1f - 0.5f * (d / half) * (d / half);
      float grain = sc.post_texture.at<float>(0, y % sc.post_texture.cols);
      cv::Vec3f col = sc.post_colour * shade * (0.8f + 0.4f * grain);
      c[x] = col * cov + c[x] * (1.f - cov);
      a[x] = cov + a[x] * (1.f - cov);
    }
  }
}

}  // namespace

ClipGenerator::ClipGenerator(const ClipSpec& spec) : spec_(spec), scene_(std::make_unique<Scene>()) {
  cv::RNG rng(spec.seed * 7919 + 17);
  Scene& sc = *scene_;
  cv::Size canvas(static_cast<int>(spec.width * 1.5), static_cast<int>(spec.height * 1.25));
  sc.landscape = make_landscape(canvas, rng);
  sc.hero = make_figure_style(rng, 400);
  sc.other = make_figure_style(rng, 200);
  sc.other.trousers = sc.hero.trousers;  // a look-alike: same trousers
  sc.hero_phase0 = rng.uniform(0.f, 2 * kPi);
  sc.other_phase0 = rng.uniform(0.f, 2 * kPi);
  sc.pan_phase = rng.uniform(0.f, 2 * kPi);
  sc.light_phase = rng.uniform(0.0, 6.28);
  sc.post_colour = cv::Vec3f(0.18f, 0.22f, 0.28f) * rng.uniform(0.7f, 1.4f);
  sc.post_texture = fractal_noise(cv::Size(512, 1), 12, 4, rng);
  sc.noise.create(spec.height + 32, spec.width + 32, CV_32FC3);
  rng.fill(sc.noise, cv::RNG::NORMAL, 0.0, 0.008);
  cv::Size size(spec.width, spec.height);
  sc.frame = make_layer(size);
  sc.hero_layer = make_layer(size);
  sc.other_layer = make_layer(size);
  sc.post_layer = make_layer(size);
  // The post crosses the character a little after the anchor (mid-clip), so
  // the anchor itself is clear, as a user would pick it.
  int anchor = spec.frames / 2;
  int crossing = anchor + 15;
  Pose at = hero_pose(spec, sc, crossing);
  float u = (1.15f - at.hip.x / spec.width) / 1.3f;
  sc.post_phase = u - std::fmod(static_cast<float>(crossing) / 70.f, 1.f) + 1.f;
  set_up_families(anchor);
}

void ClipGenerator::set_up_families(int anchor) {
  // Their own random stream, so the draws above, and the clips without these
  // scenarios, stay what they were.
  cv::RNG rng(spec_.seed * 104729 + 31);
  Scene& sc = *scene_;
  const ClipSpec& spec = spec_;
  const cv::Size size(spec.width, spec.height);
  if (spec.close_up) {
    sc.sky = make_sky(sc.landscape.size(), rng);
    sc.hero = make_figure_style(rng, 700);
  }
  if (spec.crossing) {
    sc.crosser = make_figure_style(rng, 200);
    // A look-alike: the character's colours, a little off.
    sc.crosser.shirt = sc.hero.shirt * rng.uniform(0.85f, 0.95f);
    sc.crosser.shirt_stripe = sc.hero.shirt_stripe * rng.uniform(0.85f, 0.95f);
    sc.crosser.trousers = sc.hero.trousers * rng.uniform(0.9f, 1.05f);
    sc.crosser.hair = sc.hero.hair;
    sc.crosser.skin = sc.hero.skin * rng.uniform(0.9f, 1.05f);
    sc.crosser_in_front = spec.seed % 2 == 0;
    sc.cross_frame = static_cast<float>(anchor + std::max(2, std::min(12, spec.frames / 4)));
    sc.cross_x = hero_pose(spec, sc, static_cast<int>(sc.cross_frame)).hip.x;
    // It comes from the side with more room and leaves by the other.
    const float side = sc.cross_x < spec.width * 0.5f ? 1.f : -1.f;
    sc.cross_speed = -side * kCrossLead * spec.width / (sc.cross_frame - anchor);
    sc.crosser_layer = make_layer(size);
  }
  if (spec.long_occluder) {
    sc.wall_colour = cv::Vec3f(0.45f, 0.50f, 0.55f) * rng.uniform(0.7f, 1.2f);
    sc.wall_texture = fractal_noise(size, spec.height / 30.0, 4, rng);
    // Its left edge reaches the walking legs (about 0.085 of the width either
    // side of the hip) two frames after the anchor.
    sc.wall_frame = anchor + 2 + (kWallWidth * 0.5f + 0.085f) / kWallSpeed;
    sc.wall_x = hero_pose(spec, sc, static_cast<int>(sc.wall_frame)).hip.x;
    sc.wall_layer = make_layer(size);
  }
  if (spec.shade_off) {
    // Shirt and trousers take the colour behind them at the anchor, one shade
    // lighter or darker; the cloth's shading averages 0.947 of its colour.
    cv::Mat bgr;
    compose(anchor, false, &bgr, nullptr, nullptr);
    Pose pose = hero_pose(spec, sc, anchor);
    cv::Point2f torso, head;
    figure_landmarks(pose, &torso, &head);
    const float h = pose.height;
    const cv::Rect frame(0, 0, spec.width, spec.height);
    cv::Rect chest(cv::Point(cvRound(torso.x - 0.07f * h), cvRound(torso.y - 0.12f * h)),
                   cv::Point(cvRound(torso.x + 0.07f * h), cvRound(torso.y + 0.12f * h)));
    cv::Rect legs(cv::Point(cvRound(pose.hip.x - 0.08f * h), cvRound(pose.hip.y + 0.05f * h)),
                  cv::Point(cvRound(pose.hip.x + 0.08f * h), cvRound(pose.hip.y + 0.45f * h)));
    auto behind = [&](const cv::Rect& r) {
      cv::Scalar m = cv::mean(bgr(r & frame));
      return cv::Vec3f(static_cast<float>(m[0]), static_cast<float>(m[1]), static_cast<float>(m[2])) /
             (255.f * 0.947f);
    };
    const float shade = rng.uniform(0, 2) == 0 ? 0.93f : 1.07f;
    auto clamp = [](cv::Vec3f v) {
      for (int k = 0; k < 3; ++k) v[k] = std::min(1.f, std::max(0.f, v[k]));
      return v;
    };
    sc.hero.shirt = clamp(behind(chest) * shade);
    sc.hero.shirt_stripe = clamp(sc.hero.shirt * 1.04f);
    sc.hero.trousers = clamp(behind(legs) * (2.f - shade));
  }
}

ClipGenerator::~ClipGenerator() = default;

void ClipGenerator::render(int t, cv::Mat* bgr, cv::Mat* alpha) const {
  compose(t, true, bgr, alpha, nullptr);
}

void ClipGenerator::render_background(int t, cv::Mat* bgr) const { compose(t, false, bgr, nullptr, nullptr); }

ClipGenerator::Layers ClipGenerator::layers(int t) const {
  cv::Mat bgr, alpha;
  Layers out;
  compose(t, true, &bgr, &alpha, &out);
  return out;
}

void ClipGenerator::compose(int t, bool with_character, cv::Mat* bgr, cv::Mat* alpha, Layers* layers) const {
  Scene& sc = *scene_;
  const cv::Size size(spec_.width, spec_.height);
  // The camera drifts and slowly zooms over the landscape.
  float mx = (sc.landscape.cols - size.width) * 0.5f, my = (sc.landscape.rows - size.height) * 0.5f;
  float ox = mx + 0.8f * mx * std::sin(2 * kPi * t / 200.f + sc.pan_phase);
  float oy = my + 0.5f * my * std::sin(2 * kPi * t / 150.f + sc.pan_phase * 2);
  float zoom = 1.f + 0.04f * std::sin(2 * kPi * t / 180.f);
  if (spec_.still_limb) ox = mx, oy = my, zoom = 1.f;  // a camera on a tripod
  // The zoom scenario zooms about the frame's centre; for the others the
  // correction terms are zero.
  const float z = zoom * camera_zoom(spec_, t);
  const double cx = size.width * 0.5, cy = size.height * 0.5;
  cv::Mat m = (cv::Mat_<double>(2, 3) << 1.0 / z, 0, ox + cx * (1.0 / zoom - 1.0 / z), 0, 1.0 / z,
               oy + cy * (1.0 / zoom - 1.0 / z));
  cv::warpAffine(spec_.close_up ? sc.sky : sc.landscape, sc.frame.colour, m, size,
                 cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
  if (spec_.distractor) {
    clear_layer(&sc.other_layer);
    draw_figure(&sc.other_layer, other_pose(spec_, sc, t), sc.other);
    layer_over(&sc.frame, sc.other_layer);
  }
  if (spec_.crossing) {
    clear_layer(&sc.crosser_layer);
    draw_figure(&sc.crosser_layer, crosser_pose(spec_, sc, t), sc.crosser);
    if (!sc.crosser_in_front) layer_over(&sc.frame, sc.crosser_layer);
  }
  clear_layer(&sc.hero_layer);
  if (with_character) {
    draw_figure(&sc.hero_layer, hero_pose(spec_, sc, t), sc.hero);
    layer_over(&sc.frame, sc.hero_layer);
  }
  if (layers) layers->character = sc.hero_layer.alpha.clone();
  if (alpha) *alpha = cv::Mat::zeros(size, CV_32F);
  const cv::Rect hero_box = sc.hero_layer.painted;
  if (alpha && hero_box.area() > 0) sc.hero_layer.alpha(hero_box).copyTo((*alpha)(hero_box));
  if (spec_.crossing && sc.crosser_in_front) {
    layer_over(&sc.frame, sc.crosser_layer);
    if (alpha) cut_by(alpha, hero_box, sc.crosser_layer);
  }
  if (spec_.occluder) {
    clear_layer(&sc.post_layer);
    draw_post(&sc.post_layer, spec_, sc, t);
    layer_over(&sc.frame, sc.post_layer);
    if (alpha) cut_by(alpha, hero_box, sc.post_layer);
  }
  if (spec_.long_occluder) {
    clear_layer(&sc.wall_layer);
    const float c = wall_centre(spec_, sc, t), half = kWallWidth * spec_.width * 0.5f;
    draw_wall(&sc.wall_layer, c - half, c + half, kWallTop * spec_.height, sc.wall_colour, sc.wall_texture);
    layer_over(&sc.frame, sc.wall_layer);
    if (alpha) cut_by(alpha, hero_box, sc.wall_layer);
  }
  if (layers) {
    if (spec_.crossing)
      layers->lookalike = sc.crosser_layer.alpha.clone();
    else if (spec_.distractor)
      layers->lookalike = sc.other_layer.alpha.clone();
    if (spec_.occluder || spec_.long_occluder) {
      cv::Mat open = cv::Mat::ones(size, CV_32F);
      if (spec_.occluder) cv::multiply(open, 1.f - sc.post_layer.alpha, open);
      if (spec_.long_occluder) cv::multiply(open, 1.f - sc.wall_layer.alpha, open);
      layers->occluder = 1.f - open;
    }
  }
  // Light that breathes a little, and sensor noise.
  float light = 1.f + 0.04f * static_cast<float>(std::sin(t * 0.21 + sc.light_phase));
  cv::RNG rng(spec_.seed * 131 + t);
  int nx = rng.uniform(0, 32), ny = rng.uniform(0, 32);
  bgr->create(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y) {
    const cv::Vec3f* c = sc.frame.colour.ptr<cv::Vec3f>(y);
    const cv::Vec3f* n = sc.noise.ptr<cv::Vec3f>(y + ny) + nx;
    cv::Vec3b* o = bgr->ptr<cv::Vec3b>(y);
    for (int x = 0; x < size.width; ++x) {
      cv::Vec3f v = (c[x] * light + n[x]) * 255.f;
      o[x] = cv::Vec3b(cv::saturate_cast<uchar>(v[0]), cv::saturate_cast<uchar>(v[1]),
                       cv::saturate_cast<uchar>(v[2]));
    }
  }
}

ClipSelection ClipGenerator::selection(int t) const {
  ClipSelection sel;
  sel.anchor_frame = t;
  cv::Mat bgr, alpha;
  render(t, &bgr, &alpha);
  cv::Rect r = cv::boundingRect(alpha > 0.02f);
  // A user's box: a little loose around the character.
  double mx = r.width * 0.06, my = r.height * 0.04;
  double x0 = std::max(0.0, r.x - mx), y0 = std::max(0.0, r.y - my);
  double x1 = std::min<double>(spec_.width, r.x + r.width + mx),
         y1 = std::min<double>(spec_.height, r.y + r.height + my);
  sel.box_x = x0 / spec_.width;
  sel.box_y = y0 / spec_.height;
  sel.box_w = (x1 - x0) / spec_.width;
  sel.box_h = (y1 - y0) / spec_.height;
  cv::Point2f torso, head;
  Pose pose = hero_pose(spec_, *scene_, t);
  figure_landmarks(pose, &torso, &head);
  // In a close-up the middle of the torso is below the frame: the dab goes on the chest.
  // The dabs of a close-up are smaller against the figure, as a user brushes on the screen.
  double scale = spec_.close_up ? 0.5 : 1.0;
  if (spec_.close_up) torso = pose.hip + (torso - pose.hip) * 1.6f;
  double r_torso = scale * 0.04 * pose.height / spec_.width,
         r_head = scale * 0.025 * pose.height / spec_.width;
  sel.dabs.push_back({torso.x / spec_.width, torso.y / spec_.height, r_torso});
  sel.dabs.push_back({head.x / spec_.width, head.y / spec_.height, r_head});
  return sel;
}

std::string ClipGenerator::hint() const {
  const FigureStyle& st = scene_->hero;
  const std::string shirt = colour_name(st.shirt);
  if (!spec_.close_up)
    return "the person in the " + shirt + " shirt and " + colour_name(st.trousers) + " trousers";
  // Only head and shoulders show: the hair and the shirt are what tell.
  std::string hair = colour_name(st.hair);
  if (hair == "orange" || hair == "yellow") hair = "fair";
  return "the person with " + hair + " hair in the " + shirt + " shirt";
}

}  // namespace tessel
