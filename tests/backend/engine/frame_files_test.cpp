// Frame files on disk: the size from the JPEG header, reduced decoding.
#include "backend_fixture.h"

#include "engine/frame_files.h"

#include <opencv2/imgcodecs.hpp>

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

}  // namespace
}  // namespace mattivo_test
