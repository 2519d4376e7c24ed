// Test clips with exact ground-truth alpha: a character with a soft, hair-like
// fringe moving over a moving procedural landscape, optionally with a
// foreground occluder and a look-alike walking behind it, or posed and framed
// to probe one weakness at a time (a still body with one waving arm, a zoom, a
// close-up against the sky, colours close to the background, a look-alike
// crossing, a long occlusion of the limbs).
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessel {

struct ClipSpec {
  int width = 640;
  int height = 360;
  int frames = 24;
  std::uint64_t seed = 1;
  bool dance = false;       // waving in place instead of walking across
  bool occluder = false;    // a post passes in front of the character
  bool distractor = false;  // a second figure walks behind the character
  double fps = 24.0;
  // Each of these changes the clip only when on, so clips made without them
  // stay as they were for a seed.
  bool still_limb = false;     // stands still under a still camera, one arm waving
  bool zoom = false;           // the camera zooms in to 2x mid-clip and out again
  bool shade_off = false;      // shirt and trousers one shade off what is behind them
  bool close_up = false;       // head and shoulders filling the frame, a big fringe, sky behind
  bool crossing = false;       // a look-alike crosses the character once after the anchor
  bool long_occluder = false;  // a low wall slides past, hiding the legs for 10+ frames
};

// Named presets: "walk", "dance", "occluder", "distractor", "mixed",
// "still-limb", "zoom", "shade-off", "close-up", "crossing", "long-occluder".
bool scenario_spec(const std::string& name, ClipSpec* spec);
std::vector<std::string> scenario_names();

// Seeds of a named scenario: the one tuning may look at, or the held-out ones
// that are only ever reported.
std::vector<std::uint64_t> scenario_seeds(const std::string& name, bool held);

// What a user would mark on the anchor frame, in normalised coordinates.
struct ClipSelection {
  int anchor_frame = 0;
  double box_x = 0, box_y = 0, box_w = 0, box_h = 0;
  std::vector<cv::Vec3d> dabs;  // x, y, signed radius
};

class ClipGenerator {
 public:
  explicit ClipGenerator(const ClipSpec& spec);
  ~ClipGenerator();
  ClipGenerator(const ClipGenerator&) = delete;
  ClipGenerator& operator=(const ClipGenerator&) = delete;

  // Renders frame t: 8-bit BGR picture and the character's alpha (CV_32F,
  // 0..1), the very alpha the picture was composited with. Frames can be
  // rendered in any order, but from one thread at a time (drawing surfaces
  // are reused).
  void render(int t, cv::Mat* bgr, cv::Mat* alpha) const;
  // A box around the character on frame t (with a user's loose margin) and
  // two add dabs on its torso and head.
  ClipSelection selection(int t) const;
  // Frame t with the character left out and everything else as render() draws
  // it, light and sensor noise included: equal to render()'s picture wherever
  // the alpha is 0.
  void render_background(int t, cv::Mat* bgr) const;
  // Coverage (CV_32F) of the layers on frame t before anything cuts them: the
  // character, the look-alike that crosses or walks behind, and the occluders
  // in front (post and wall together). Empty mats for layers the clip lacks.
  struct Layers {
    cv::Mat character, lookalike, occluder;
  };
  Layers layers(int t) const;
  // How a user would describe the character in words, by its colours.
  std::string hint() const;

  struct Scene;

 private:
  void set_up_families(int anchor);
  void compose(int t, bool with_character, cv::Mat* bgr, cv::Mat* alpha, Layers* layers) const;

  ClipSpec spec_;
  std::unique_ptr<Scene> scene_;
};

// Writes frames/NNNNNN.jpg (or .png), alpha/NNNNNN.png and clip.json (with the
// selection and the hint) to `dir`.
bool write_clip(const ClipSpec& spec, const std::string& dir, bool jpeg, std::string* error);

}  // namespace tessel
