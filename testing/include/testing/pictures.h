// Synthetic pictures that cost what real ones cost, for benchmarks and tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace testing_pictures {

// A character-like matte: an ellipse, opaque inside, soft over a 12-pixel edge.
inline std::vector<unsigned char> ellipse_matte(int w, int h) {
  std::vector<unsigned char> m(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double dx = (x - w / 2.0) / (w * 0.2), dy = (y - h / 2.0) / (h * 0.4);
      const double d = (std::sqrt(dx * dx + dy * dy) - 1.0) * h * 0.4 / 12.0;
      m[static_cast<size_t>(y) * w + x] = static_cast<unsigned char>(255.0 * std::clamp(0.5 - d, 0.0, 1.0));
    }
  }
  return m;
}

}  // namespace testing_pictures
