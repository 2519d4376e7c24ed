// Test clips with exact ground-truth alpha: a character with a soft, hair-like
// fringe moving over a moving procedural landscape, optionally with a
// foreground occluder and a look-alike walking behind it.
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
};

// Named presets: "walk", "dance", "occluder", "distractor", "mixed".
bool scenario_spec(const std::string& name, ClipSpec* spec);
std::vector<std::string> scenario_names();

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

  struct Scene;

 private:
  ClipSpec spec_;
  std::unique_ptr<Scene> scene_;
};

// Writes frames/NNNNNN.jpg (or .png), alpha/NNNNNN.png and clip.json to `dir`.
bool write_clip(const ClipSpec& spec, const std::string& dir, bool jpeg, std::string* error);

}  // namespace tessel
