#include "plugin/frame_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// A host-style image: rows stored bottom row first (or top first, with
// negative row bytes), optionally padded, holding a known pattern.
struct FakeImage {
  int w = 0, h = 0;
  bool is_float = false;
  bool top_down = false;
  int padding = 0;
  std::vector<unsigned char> storage;

  int stride() const { return w * 4 * (is_float ? 4 : 1) + padding; }
  // Address of pixel (x, y) with y counted from the bottom, as the host counts.
  unsigned char* at(int x, int y) {
    const int row = top_down ? h - 1 - y : y;
    return storage.data() + static_cast<size_t>(row) * stride() + x * 4 * (is_float ? 4 : 1);
  }
  HostImageView view(int x1 = 0, int y1 = 0) {
    HostImageView v;
    v.bounds = {x1, y1, x1 + w, y1 + h};
    v.is_float = is_float;
    v.row_bytes = top_down ? -stride() : stride();
    v.data = at(0, 0);
    return v;
  }
};

FakeImage make(int w, int h, bool is_float, bool top_down = false, int padding = 0) {
  FakeImage img{w, h, is_float, top_down, padding, {}};
  img.storage.assign(static_cast<size_t>(img.stride()) * h, 0xEE);
  return img;
}

// A distinct byte for every pixel and channel of a small picture.
unsigned char pattern(int x, int y_from_top, int c) {
  return static_cast<unsigned char>(x * 7 + y_from_top * 31 + c * 61);
}

TEST(FrameConvert, WorkingSizeCapsTheLongestSideAt1920) {
  struct Case {
    int w, h, W, H;
  };
  const Case cases[] = {
      {3840, 2160, 1920, 1080}, {1280, 720, 1280, 720},  {1, 1, 2, 2},       {2148, 1000, 1919, 893},
      {1920, 1080, 1920, 1080}, {1000, 3000, 640, 1920}, {4000, 1, 1920, 2}, {1, 5000, 2, 1920},
  };
  for (const Case& c : cases) {
    WorkingSize s = working_size(c.w, c.h);
    EXPECT_EQ(s.width, c.W) << c.w << "x" << c.h;
    EXPECT_EQ(s.height, c.H) << c.w << "x" << c.h;
  }
}

TEST(FrameConvert, BytesAreCopiedExactlyAndTurnedTopDown) {
  for (bool top_down : {false, true}) {
    for (int padding : {0, 12}) {
      FakeImage img = make(7, 5, false, top_down, padding);
      for (int y = 0; y < img.h; ++y) {
        for (int x = 0; x < img.w; ++x) {
          for (int c = 0; c < 4; ++c) {
            img.at(x, img.h - 1 - y)[c] = pattern(x, y, c);
          }
        }
      }
      ByteImage out;
      ASSERT_TRUE(convert_frame(img.view(-3, 40), &out));
      ASSERT_EQ(out.width, 7);
      ASSERT_EQ(out.height, 5);
      ASSERT_EQ(out.pixels.size(), 7u * 5u * 4u);
      for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
          for (int c = 0; c < 4; ++c) {
            ASSERT_EQ(out.pixels[(y * 7 + x) * 4 + c], pattern(x, y, c))
                << "x " << x << " y " << y << " c " << c << " top_down " << top_down;
          }
        }
      }
    }
  }
}

TEST(FrameConvert, EveryByteValueSurvivesTheConversion) {
  FakeImage img = make(64, 4, false);
  for (int i = 0; i < 256; ++i) {
    img.storage[i] = static_cast<unsigned char>(i);
  }
  ByteImage out;
  ASSERT_TRUE(convert_frame(img.view(), &out));
  // Source row 0 is the bottom, so it lands in the last output row.
  EXPECT_EQ(0, std::memcmp(out.pixels.data() + 3 * 64 * 4, img.storage.data(), 256));
}

TEST(FrameConvert, FloatsAreClampedAndRoundedHalfUp) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float samples[] = {1.5f,   -0.2f,  0.5f,    0.0f,  1.0f,          nan,  inf,   -inf,
                           0.998f, 0.001f, 0.0019f, 0.25f, 1.0f / 255.0f, 0.7f, -0.0f, 2.0f};
  const unsigned char expected[] = {255, 0, 128, 0, 255, 0, 255, 0, 254, 0, 0, 64, 1, 179, 0, 255};
  // Both the unscaled and the scaled paths: 2 x 2 stays, 1 x 1 is repeated.
  FakeImage img = make(2, 2, true);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 2; ++x) {
      std::memcpy(img.at(x, y), samples + (y * 2 + x) * 4, 4 * sizeof(float));
    }
  }
  ByteImage out;
  ASSERT_TRUE(convert_frame(img.view(), &out));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 2; ++x) {
      for (int c = 0; c < 4; ++c) {
        const int source = ((1 - y) * 2 + x) * 4 + c;
        EXPECT_EQ(out.pixels[(y * 2 + x) * 4 + c], expected[source]) << "sample " << samples[source];
      }
    }
  }

  // The scaled path reads every other pixel of a 3840-wide row.
  FakeImage wide = make(3840, 1, true);
  for (int x = 0; x < 4; ++x) {
    std::memcpy(wide.at(2 * x, 0), samples + x * 4, 4 * sizeof(float));
  }
  ASSERT_TRUE(convert_frame(wide.view(), &out));
  ASSERT_EQ(out.width, 1920);
  ASSERT_EQ(out.height, 2);
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(out.pixels[row * 1920 * 4 + i], expected[i]) << "sample " << samples[i];
    }
  }

  FakeImage one = make(1, 1, true);
  const float pixel[4] = {1.5f, -0.2f, 0.5f, 0.25f};
  std::memcpy(one.at(0, 0), pixel, sizeof pixel);
  ASSERT_TRUE(convert_frame(one.view(), &out));
  ASSERT_EQ(out.width, 2);
  ASSERT_EQ(out.height, 2);
  const std::vector<unsigned char> repeated = {255, 0, 128, 64, 255, 0, 128, 64,
                                               255, 0, 128, 64, 255, 0, 128, 64};
  EXPECT_EQ(out.pixels, repeated);
}

TEST(FrameConvert, LargeFramesAreSampledNearestFromTheTopLeft) {
  for (bool is_float : {false, true}) {
    FakeImage img = make(3840, 216, is_float);
    // Each channel encodes the source column or row, so the sample taken is visible.
    for (int y = 0; y < img.h; ++y) {
      for (int x = 0; x < img.w; ++x) {
        const int top = img.h - 1 - y;
        const unsigned char v[4] = {
            static_cast<unsigned char>(x % 251), static_cast<unsigned char>(top % 241),
            static_cast<unsigned char>(x / 251), static_cast<unsigned char>(top / 241)};
        if (is_float) {
          float* p = reinterpret_cast<float*>(img.at(x, y));
          for (int c = 0; c < 4; ++c) {
            p[c] = v[c] / 255.0f;
          }
        } else {
          std::memcpy(img.at(x, y), v, 4);
        }
      }
    }
    ByteImage out;
    ASSERT_TRUE(convert_frame(img.view(), &out));
    ASSERT_EQ(out.width, 1920);
    ASSERT_EQ(out.height, 108);
    for (int y : {0, 1, 53, 107}) {
      for (int x : {0, 1, 977, 1919}) {
        const unsigned char* p = out.pixels.data() + (static_cast<size_t>(y) * 1920 + x) * 4;
        const int sx = 2 * x, sy = 2 * y;
        EXPECT_EQ(p[0], sx % 251);
        EXPECT_EQ(p[1], sy % 241);
        EXPECT_EQ(p[2], sx / 251);
        EXPECT_EQ(p[3], sy / 241) << "x " << x << " y " << y << " float " << is_float;
      }
    }
  }
}

TEST(FrameConvert, ImagesWithoutPixelsAreRefused) {
  FakeImage img = make(4, 4, false);
  ByteImage out;
  out.width = 9;
  HostImageView empty_width = img.view();
  empty_width.bounds.x2 = empty_width.bounds.x1;
  HostImageView inverted = img.view();
  inverted.bounds.y2 = inverted.bounds.y1 - 3;
  HostImageView no_data = img.view();
  no_data.data = nullptr;
  HostImageView overflowing = img.view();
  overflowing.bounds.x1 = -2147483647;
  overflowing.bounds.x2 = 2147483647;
  for (const HostImageView& v : {empty_width, inverted, no_data, overflowing}) {
    EXPECT_FALSE(convert_frame(v, &out));
  }
  EXPECT_EQ(out.width, 9);
  EXPECT_TRUE(out.pixels.empty());
}

}  // namespace
