// CPU images as the caller hands them to the host.
#include "ofxhost/ofx_host.h"

namespace ofxhost {
namespace {

int bytes_per_channel(const std::string& depth) {
  if (depth == kOfxBitDepthFloat) return 4;
  if (depth == kOfxBitDepthShort || depth == kOfxBitDepthHalf) return 2;
  return 1;
}

}  // namespace

int Image::bytes_per_pixel() const { return 4 * bytes_per_channel(depth); }

void* Image::data() {
  if (null_data || storage.empty()) return nullptr;
  return storage.data() + origin;
}

unsigned char* Image::pixel8(int x, int y) {
  return storage.data() + origin + static_cast<std::ptrdiff_t>(y - bounds.y1) * row_bytes +
         static_cast<std::ptrdiff_t>(x - bounds.x1) * bytes_per_pixel();
}

float* Image::pixelf(int x, int y) { return reinterpret_cast<float*>(pixel8(x, y)); }

Image make_image(OfxRectI bounds, const std::string& depth, bool top_down, int extra_row_bytes) {
  Image img;
  img.depth = depth;
  img.bounds = bounds;
  int w = bounds.x2 > bounds.x1 ? bounds.x2 - bounds.x1 : 0;
  int h = bounds.y2 > bounds.y1 ? bounds.y2 - bounds.y1 : 0;
  // Padding is rounded up to whole channels so float rows stay aligned.
  const int channel = bytes_per_channel(depth);
  const int pad = extra_row_bytes > 0 ? (extra_row_bytes + channel - 1) / channel * channel : 0;
  int row = w * img.bytes_per_pixel() + pad;
  img.storage.assign(static_cast<size_t>(row) * h, 0);
  img.row_bytes = top_down ? -row : row;
  img.origin = top_down && h > 0 ? static_cast<std::ptrdiff_t>(row) * (h - 1) : 0;
  return img;
}

}  // namespace ofxhost
