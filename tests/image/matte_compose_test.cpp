// The vectorised render kernels against a plain per-pixel rendition of the
// render formulas, on every byte pair and on random images, bounds and mattes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "image/matte_compose.h"

namespace {

using tessel::GrayView;
using tessel::ImageView;
using tessel::PixelDepth;
using tessel::PixelRect;

// A host-style image: rows bottom first or top first (negative row bytes), padded.
struct TestImage {
  PixelRect bounds;
  bool is_float = false;
  std::ptrdiff_t row_bytes = 0;
  std::vector<unsigned char> storage;
  std::ptrdiff_t origin = 0;

  TestImage(PixelRect b, bool f, bool top_down = false, int padding = 0) : bounds(b), is_float(f) {
    const std::ptrdiff_t packed = static_cast<std::ptrdiff_t>(b.x2 - b.x1) * (f ? 16 : 4);
    const std::ptrdiff_t h = b.y2 - b.y1;
    const std::ptrdiff_t stride = packed + padding;
    storage.assign(static_cast<size_t>(std::max<std::ptrdiff_t>(stride * h, 1)), 0xCD);
    row_bytes = top_down ? -stride : stride;
    origin = top_down ? stride * (h - 1) : 0;
  }
  ImageView view() { return {storage.data() + origin, row_bytes, bounds}; }
  unsigned char* at(int x, int y) {
    return storage.data() + origin + (y - bounds.y1) * row_bytes +
           static_cast<std::ptrdiff_t>(x - bounds.x1) * (is_float ? 16 : 4);
  }
  float channel(int x, int y, int c) {
    if (is_float) {
      float v;
      std::memcpy(&v, at(x, y) + 4 * c, 4);
      return v;
    }
    return static_cast<float>(at(x, y)[c] / 255.0);
  }
};

unsigned char to_byte(float v) {
  if (v < 0.0f) return 0;
  if (v > 1.0f) return 255;
  return static_cast<unsigned char>(static_cast<int>(v * 255.0f + 0.5f));
}

// The render formulas, one pixel at a time.
void reference(TestImage& src, TestImage& out, const GrayView* matte, bool matte_only,
               bool straight = false) {
  const PixelRect o = out.bounds;
  const int W = o.x2 - o.x1, H = o.y2 - o.y1;
  for (int y = o.y1; y < o.y2; ++y) {
    for (int x = o.x1; x < o.x2; ++x) {
      float p[4] = {0, 0, 0, 0};
      if (x >= src.bounds.x1 && x < src.bounds.x2 && y >= src.bounds.y1 && y < src.bounds.y2) {
        for (int c = 0; c < 4; ++c) p[c] = src.channel(x, y, c);
      }
      if (matte) {
        int r = static_cast<int>(static_cast<double>((H - 1) - (y - o.y1)) * matte->height / H);
        int col = static_cast<int>(static_cast<double>(x - o.x1) * matte->width / W);
        r = std::clamp(r, 0, matte->height - 1);
        col = std::clamp(col, 0, matte->width - 1);
        const float m = matte->values[r * matte->width + col] / 255.0f;
        if (matte_only) {
          p[0] = p[1] = p[2] = m;
          p[3] = 1.0f;
        } else if (straight) {
          p[3] = m;
        } else {
          p[0] *= m;
          p[1] *= m;
          p[2] *= m;
          p[3] = m;
        }
      }
      for (int c = 0; c < 4; ++c) {
        if (out.is_float) {
          std::memcpy(out.at(x, y) + 4 * c, &p[c], 4);
        } else {
          out.at(x, y)[c] = to_byte(p[c]);
        }
      }
    }
  }
}

// Output pixels only: row padding is never written by either side.
bool same_pixels(TestImage& a, TestImage& b) {
  const size_t px = a.is_float ? 16 : 4;
  for (int y = a.bounds.y1; y < a.bounds.y2; ++y) {
    for (int x = a.bounds.x1; x < a.bounds.x2; ++x) {
      if (std::memcmp(a.at(x, y), b.at(x, y), px) != 0) {
        ADD_FAILURE() << "pixel " << x << "," << y << " differs";
        return false;
      }
    }
  }
  return true;
}

// Every (channel, matte) byte pair in one 256 x 256 render: column x holds
// channel value x, and output row j reads matte row 255 - j, which holds j.
TEST(MatteCompose, EveryBytePairMatchesTheFloatFormula) {
  const PixelRect b{0, 0, 256, 256};
  TestImage src(b, false);
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      unsigned char* p = src.at(x, y);
      p[0] = static_cast<unsigned char>(x);
      p[1] = static_cast<unsigned char>(255 - x);
      p[2] = static_cast<unsigned char>(x ^ 0x5A);
      p[3] = static_cast<unsigned char>(y);
    }
  }
  std::vector<unsigned char> values(256 * 256);
  for (int r = 0; r < 256; ++r) {
    std::fill_n(&values[r * 256], 256, static_cast<unsigned char>(255 - r));
  }
  const GrayView matte{values.data(), 256, 256};
  for (bool matte_only : {false, true}) {
    TestImage fast(b, false), slow(b, false);
    tessel::compose_matte(src.view(), fast.view(), PixelDepth::Byte, &matte, matte_only);
    reference(src, slow, &matte, matte_only);
    EXPECT_TRUE(same_pixels(fast, slow)) << "matte_only " << matte_only;
  }
  // Without a matte a byte image comes back unchanged.
  TestImage copy(b, false);
  tessel::compose_matte(src.view(), copy.view(), PixelDepth::Byte, nullptr, false);
  EXPECT_TRUE(same_pixels(copy, src));
}

TEST(MatteCompose, HandComputedPixels) {
  const PixelRect b{0, 0, 1, 1};
  TestImage src(b, false);
  const unsigned char pixel[4] = {200, 100, 50, 255};
  std::memcpy(src.at(0, 0), pixel, 4);
  const unsigned char m = 128;
  const GrayView matte{&m, 1, 1};
  TestImage out(b, false);
  tessel::compose_matte(src.view(), out.view(), PixelDepth::Byte, &matte, false);
  EXPECT_EQ(std::vector<int>(out.at(0, 0), out.at(0, 0) + 4), (std::vector<int>{100, 50, 25, 128}));
  tessel::compose_matte(src.view(), out.view(), PixelDepth::Byte, &matte, true);
  EXPECT_EQ(std::vector<int>(out.at(0, 0), out.at(0, 0) + 4), (std::vector<int>{128, 128, 128, 255}));
  // Straight: the colour as it is, the matte as alpha.
  tessel::compose_matte(src.view(), out.view(), PixelDepth::Byte, &matte, false, true);
  EXPECT_EQ(std::vector<int>(out.at(0, 0), out.at(0, 0) + 4), (std::vector<int>{200, 100, 50, 128}));

  // Float channels are neither clamped nor rounded.
  TestImage fsrc(b, true), fout(b, true);
  const float fp[4] = {1.5f, -0.25f, 0.5f, 0.75f};
  std::memcpy(fsrc.at(0, 0), fp, sizeof fp);
  const unsigned char full = 255;
  const GrayView opaque{&full, 1, 1};
  tessel::compose_matte(fsrc.view(), fout.view(), PixelDepth::Float, &opaque, false);
  EXPECT_EQ(fout.channel(0, 0, 0), 1.5f);
  EXPECT_EQ(fout.channel(0, 0, 1), -0.25f);
  EXPECT_EQ(fout.channel(0, 0, 3), 1.0f);
  const GrayView half{&m, 1, 1};
  tessel::compose_matte(fsrc.view(), fout.view(), PixelDepth::Float, &half, false, true);
  EXPECT_EQ(fout.channel(0, 0, 0), 1.5f);
  EXPECT_EQ(fout.channel(0, 0, 1), -0.25f);
  EXPECT_EQ(fout.channel(0, 0, 3), 128.0f / 255.0f);
}

TEST(MatteCompose, TwoByTwoMatteStretchesTopRowToTop) {
  const PixelRect b{0, 0, 4, 4};
  TestImage src(b, false), out(b, false);
  const unsigned char values[4] = {10, 20, 30, 40};  // top row 10 20, bottom row 30 40
  const GrayView matte{values, 2, 2};
  tessel::compose_matte(src.view(), out.view(), PixelDepth::Byte, &matte, true);
  const int expected[4][4] = {{30, 30, 40, 40}, {30, 30, 40, 40}, {10, 10, 20, 20}, {10, 10, 20, 20}};
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(out.at(x, y)[0], expected[y][x]) << x << "," << y;
    }
  }
}

TEST(MatteCompose, RandomImagesBoundsAndMattesMatchTheReference) {
  std::mt19937 rng(20240611);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 400; ++round) {
    const bool is_float = round % 2 == 1;
    const PixelRect ob{pick(-20, 20), pick(-20, 20), 0, 0};
    const PixelRect out_bounds{ob.x1, ob.y1, ob.x1 + pick(1, 70), ob.y1 + pick(1, 40)};
    const int sx = pick(-30, 30), sy = pick(-30, 30);
    const PixelRect src_bounds{sx, sy, sx + pick(0, 70), sy + pick(0, 50)};
    TestImage src(src_bounds, is_float, pick(0, 1) == 1, pick(0, 3) * 4);
    for (auto& byte : src.storage) byte = static_cast<unsigned char>(rng());
    if (is_float) {
      // Keep the floats finite so every value compares by its bits.
      for (size_t i = 0; i + 4 <= src.storage.size(); i += 4) {
        const float v = std::uniform_real_distribution<float>(-2.0f, 3.0f)(rng);
        std::memcpy(&src.storage[i], &v, 4);
      }
    }
    const int mw = pick(1, 90), mh = pick(1, 60);
    std::vector<unsigned char> values(static_cast<size_t>(mw) * mh);
    if (round % 4 < 2) {
      for (auto& v : values) v = static_cast<unsigned char>(rng());
    } else {
      // Runs of 0, of 255 and of edge values, as real mattes have, so that
      // flat and mixed blocks fall at every offset in a row.
      for (size_t i = 0; i < values.size();) {
        const int kind_of_run = pick(0, 2);
        for (int n = pick(1, 40); n > 0 && i < values.size(); --n, ++i) {
          values[i] = kind_of_run == 0 ? 0 : kind_of_run == 1 ? 255 : static_cast<unsigned char>(rng());
        }
      }
    }
    const GrayView matte{values.data(), mw, mh};
    const int kind = pick(0, 3);  // no matte, premultiply, matte only, straight
    const bool top_down = pick(0, 1) == 1;
    const int padding = pick(0, 2) * 16;
    TestImage fast(out_bounds, is_float, top_down, padding);
    TestImage slow(out_bounds, is_float, top_down, padding);
    tessel::compose_matte(src.view(), fast.view(), is_float ? PixelDepth::Float : PixelDepth::Byte,
                          kind == 0 ? nullptr : &matte, kind == 2, kind == 3);
    reference(src, slow, kind == 0 ? nullptr : &matte, kind == 2, kind == 3);
    ASSERT_TRUE(same_pixels(fast, slow)) << "round " << round << " kind " << kind;
  }
}

TEST(MatteCompose, EmptyOutputWritesNothing) {
  TestImage src({0, 0, 2, 2}, false), out({3, 3, 3, 5}, false);
  const auto before = out.storage;
  tessel::compose_matte(src.view(), out.view(), PixelDepth::Byte, nullptr, false);
  EXPECT_EQ(out.storage, before);
}

}  // namespace
