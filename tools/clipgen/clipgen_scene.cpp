// A clip: camera over the landscape, the character, a look-alike behind it
// and a post in front of it, composited with the character's exact alpha.
#include "clipgen_parts.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <nlohmann/json.hpp>

#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/selection_document.h"

#include <cmath>
#include <filesystem>

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
};

namespace {

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
  return p;
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
}

ClipGenerator::~ClipGenerator() = default;

void ClipGenerator::render(int t, cv::Mat* bgr, cv::Mat* alpha) const {
  Scene& sc = *scene_;
  const cv::Size size(spec_.width, spec_.height);
  // The camera drifts and slowly zooms over the landscape.
  float mx = (sc.landscape.cols - size.width) * 0.5f, my = (sc.landscape.rows - size.height) * 0.5f;
  float ox = mx + 0.8f * mx * std::sin(2 * kPi * t / 200.f + sc.pan_phase);
  float oy = my + 0.5f * my * std::sin(2 * kPi * t / 150.f + sc.pan_phase * 2);
  float zoom = 1.f + 0.04f * std::sin(2 * kPi * t / 180.f);
  cv::Mat m = (cv::Mat_<double>(2, 3) << 1.0 / zoom, 0, ox, 0, 1.0 / zoom, oy);
  cv::warpAffine(sc.landscape, sc.frame.colour, m, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_REFLECT);
  if (spec_.distractor) {
    clear_layer(&sc.other_layer);
    draw_figure(&sc.other_layer, other_pose(spec_, sc, t), sc.other);
    layer_over(&sc.frame, sc.other_layer);
  }
  clear_layer(&sc.hero_layer);
  draw_figure(&sc.hero_layer, hero_pose(spec_, sc, t), sc.hero);
  layer_over(&sc.frame, sc.hero_layer);
  *alpha = cv::Mat::zeros(size, CV_32F);
  const cv::Rect hero_box = sc.hero_layer.painted;
  if (hero_box.area() > 0) sc.hero_layer.alpha(hero_box).copyTo((*alpha)(hero_box));
  if (spec_.occluder) {
    clear_layer(&sc.post_layer);
    draw_post(&sc.post_layer, spec_, sc, t);
    layer_over(&sc.frame, sc.post_layer);
    const cv::Rect r = sc.post_layer.painted & hero_box;
    if (r.area() > 0) {
      cv::Mat visible = 1.f - sc.post_layer.alpha(r);
      cv::multiply((*alpha)(r), visible, (*alpha)(r));
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
  double r_torso = 0.04 * pose.height / spec_.width, r_head = 0.025 * pose.height / spec_.width;
  sel.dabs.push_back({torso.x / spec_.width, torso.y / spec_.height, r_torso});
  sel.dabs.push_back({head.x / spec_.width, head.y / spec_.height, r_head});
  return sel;
}

bool scenario_spec(const std::string& name, ClipSpec* spec) {
  spec->dance = name == "dance";
  spec->occluder = name == "occluder" || name == "mixed";
  spec->distractor = name == "distractor" || name == "mixed";
  for (const std::string& n : scenario_names()) {
    if (n == name) return true;
  }
  return false;
}

std::vector<std::string> scenario_names() { return {"walk", "dance", "occluder", "distractor", "mixed"}; }

bool write_clip(const ClipSpec& spec, const std::string& dir, bool jpeg, std::string* error) {
  // Missing parent folders are made too, as a user naming a new place expects.
  for (const std::string& d : {dir, dir + "/" + protocol::kFramesDir, dir + "/" + protocol::kAlphaDir}) {
    std::error_code ec;
    std::filesystem::create_directories(d, ec);
    if (!std::filesystem::is_directory(d)) {
      *error = "cannot create " + d;
      return false;
    }
  }
  ClipGenerator gen(spec);
  for (int t = 0; t < spec.frames; ++t) {
    cv::Mat bgr, alpha, alpha8;
    gen.render(t, &bgr, &alpha);
    alpha.convertTo(alpha8, CV_8U, 255.0);
    const std::string name = protocol::index_name(t);
    std::string frame = dir + "/" + protocol::kFramesDir + "/" + name + (jpeg ? ".jpg" : ".png");
    bool ok = jpeg ? cv::imwrite(frame, bgr, {cv::IMWRITE_JPEG_QUALITY, 92}) : cv::imwrite(frame, bgr);
    if (!ok || !cv::imwrite(dir + "/" + protocol::kAlphaDir + "/" + name + ".png", alpha8)) {
      *error = "cannot write frame " + std::to_string(t);
      return false;
    }
  }
  ClipSelection sel = gen.selection(spec.frames / 2);
  nlohmann::json strokes = nlohmann::json::array();
  for (const cv::Vec3d& d : sel.dabs) strokes.push_back({d[0], d[1], d[2]});
  namespace key = protocol::clip_key;
  nlohmann::json doc{{key::kWidth, spec.width},
                     {key::kHeight, spec.height},
                     {key::kFrames, spec.frames},
                     {key::kFps, spec.fps},
                     {key::kSeed, spec.seed},
                     {protocol::key::kAnchorFrame, sel.anchor_frame},
                     {protocol::key::kBbox, protocol::box_json({sel.box_x, sel.box_y, sel.box_w, sel.box_h})},
                     {protocol::key::kStrokes, strokes}};
  if (!protocol::write_clip_document(dir, doc)) {
    *error = "cannot write " + dir + "/" + protocol::kClipDocument;
    return false;
  }
  return true;
}

}  // namespace tessel
