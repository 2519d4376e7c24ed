// Matte decoding to one grey channel. The header is read first, so a file
// claiming absurd dimensions is refused before anything is allocated for it.
#include <stb/stb_image.h>

#include <cstdio>
#include <memory>

#include "image/image_io.h"

namespace tessel {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct StbFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};

}  // namespace

std::vector<unsigned char> load_gray(const std::string& path, int* width, int* height) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return {};
  }
  int w = 0;
  int h = 0;
  int channels = 0;
  // stbi_info_from_file leaves the file position where it found it.
  if (!stbi_info_from_file(file.get(), &w, &h, &channels) || w <= 0 || h <= 0 || w > kMaxMatteSide ||
      h > kMaxMatteSide) {
    return {};
  }
  int dw = 0;
  int dh = 0;
  std::unique_ptr<unsigned char, StbFree> pixels(stbi_load_from_file(file.get(), &dw, &dh, &channels, 1));
  if (!pixels || dw != w || dh != h) {
    return {};
  }
  std::vector<unsigned char> gray(pixels.get(), pixels.get() + static_cast<size_t>(w) * h);
  if (width) {
    *width = w;
  }
  if (height) {
    *height = h;
  }
  return gray;
}

}  // namespace tessel
