// Encoders checked by independent decoders (libjpeg, libpng); the grey matte
// decoder checked on files libpng wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/image_io.h"
#include "testing/png_testing.h"

namespace {

using testing_png::Picture;

std::string b64(const std::string& text) {
  return tessel::base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(Base64, MatchesRfc4648Vectors) {
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("foob"), "Zm9vYg==");
  EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
  const unsigned char high[] = {0xFB, 0xFF, 0xBF, 0x00, 0x10};
  EXPECT_EQ(tessel::base64_encode(high, sizeof high), "+/+/ABA=");
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::vector<unsigned char> bytes(256 * 3 + 1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(i * 37 + (i >> 8));
  }
  for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, bytes.size()}) {
    const std::string text = tessel::base64_encode(bytes.data(), n);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(testing_png::base64_decode(text), std::vector<unsigned char>(bytes.begin(), bytes.begin() + n));
  }
}

// RGBA picture whose top half is reddish and bottom half bluish, with a
// smooth ramp across, alpha varying.
std::vector<unsigned char> test_frame(int w, int h, unsigned char alpha_seed) {
  std::vector<unsigned char> rgba(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      unsigned char* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      const int ramp = x * 100 / w;
      p[0] = static_cast<unsigned char>(y < h / 2 ? 200 + ramp / 2 : 20);
      p[1] = static_cast<unsigned char>(60 + ramp);
      p[2] = static_cast<unsigned char>(y < h / 2 ? 30 : 210);
      p[3] = static_cast<unsigned char>(alpha_seed + x * 7 + y * 13);
    }
  }
  return rgba;
}

TEST(RgbaToJpeg, DecodesCloseToTheInputWithTopRowOnTop) {
  const int w = 64, h = 48;
  const auto rgba = test_frame(w, h, 0);
  const auto jpeg = tessel::rgba_to_jpeg(rgba.data(), w, h, 92);
  ASSERT_GE(jpeg.size(), 2u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  std::vector<int> sampling;
  const Picture picture = testing_png::read_jpeg(jpeg, &sampling);
  ASSERT_EQ(picture.width, w);
  ASSERT_EQ(picture.height, h);
  ASSERT_EQ(picture.channels, 3);
  // Full chroma resolution: every component sampled 1x1.
  EXPECT_EQ(sampling, std::vector<int>(6, 1));
  double total = 0;
  int worst = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int a = rgba[(static_cast<size_t>(y) * w + x) * 4 + c];
        const int b = picture.pixels[(static_cast<size_t>(y) * w + x) * 3 + c];
        worst = std::max(worst, std::abs(a - b));
        total += std::abs(a - b);
      }
    }
  }
  EXPECT_LE(worst, 40);  // ringing at the hard red/blue edge only
  EXPECT_LT(total / (w * h * 3), 2.0);
  // Top row red, bottom row blue.
  EXPECT_GT(picture.pixels[0], 180);
  EXPECT_LT(picture.pixels[2], 60);
  const size_t last = (static_cast<size_t>(h - 1) * w) * 3;
  EXPECT_LT(picture.pixels[last], 60);
  EXPECT_GT(picture.pixels[last + 2], 180);
}

TEST(RgbaToJpeg, IgnoresAlphaAndHonoursQuality) {
  const int w = 40, h = 30;
  const auto a = tessel::rgba_to_jpeg(test_frame(w, h, 0).data(), w, h, 92);
  const auto b = tessel::rgba_to_jpeg(test_frame(w, h, 99).data(), w, h, 92);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  const auto low = tessel::rgba_to_jpeg(test_frame(w, h, 0).data(), w, h, 20);
  EXPECT_LT(low.size(), a.size());
}

TEST(RgbaToJpeg, RefusesEmptyInput) {
  const unsigned char pixels[16] = {};
  EXPECT_FALSE(tessel::rgba_to_jpeg(pixels, 2, 2, 92).empty());
  EXPECT_TRUE(tessel::rgba_to_jpeg(pixels, 0, 2, 92).empty());
  EXPECT_TRUE(tessel::rgba_to_jpeg(pixels, 2, 0, 92).empty());
  EXPECT_TRUE(tessel::rgba_to_jpeg(pixels, -1, 2, 92).empty());
  EXPECT_TRUE(tessel::rgba_to_jpeg(nullptr, 2, 2, 92).empty());
}

std::vector<unsigned char> data_url_png(const std::string& url) {
  const std::string prefix = "data:image/png;base64,";
  EXPECT_EQ(url.compare(0, prefix.size(), prefix), 0);
  return testing_png::base64_decode(url.substr(prefix.size()));
}

TEST(PngDataUrl, MaskDecodesToTheSameGreyPixels) {
  const std::vector<unsigned char> mask = {0, 50, 100, 150, 200, 255};
  const Picture picture = testing_png::read_png(data_url_png(tessel::mask_to_png_data_url(mask, 3, 2)));
  EXPECT_EQ(picture.width, 3);
  EXPECT_EQ(picture.height, 2);
  EXPECT_EQ(picture.channels, 1);
  EXPECT_EQ(picture.pixels, mask);
}

TEST(PngDataUrl, RgbaHonoursTheStride) {
  const int w = 5, h = 3;
  const auto rgba = test_frame(w, h, 7);
  Picture packed =
      testing_png::read_png(data_url_png(tessel::rgba_to_png_data_url(rgba.data(), w, h, w * 4)));
  EXPECT_EQ(packed.channels, 4);
  EXPECT_EQ(packed.pixels, rgba);
  // Rows padded to 24 bytes: the padding never reaches the picture.
  std::vector<unsigned char> padded(24 * h, 0xEE);
  for (int y = 0; y < h; ++y) {
    std::copy_n(&rgba[static_cast<size_t>(y) * w * 4], w * 4, &padded[static_cast<size_t>(y) * 24]);
  }
  Picture strided =
      testing_png::read_png(data_url_png(tessel::rgba_to_png_data_url(padded.data(), w, h, 24)));
  EXPECT_EQ(strided.pixels, rgba);
}

TEST(PngDataUrl, BadInputGivesThePrefixAlone) {
  const std::string prefix = "data:image/png;base64,";
  EXPECT_EQ(tessel::mask_to_png_data_url({1, 2, 3}, 2, 2), prefix);  // mask too short
  EXPECT_EQ(tessel::mask_to_png_data_url({}, 0, 0), prefix);
  const unsigned char rgba[16] = {};
  EXPECT_EQ(tessel::rgba_to_png_data_url(rgba, 2, 2, 4), prefix);  // stride under a row
  EXPECT_EQ(tessel::rgba_to_png_data_url(nullptr, 2, 2, 8), prefix);
}

class LoadGray : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mattivo_gray_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(LoadGray, DecodesAGreyPngTopRowFirst) {
  const int w = 640, h = 360;
  std::vector<unsigned char> grey(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      grey[static_cast<size_t>(y) * w + x] = static_cast<unsigned char>((y * 3 + x) & 0xFF);
    }
  }
  ASSERT_TRUE(testing_png::write_png(path("m.png"), w, h, 1, grey));
  int width = 0, height = 0;
  const auto values = tessel::load_gray(path("m.png"), &width, &height);
  EXPECT_EQ(values.size(), 230400u);
  EXPECT_EQ(width, w);
  EXPECT_EQ(height, h);
  EXPECT_EQ(values, grey);
}

TEST_F(LoadGray, ReducesColourToOneChannelAndDropsAlpha) {
  // Neutral colours keep their level whatever the weights; alpha 0 must not blank them.
  const std::vector<unsigned char> rgba = {10, 10, 10, 0, 200, 200, 200, 255, 255, 255, 255, 7};
  ASSERT_TRUE(testing_png::write_png(path("c.png"), 3, 1, 4, rgba));
  int width = 0, height = 0;
  EXPECT_EQ(tessel::load_gray(path("c.png"), &width, &height), (std::vector<unsigned char>{10, 200, 255}));
  const std::vector<unsigned char> ga = {30, 0, 240, 128};
  ASSERT_TRUE(testing_png::write_png(path("ga.png"), 2, 1, 2, ga));
  EXPECT_EQ(tessel::load_gray(path("ga.png"), &width, &height), (std::vector<unsigned char>{30, 240}));
}

TEST_F(LoadGray, MissingEmptyOrGarbageFilesGiveNothing) {
  testing_png::write_bytes(path("empty.png"), {});
  testing_png::write_bytes(path("garbage.png"), std::vector<unsigned char>(300, 0x5A));
  // A real PNG cut short after its header.
  std::vector<unsigned char> grey(64 * 64, 9);
  ASSERT_TRUE(testing_png::write_png(path("whole.png"), 64, 64, 1, grey));
  std::FILE* f = std::fopen(path("whole.png").c_str(), "rb");
  std::vector<unsigned char> cut(40);
  ASSERT_EQ(std::fread(cut.data(), 1, cut.size(), f), cut.size());
  std::fclose(f);
  testing_png::write_bytes(path("cut.png"), cut);
  for (const char* name : {"none.png", "empty.png", "garbage.png", "cut.png"}) {
    int width = -7, height = -7;
    EXPECT_TRUE(tessel::load_gray(path(name), &width, &height).empty()) << name;
    EXPECT_EQ(width, -7) << name;
    EXPECT_EQ(height, -7) << name;
  }
  EXPECT_TRUE(tessel::load_gray(dir_, nullptr, nullptr).empty());  // a folder
}

// IHDR of a PNG claiming the given size, with no image data after it.
std::vector<unsigned char> png_header(unsigned w, unsigned h) {
  std::vector<unsigned char> bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                                      0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  for (unsigned v : {w, h}) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes.push_back(static_cast<unsigned char>(v >> shift));
    }
  }
  for (unsigned char b : {8, 0, 0, 0, 0, 0, 0, 0, 0}) {  // depth, grey, methods, CRC
    bytes.push_back(b);
  }
  return bytes;
}

TEST_F(LoadGray, RefusesOversizedPicturesBeforeDecoding) {
  testing_png::write_bytes(path("huge.png"), png_header(1000000, 1000000));
  int width = 0, height = 0;
  EXPECT_TRUE(tessel::load_gray(path("huge.png"), &width, &height).empty());
  // Just over the side limit, a real and small file: still refused.
  ASSERT_TRUE(testing_png::write_png(path("wide.png"), tessel::kMaxMatteSide + 1, 1, 1,
                                     std::vector<unsigned char>(tessel::kMaxMatteSide + 1, 3)));
  EXPECT_TRUE(tessel::load_gray(path("wide.png"), &width, &height).empty());
  ASSERT_TRUE(testing_png::write_png(path("edge.png"), tessel::kMaxMatteSide, 1, 1,
                                     std::vector<unsigned char>(tessel::kMaxMatteSide, 3)));
  EXPECT_EQ(tessel::load_gray(path("edge.png"), &width, &height).size(),
            static_cast<size_t>(tessel::kMaxMatteSide));
}

}  // namespace
