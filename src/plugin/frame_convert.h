// Turns one host image into the byte image that is sent to the backend:
// at most 1920 pixels on its longest side, top row first, 8-bit RGBA.
#pragma once

#include <cstddef>
#include <vector>

#include "ofx/ofx_api.h"

// What the host hands over for one frame: the address of the bottom-left
// pixel of the bounds, rows stepping upwards by row_bytes (negative when the
// host keeps its rows top first), four channels of bytes or floats.
struct HostImageView {
  const void* data = nullptr;
  OfxRectI bounds{0, 0, 0, 0};
  std::ptrdiff_t row_bytes = 0;
  bool is_float = false;
};

struct WorkingSize {
  int width = 0;
  int height = 0;
  double scale = 1.0;
};

// Longest side at most 1920 pixels, never enlarged except up to 2 x 2.
WorkingSize working_size(int source_width, int source_height);

// 8-bit RGBA, rows packed (width x 4 bytes), top row first.
struct ByteImage {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
};

// Nearest-neighbour scale and conversion into `out` (its buffer is reused).
// False, leaving `out` untouched, for an image with no pixels to read.
bool convert_frame(const HostImageView& image, ByteImage* out);
