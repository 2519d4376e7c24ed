// Per-row kernels: flat loops over __restrict rows, integer arithmetic for
// bytes, so that the compiler vectorises them. Every kernel gives exactly the
// bytes and floats of the plain per-pixel formulas (the tests compare both).
#include "image/matte_compose.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__GNUC__) && !defined(__clang__)
// -O2 leaves these loops scalar; they are the hot path of every render.
#pragma GCC optimize("O3")
#endif

namespace tessel {
namespace {

using Byte = unsigned char;

// round(v * m / 255) for bytes: the same value as (v/255.0f * m/255.0f) * 255 + 0.5
// truncated, for every pair (checked exhaustively by the tests). All in 16
// bits, so that it vectorises as 16-bit multiplies: t * 257 >> 16 is
// (t + (t >> 8)) >> 8 for every t below 65536.
inline std::uint16_t mul_div255(std::uint16_t v, std::uint16_t m) {
  const auto t = static_cast<std::uint16_t>(v * m + 128);
  return static_cast<std::uint16_t>((std::uint32_t{t} * 257u) >> 16);
}

// Byte rows work on whole channels: `m4` holds each pixel's matte value in all
// four of its bytes and `alpha` is 255 in the alpha bytes, 0 elsewhere, so the
// loops below are plain element-wise ones (255 * m rounds back to m).
void premultiply_row8(const Byte* __restrict s, const Byte* __restrict m4, const Byte* __restrict alpha,
                      Byte* __restrict d, int n) {
  for (int k = 0; k < 4 * n; ++k) {
    d[k] = static_cast<Byte>(mul_div255(s[k] | alpha[k], m4[k]));
  }
}

// Straight colour: the source's colour bytes, the matte in the alpha bytes.
void straight_row8(const Byte* __restrict s, const Byte* __restrict m4, const Byte* __restrict alpha,
                   Byte* __restrict d, int n) {
  for (int k = 0; k < 4 * n; ++k) {
    d[k] = static_cast<Byte>((s[k] & ~alpha[k]) | (m4[k] & alpha[k]));
  }
}

void alpha_only_row8(const Byte* __restrict m4, const Byte* __restrict alpha, Byte* __restrict d, int n) {
  for (int k = 0; k < 4 * n; ++k) {
    d[k] = m4[k] & alpha[k];
  }
}

void matte_only_row8(const Byte* __restrict m4, const Byte* __restrict alpha, Byte* __restrict d, int n) {
  for (int k = 0; k < 4 * n; ++k) {
    d[k] = m4[k] | alpha[k];
  }
}

// Spreads matte bytes over the four channels of their pixels (four byte
// stores vectorise as shuffles; a 32-bit multiply by 0x01010101 does not).
void spread_row8(const Byte* __restrict m, Byte* __restrict m4, int n) {
  for (int i = 0; i < n; ++i) {
    const Byte a = m[i];
    m4[4 * i + 0] = a;
    m4[4 * i + 1] = a;
    m4[4 * i + 2] = a;
    m4[4 * i + 3] = a;
  }
}

// Mattes are mostly flat, 0 outside the character and 255 inside it, so rows
// go in blocks of pixels: a flat block is cleared or taken as it is, and only
// blocks with an edge in them are multiplied. Either way the bytes are those
// of the per-pixel formulas (m = 0 gives 0, m = 255 gives the value back).
constexpr int kBlock = 16;

struct AlphaBlock {
  Byte bytes[4 * kBlock] = {};
  constexpr AlphaBlock() {
    for (int i = 0; i < kBlock; ++i) {
      bytes[4 * i + 3] = 255;
    }
  }
};
constexpr AlphaBlock kAlpha;

enum class Flat { None, Clear, Opaque };

// The block's matte bytes as two 64-bit words: two loads and two tests.
inline Flat flat_block(const Byte* m) {
  static_assert(kBlock == 16, "a block is two 64-bit words of matte");
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  std::memcpy(&lo, m, 8);
  std::memcpy(&hi, m + 8, 8);
  if ((lo | hi) == 0) {
    return Flat::Clear;
  }
  return (lo & hi) == ~std::uint64_t{0} ? Flat::Opaque : Flat::None;
}

// Where the block at i ends a stretch of blocks with edges in them; the
// last short block always belongs to one.
int mixed_run_end(const Byte* m, int i, int n) {
  int end = i + kBlock;
  while (end + kBlock <= n && flat_block(m + end) == Flat::None) {
    end += kBlock;
  }
  return end + kBlock > n ? n : end;
}

// `m4` and `alpha` are row-sized scratch: stretches with edges are spread
// and multiplied whole, as the row kernels do.
void premultiply_blocks8(const Byte* __restrict s, const Byte* __restrict m, Byte* __restrict m4,
                         const Byte* __restrict alpha, Byte* __restrict d, int n) {
  int i = 0;
  while (i < n) {
    const Flat flat = i + kBlock <= n ? flat_block(m + i) : Flat::None;
    if (flat == Flat::Clear) {
      std::memset(d + 4 * i, 0, 4 * kBlock);
      i += kBlock;
    } else if (flat == Flat::Opaque) {
      const Byte* sb = s + 4 * i;
      Byte* db = d + 4 * i;
      for (int k = 0; k < 4 * kBlock; ++k) {
        db[k] = sb[k] | kAlpha.bytes[k];
      }
      i += kBlock;
    } else {
      const int end = mixed_run_end(m, i, n);
      spread_row8(m + i, m4, end - i);
      premultiply_row8(s + 4 * i, m4, alpha, d + 4 * i, end - i);
      i = end;
    }
  }
}

void matte_only_blocks8(const Byte* __restrict m, Byte* __restrict m4, const Byte* __restrict alpha,
                        Byte* __restrict d, int n) {
  int i = 0;
  while (i < n) {
    const Flat flat = i + kBlock <= n ? flat_block(m + i) : Flat::None;
    if (flat == Flat::Clear) {
      std::memcpy(d + 4 * i, kAlpha.bytes, 4 * kBlock);
      i += kBlock;
    } else if (flat == Flat::Opaque) {
      std::memset(d + 4 * i, 255, 4 * kBlock);
      i += kBlock;
    } else {
      const int end = mixed_run_end(m, i, n);
      spread_row8(m + i, m4, end - i);
      matte_only_row8(m4, alpha, d + 4 * i, end - i);
      i = end;
    }
  }
}

void premultiply_rowf(const float* __restrict s, const Byte* __restrict m, float* __restrict d, int n) {
  for (int i = 0; i < n; ++i) {
    const float a = static_cast<float>(m[i]) / 255.0f;
    d[4 * i + 0] = s[4 * i + 0] * a;
    d[4 * i + 1] = s[4 * i + 1] * a;
    d[4 * i + 2] = s[4 * i + 2] * a;
    d[4 * i + 3] = a;
  }
}

void straight_rowf(const float* __restrict s, const Byte* __restrict m, float* __restrict d, int n) {
  for (int i = 0; i < n; ++i) {
    d[4 * i + 0] = s[4 * i + 0];
    d[4 * i + 1] = s[4 * i + 1];
    d[4 * i + 2] = s[4 * i + 2];
    d[4 * i + 3] = static_cast<float>(m[i]) / 255.0f;
  }
}

void alpha_only_rowf(const Byte* __restrict m, float* __restrict d, int n) {
  for (int i = 0; i < n; ++i) {
    const float a = static_cast<float>(m[i]) / 255.0f;
    d[4 * i + 0] = 0.0f;
    d[4 * i + 1] = 0.0f;
    d[4 * i + 2] = 0.0f;
    d[4 * i + 3] = a;
  }
}

void matte_only_rowf(const Byte* __restrict m, float* __restrict d, int n) {
  for (int i = 0; i < n; ++i) {
    const float a = static_cast<float>(m[i]) / 255.0f;
    d[4 * i + 0] = a;
    d[4 * i + 1] = a;
    d[4 * i + 2] = a;
    d[4 * i + 3] = 1.0f;
  }
}

// Columns [first, last) of the output (relative to out.x1) that the source covers.
struct Span {
  int first = 0;
  int last = 0;
};

Span source_columns(const PixelRect& src, const PixelRect& out, int width) {
  const auto clampw = [width](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, width));
  };
  Span span{clampw(std::int64_t{src.x1} - out.x1), clampw(std::int64_t{src.x2} - out.x1)};
  span.last = std::max(span.first, span.last);
  return span;
}

// The matte row or column an output row or column reads: i * size / count in
// double precision, truncated, clamped to the matte.
int matte_index(std::int64_t i, int size, int count) {
  const double v = static_cast<double>(i) * size / count;
  return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(size - 1)));
}

struct Rows {
  const ImageView& src;
  const ImageView& out;
  std::size_t pixel_bytes;
  int width;
  Span span;

  Byte* out_row(int j) const {
    return static_cast<Byte*>(out.data) + static_cast<std::ptrdiff_t>(j) * out.row_bytes;
  }
  // Source row under output row j, at output column span.first; null when the
  // source has no such row.
  const Byte* src_row(int j) const {
    const std::int64_t y = std::int64_t{out.bounds.y1} + j;
    if (y < src.bounds.y1 || y >= src.bounds.y2 || span.first == span.last) {
      return nullptr;
    }
    const std::int64_t x = std::int64_t{out.bounds.x1} + span.first - src.bounds.x1;
    return static_cast<const Byte*>(src.data) + (y - src.bounds.y1) * src.row_bytes +
           x * static_cast<std::int64_t>(pixel_bytes);
  }
};

// A row copy in blocks of 64 bytes, each loaded whole before it is stored.
// memcpy picks rep movsb for rows of 4 KB and more, which runs several times
// slower on some AMD cores when source and output sit at the same offset in
// their pages, as separately allocated host images do.
void copy_bytes(Byte* __restrict d, const Byte* __restrict s, std::size_t n) {
  constexpr std::size_t kBlock = 64;
  std::size_t k = 0;
  for (; k + kBlock <= n; k += kBlock) {
    unsigned char block[kBlock];
    std::memcpy(block, s + k, kBlock);
    std::memcpy(d + k, block, kBlock);
  }
  std::memcpy(d + k, s + k, n - k);
}

void copy_frame(const Rows& rows, int height) {
  const std::size_t px = rows.pixel_bytes;
  for (int j = 0; j < height; ++j) {
    Byte* d = rows.out_row(j);
    const Byte* s = rows.src_row(j);
    if (!s) {
      std::memset(d, 0, px * rows.width);
      continue;
    }
    std::memset(d, 0, px * rows.span.first);
    copy_bytes(d + px * rows.span.first, s, px * (rows.span.last - rows.span.first));
    std::memset(d + px * rows.span.last, 0, px * (rows.width - rows.span.last));
  }
}

// Gives, for each output row, the matte row it reads stretched to the output
// width; a stretched row is gathered once per distinct matte row, and a matte
// as wide as the output is read in place.
struct MatteRows {
  const GrayView& matte;
  int width;
  int height;
  std::vector<int> columns;
  std::vector<Byte> stretched;
  int gathered = -1;

  MatteRows(const GrayView& m, int w, int h) : matte(m), width(w), height(h) {
    if (matte.width != width) {
      columns.resize(width);
      for (int i = 0; i < width; ++i) {
        columns[i] = matte_index(i, matte.width, width);
      }
      stretched.resize(width);
    }
  }

  // Row index and values under output row j; the top output row
  // (j = height - 1) reads the matte's top row.
  const Byte* row(int j, int* index) {
    const int r = matte_index(height - 1 - j, matte.height, height);
    *index = r;
    const Byte* m = matte.values + static_cast<std::ptrdiff_t>(r) * matte.width;
    if (columns.empty()) {
      return m;
    }
    if (r != gathered) {
      for (int i = 0; i < width; ++i) {
        stretched[i] = m[columns[i]];
      }
      gathered = r;
    }
    return stretched.data();
  }
};

void matte_frame8(const Rows& rows, int height, const GrayView& matte, bool matte_only, bool straight) {
  const int width = rows.width;
  const Span span = rows.span;
  MatteRows matte_rows(matte, width, height);
  // Whole-row kernels read the matte spread over four bytes a pixel, spread
  // once per matte row; the block kernels spread it block by block.
  std::vector<Byte> m4(4 * static_cast<std::size_t>(width));
  std::vector<Byte> scratch(4 * static_cast<std::size_t>(width));
  std::vector<Byte> alpha(4 * static_cast<std::size_t>(width), 0);
  for (int i = 0; i < width; ++i) {
    alpha[4 * i + 3] = 255;
  }
  int spread = -1;
  const auto spread_of = [&](const Byte* m, int r) {
    if (r != spread) {
      spread_row8(m, m4.data(), width);
      spread = r;
    }
    return m4.data();
  };
  for (int j = 0; j < height; ++j) {
    int r = 0;
    const Byte* m = matte_rows.row(j, &r);
    Byte* d = rows.out_row(j);
    if (matte_only) {
      matte_only_blocks8(m, scratch.data(), alpha.data(), d, width);
      continue;
    }
    const Byte* s = rows.src_row(j);
    if (!s) {
      alpha_only_row8(spread_of(m, r), alpha.data(), d, width);
      continue;
    }
    const std::size_t a = 4 * static_cast<std::size_t>(span.first);
    const std::size_t b = 4 * static_cast<std::size_t>(span.last);
    const int n = span.last - span.first;
    if (span.first > 0 || span.last < width) {
      const Byte* spread_m = spread_of(m, r);
      alpha_only_row8(spread_m, alpha.data(), d, span.first);
      alpha_only_row8(spread_m + b, alpha.data() + b, d + b, width - span.last);
    }
    if (straight) {
      straight_row8(s, spread_of(m, r) + a, alpha.data() + a, d + a, n);
    } else {
      premultiply_blocks8(s, m + span.first, scratch.data(), alpha.data(), d + a, n);
    }
  }
}

void matte_framef(const Rows& rows, int height, const GrayView& matte, bool matte_only, bool straight) {
  const int width = rows.width;
  const Span span = rows.span;
  MatteRows matte_rows(matte, width, height);
  for (int j = 0; j < height; ++j) {
    int r = 0;
    const Byte* m = matte_rows.row(j, &r);
    float* d = reinterpret_cast<float*>(rows.out_row(j));
    if (matte_only) {
      matte_only_rowf(m, d, width);
      continue;
    }
    const float* s = reinterpret_cast<const float*>(rows.src_row(j));
    if (!s) {
      alpha_only_rowf(m, d, width);
      continue;
    }
    alpha_only_rowf(m, d, span.first);
    (straight ? straight_rowf : premultiply_rowf)(s, m + span.first, d + 4 * span.first,
                                                  span.last - span.first);
    alpha_only_rowf(m + span.last, d + 4 * span.last, width - span.last);
  }
}

}  // namespace

void compose_matte(const ImageView& src, const ImageView& out, PixelDepth depth, const GrayView* matte,
                   bool matte_only, bool straight) {
  const std::int64_t width64 = std::int64_t{out.bounds.x2} - out.bounds.x1;
  const std::int64_t height64 = std::int64_t{out.bounds.y2} - out.bounds.y1;
  if (width64 <= 0 || height64 <= 0 || width64 > INT32_MAX || height64 > INT32_MAX) {
    return;
  }
  const int width = static_cast<int>(width64);
  const int height = static_cast<int>(height64);
  const Rows rows{src, out, depth == PixelDepth::Float ? 16u : 4u, width,
                  source_columns(src.bounds, out.bounds, width)};
  const bool has_matte = matte && matte->values && matte->width > 0 && matte->height > 0;
  if (!has_matte) {
    copy_frame(rows, height);
  } else if (depth == PixelDepth::Float) {
    matte_framef(rows, height, *matte, matte_only, straight);
  } else {
    matte_frame8(rows, height, *matte, matte_only, straight);
  }
}

}  // namespace tessel
