// The two selection documents kept in the hidden parameters bbox_json and
// brush_json, and the mapping between the host's canonical coordinates and the
// normalised project coordinates they are written in (origin top-left, y down).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tessel {

// The project area in canonical coordinates.
struct Project {
  double width = 1920.0;
  double height = 1080.0;
  double offsetX = 0.0;
  double offsetY = 0.0;
};

struct Point {
  double x = 0.0;
  double y = 0.0;
};

// Box document: left/top edge and non-negative extent, normalised.
struct Box {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

// One brush dab: centre (normalised) and signed radius (fraction of the project
// width; r > 0 adds, r <= 0 excludes, -0 included).
struct Dab {
  double x = 0.0;
  double y = 0.0;
  double r = 0.0;
};

// A brush document never grows beyond this many dabs.
constexpr std::size_t kMaxDabs = 2048;

// Project geometry as the host reports it; a size that is not a positive finite
// number on either axis falls back to 1920 x 1080, a non-finite offset to 0.
Project project_from(double width, double height, double offsetX, double offsetY);

// Canonical point -> normalised project point, each axis clamped to [0, 1]
// (a NaN coordinate lands on 0).
Point to_normalised(const Project& project, Point canonical);
// Normalised point -> canonical point, unclamped.
Point to_canonical(const Project& project, Point normalised);

// The box spanned by the pen-down anchor and the current pen position.
Box box_from_drag(Point anchor, Point pen);
// Compact text with keys in ascending order: {"h":..,"w":..,"x":..,"y":..}.
std::string box_text(const Box& box);
// The stored box, present only when the text is an object whose "w" is > 0.
// Members that are missing or not numbers read as 0.
std::optional<Box> read_box(const std::string& text);

// The dabs a reader draws, in order: entries that are not arrays, hold fewer
// than three elements or whose first three elements are not all numbers are skipped.
std::vector<Dab> read_dabs(const std::string& text);
// The brush document with one more dab: a text that is not an array starts
// over from an empty one; existing entries are kept as they are. Nothing
// (nullopt) when the document already holds kMaxDabs entries or more.
std::optional<std::string> append_dab(const std::string& text, const Dab& dab);

}  // namespace tessel
