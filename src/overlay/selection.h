// Where the selection documents meet the viewer: the mapping between the
// host's canonical coordinates and the normalised project coordinates the
// documents are written in (origin top-left, y down).
#pragma once

#include "protocol/selection.h"

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

// Project geometry as the host reports it; a size that is not a positive finite
// number on either axis falls back to 1920 x 1080, a non-finite offset to 0.
Project project_from(double width, double height, double offsetX, double offsetY);

// Canonical point -> normalised project point, each axis clamped to [0, 1]
// (a NaN coordinate lands on 0).
Point to_normalised(const Project& project, Point canonical);
// Normalised point -> canonical point, unclamped.
Point to_canonical(const Project& project, Point normalised);

// The box spanned by the pen-down anchor and the current pen position.
protocol::Box box_from_drag(Point anchor, Point pen);

}  // namespace tessel
