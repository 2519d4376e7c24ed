// The render's pixel work: the source premultiplied by a matte stretched over
// the output bounds, the matte alone, or a plain copy of the source.
#pragma once

#include <cstddef>

namespace tessel {

struct PixelRect {
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // x2, y2 exclusive; row y1 is the bottom row
};

// An RGBA image as an OpenFX host lays it out: `data` points at pixel (x1, y1)
// and rows step by row_bytes (negative when the rows are stored top down).
struct ImageView {
  void* data = nullptr;
  std::ptrdiff_t row_bytes = 0;
  PixelRect bounds;
};

// Grey matte, rows top first, packed; 255 is fully the character.
struct GrayView {
  const unsigned char* values = nullptr;
  int width = 0;
  int height = 0;
};

enum class PixelDepth { Byte, Float };

// Fills every output pixel. Without a matte the output is the source where the
// two overlap and transparent black elsewhere. With one, matte_only gives
// (m, m, m, 1) and otherwise alpha is replaced by m and the colour is
// premultiplied by it, or left as it is when the host wants `straight`
// (unpremultiplied) output. Source pixels are read at the output's depth.
void compose_matte(const ImageView& src, const ImageView& out, PixelDepth depth, const GrayView* matte,
                   bool matte_only, bool straight = false);

}  // namespace tessel
