// PNG data URLs of RGBA pictures and grey masks, through stb_image_write.
#include <cstdlib>
#include <memory>

#include "image/image_io.h"

// Debian's libstb carries the implementation; its header only declares this
// function inside the implementation section, so we declare it ourselves.
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int x, int y,
                                                int n, int* out_len);

namespace tessel {
namespace {

constexpr const char* kPngDataPrefix = "data:image/png;base64,";

struct FreeDeleter {
  void operator()(unsigned char* p) const { std::free(p); }
};

std::string png_data_url(const unsigned char* pixels, int stride, int w, int h, int channels) {
  std::string url = kPngDataPrefix;
  if (!pixels || w <= 0 || h <= 0) {
    return url;
  }
  int length = 0;
  std::unique_ptr<unsigned char, FreeDeleter> png(
      stbi_write_png_to_mem(pixels, stride, w, h, channels, &length));
  if (png && length > 0) {
    url += base64_encode(png.get(), static_cast<size_t>(length));
  }
  return url;
}

}  // namespace

std::string rgba_to_png_data_url(const unsigned char* rgba, int w, int h, int stride) {
  if (stride < 0 || (w > 0 && stride < w * 4)) {
    return kPngDataPrefix;
  }
  return png_data_url(rgba, stride, w, h, 4);
}

std::string mask_to_png_data_url(const std::vector<unsigned char>& mask, int w, int h) {
  if (w <= 0 || h <= 0 || mask.size() / static_cast<size_t>(w) < static_cast<size_t>(h)) {
    return kPngDataPrefix;
  }
  return png_data_url(mask.data(), w, w, h, 1);
}

}  // namespace tessel
