#include "plugin/frame_convert.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr double kLongestSide = 1920.0;

// Clamped to [0, 1] and rounded half up; a NaN fails both tests and gives 0.
inline unsigned char float_to_byte(float v) {
  float c = v > 1.0f ? 1.0f : v;
  c = c >= 0.0f ? c : 0.0f;
  return static_cast<unsigned char>(static_cast<int>(c * 255.0f + 0.5f));
}

void convert_row_bytes(const unsigned char* __restrict src, const int* __restrict offsets, int width,
                       unsigned char* __restrict dst) {
  for (int x = 0; x < width; ++x) {
    std::memcpy(dst + 4 * x, src + offsets[x], 4);
  }
}

#if defined(__SSE2__)
// Four samples at once, the same steps as float_to_byte: max() takes its second
// operand when the first is NaN, so NaN becomes 0 as in the scalar rule.
inline __m128i floats_to_ints(__m128 v) {
  v = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
}

inline void store16(unsigned char* dst, __m128i a, __m128i b, __m128i c, __m128i d) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
}
#endif

void convert_row_floats(const float* __restrict src, const int* __restrict offsets, int width,
                        unsigned char* __restrict dst) {
  int x = 0;
#if defined(__SSE2__)
  for (; x + 4 <= width; x += 4) {
    store16(dst + 4 * x, floats_to_ints(_mm_loadu_ps(src + offsets[x])),
            floats_to_ints(_mm_loadu_ps(src + offsets[x + 1])),
            floats_to_ints(_mm_loadu_ps(src + offsets[x + 2])),
            floats_to_ints(_mm_loadu_ps(src + offsets[x + 3])));
  }
#endif
  for (; x < width; ++x) {
    const float* __restrict p = src + offsets[x];
    unsigned char* __restrict q = dst + 4 * x;
    q[0] = float_to_byte(p[0]);
    q[1] = float_to_byte(p[1]);
    q[2] = float_to_byte(p[2]);
    q[3] = float_to_byte(p[3]);
  }
}

// Whole rows of floats with no horizontal scaling: one flat loop over samples.
void convert_samples(const float* __restrict src, int count, unsigned char* __restrict dst) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= count; i += 16) {
    store16(dst + i, floats_to_ints(_mm_loadu_ps(src + i)), floats_to_ints(_mm_loadu_ps(src + i + 4)),
            floats_to_ints(_mm_loadu_ps(src + i + 8)), floats_to_ints(_mm_loadu_ps(src + i + 12)));
  }
#endif
  for (; i < count; ++i) {
    dst[i] = float_to_byte(src[i]);
  }
}

}  // namespace

WorkingSize working_size(int source_width, int source_height) {
  WorkingSize size;
  const int longest = std::max(source_width, source_height);
  size.scale = longest > 0 ? std::min(1.0, kLongestSide / longest) : 1.0;
  size.width = std::max(2, static_cast<int>(std::trunc(source_width * size.scale)));
  size.height = std::max(2, static_cast<int>(std::trunc(source_height * size.scale)));
  return size;
}

bool convert_frame(const HostImageView& image, ByteImage* out) {
  const int64_t w64 = int64_t{image.bounds.x2} - image.bounds.x1;
  const int64_t h64 = int64_t{image.bounds.y2} - image.bounds.y1;
  if (!image.data || w64 <= 0 || h64 <= 0 || w64 > INT_MAX || h64 > INT_MAX) {
    return false;
  }
  const int w = static_cast<int>(w64);
  const int h = static_cast<int>(h64);
  const WorkingSize size = working_size(w, h);

  // Source offset of every output column, in samples from the row start.
  std::vector<int> offsets(size.width);
  for (int x = 0; x < size.width; ++x) {
    const int sx = std::min(static_cast<int>(std::trunc(x / size.scale)), w - 1);
    offsets[x] = sx * 4;
  }
  const bool unscaled = size.width == w;

  out->width = size.width;
  out->height = size.height;
  out->pixels.resize(static_cast<size_t>(size.width) * size.height * 4);
  const auto* base = static_cast<const unsigned char*>(image.data);
  for (int y = 0; y < size.height; ++y) {
    const int sy = std::min(static_cast<int>(std::trunc(y / size.scale)), h - 1);
    // Rows run bottom to top in the host's image, so output row 0 reads the last source row.
    const unsigned char* src = base + static_cast<std::ptrdiff_t>(h - 1 - sy) * image.row_bytes;
    unsigned char* dst = out->pixels.data() + static_cast<size_t>(y) * size.width * 4;
    if (image.is_float) {
      const auto* row = reinterpret_cast<const float*>(src);
      if (unscaled) {
        convert_samples(row, size.width * 4, dst);
      } else {
        convert_row_floats(row, offsets.data(), size.width, dst);
      }
    } else if (unscaled) {
      std::memcpy(dst, src, static_cast<size_t>(size.width) * 4);
    } else {
      convert_row_bytes(src, offsets.data(), size.width, dst);
    }
  }
  return true;
}
