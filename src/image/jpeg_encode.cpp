// Frame JPEG encoding with libturbojpeg: RGBX input so alpha is ignored, full
// chroma resolution, rows top first.
#include <turbojpeg.h>

#include <algorithm>
#include <climits>

#include "image/image_io.h"

namespace tessel {
namespace {

struct Compressor {
  tjhandle handle = tjInitCompress();
  ~Compressor() {
    if (handle) {
      tjDestroy(handle);
    }
  }
};

struct JpegBuffer {
  unsigned char* data = nullptr;
  ~JpegBuffer() { tjFree(data); }
};

}  // namespace

std::vector<unsigned char> rgba_to_jpeg(const unsigned char* rgba, int w, int h, int quality) {
  if (!rgba || w <= 0 || h <= 0 || w > INT_MAX / 4) {
    return {};
  }
  Compressor compressor;
  if (!compressor.handle) {
    return {};
  }
  JpegBuffer jpeg;
  unsigned long size = 0;
  const int rc = tjCompress2(compressor.handle, rgba, w, w * 4, h, TJPF_RGBX, &jpeg.data, &size, TJSAMP_444,
                             std::clamp(quality, 1, 100), 0);
  if (rc != 0 || !jpeg.data || size == 0) {
    return {};
  }
  return std::vector<unsigned char>(jpeg.data, jpeg.data + size);
}

}  // namespace tessel
