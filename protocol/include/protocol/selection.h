// The user's selection as it travels: the box and brush documents kept in the
// plug-in's hidden parameters and sent inside the matte request. Coordinates
// are normalised to the project area, origin top-left, y down.
#pragma once

#include <cstddef>

namespace protocol {

// Box document: left/top edge and non-negative extent.
struct Box {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

// One brush dab: centre and signed radius as a fraction of the project width
// (r > 0 adds, r <= 0 excludes, -0 included). A brush document is an array of
// [x, y, r] entries.
struct Dab {
  double x = 0.0;
  double y = 0.0;
  double r = 0.0;
};

// A brush document never grows beyond this many dabs.
constexpr std::size_t kMaxDabs = 2048;

}  // namespace protocol
