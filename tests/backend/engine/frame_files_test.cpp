// Frame files on disk: the size from the JPEG header, reduced decoding, and
// the mattes written back.
#include "backend_fixture.h"

#include "engine/frame_files.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace mattivo_test {
namespace {

TEST(FrameFiles, JpegSizeComesFromTheFrameHeader) {
  TempDir dir;
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", cv::Mat(37, 51, CV_8UC3, cv::Scalar(1, 2, 3)), bytes,
               {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  std::string path = dir.path + "/a.jpg";
  ASSERT_TRUE(tessel::write_file_atomic(path, bytes.data(), bytes.size()));
  int w = 0, h = 0;
  ASSERT_TRUE(tessel::jpeg_size(path, &w, &h));
  EXPECT_EQ(w, 51);
  EXPECT_EQ(h, 37);
  tessel::Frame f = tessel::read_frame_file(path, 2);
  EXPECT_EQ(f.full_size, cv::Size(51, 37));
  EXPECT_EQ(f.bgr.size(), cv::Size(26, 19));
  EXPECT_TRUE(tessel::read_frame_file(dir.path + "/missing.jpg", 1).bgr.empty());
}

// The server and the plug-in read mattes back as 8-bit grey PNGs of the whole
// frame: a soft edge between flat runs, as refinement leaves them, comes back
// pixel for pixel, and the size reported is the file's.
TEST(FrameFiles, AMatteIsWrittenAsAnEightBitGreyPngOfItsPixels) {
  TempDir dir;
  cv::Mat alpha(1080, 1920, CV_8U, cv::Scalar(0));
  alpha(cv::Rect(600, 100, 700, 980)).setTo(255);
  cv::RNG rng(5);
  cv::Mat edge(980, 40, CV_8U);
  rng.fill(edge, cv::RNG::UNIFORM, 0, 256);
  edge.copyTo(alpha(cv::Rect(580, 100, 40, 980)));
  const std::string path = dir.path + "/000007.png";
  long long size = 0;
  ASSERT_TRUE(tessel::write_matte_png(path, alpha, &size));
  std::vector<unsigned char> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  std::fclose(f);
  EXPECT_EQ(static_cast<long long>(bytes.size()), size);
  // Signature, then the header chunk: bit depth 8 (byte 24), colour type 0, grey (byte 25).
  ASSERT_GT(bytes.size(), 33u);
  EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
  EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR");
  EXPECT_EQ(bytes[24], 8);
  EXPECT_EQ(bytes[25], 0);
  const cv::Mat back = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC1);
  ASSERT_EQ(back.size(), alpha.size());
  EXPECT_EQ(cv::countNonZero(back != alpha), 0);
  // Flat runs pack well: far below the raw frame.
  EXPECT_LT(size, 1920 * 1080 / 10);
  EXPECT_FALSE(tessel::write_matte_png(dir.path + "/missing/000007.png", alpha, nullptr));
}

}  // namespace
}  // namespace mattivo_test
