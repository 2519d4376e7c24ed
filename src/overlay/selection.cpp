#include "overlay/selection.h"

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

double clamp01(double v) {
  if (!(v > 0.0)) return 0.0;  // also catches NaN
  if (v > 1.0) return 1.0;
  return v;
}

bool usable_size(double v) { return v > 0.0 && std::isfinite(v); }

}  // namespace

Project project_from(double width, double height, double offsetX, double offsetY) {
  Project p;
  if (usable_size(width) && usable_size(height)) {
    p.width = width;
    p.height = height;
  }
  p.offsetX = std::isfinite(offsetX) ? offsetX : 0.0;
  p.offsetY = std::isfinite(offsetY) ? offsetY : 0.0;
  return p;
}

Point to_normalised(const Project& project, Point canonical) {
  return {clamp01((canonical.x - project.offsetX) / project.width),
          clamp01(1.0 - (canonical.y - project.offsetY) / project.height)};
}

Point to_canonical(const Project& project, Point normalised) {
  return {project.offsetX + normalised.x * project.width,
          project.offsetY + (1.0 - normalised.y) * project.height};
}

protocol::Box box_from_drag(Point anchor, Point pen) {
  return {std::min(anchor.x, pen.x), std::min(anchor.y, pen.y), std::fabs(pen.x - anchor.x),
          std::fabs(pen.y - anchor.y)};
}

}  // namespace tessel
