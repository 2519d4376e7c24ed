#include "outputs.h"

#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace mattivo {

bool write_png(const std::string& path, ofxhost::Image& image, int channels) {
  const int w = image.width(), h = image.height();
  if (w <= 0 || h <= 0 || image.depth != kOfxBitDepthByte) return false;
  cv::Mat out(h, w, channels == 4 ? CV_8UC4 : CV_8UC1);
  for (int y = 0; y < h; ++y) {
    // Host rows run bottom to top; PNG rows top to bottom.
    const unsigned char* src = image.pixel8(image.bounds.x1, image.bounds.y1 + h - 1 - y);
    unsigned char* dst = out.ptr<unsigned char>(y);
    for (int x = 0; x < w; ++x) {
      if (channels == 4) {
        dst[4 * x + 0] = src[4 * x + 2];  // OpenCV writes BGRA
        dst[4 * x + 1] = src[4 * x + 1];
        dst[4 * x + 2] = src[4 * x + 0];
        dst[4 * x + 3] = src[4 * x + 3];
      } else {
        dst[x] = src[4 * x];
      }
    }
  }
  return cv::imwrite(path, out, {cv::IMWRITE_PNG_COMPRESSION, 3});
}

bool write_contact_sheet(const std::string& path, const std::vector<SheetTile>& tiles, int tile_width,
                         int columns) {
  if (tiles.empty()) return false;
  cv::Mat first = cv::imread(tiles.front().rgba_png, cv::IMREAD_UNCHANGED);
  if (first.empty() || first.channels() != 4) return false;
  const int tile_h = std::max(1, first.rows * tile_width / std::max(1, first.cols));
  const int cols = std::min<int>(columns, static_cast<int>(tiles.size()));
  const int rows = (static_cast<int>(tiles.size()) + cols - 1) / cols;
  const int gap = 8;
  cv::Mat sheet(rows * (tile_h + gap) + gap, cols * (tile_width + gap) + gap, CV_8UC3,
                cv::Scalar(40, 40, 40));
  for (size_t i = 0; i < tiles.size(); ++i) {
    cv::Mat rgba = cv::imread(tiles[i].rgba_png, cv::IMREAD_UNCHANGED);
    if (rgba.empty() || rgba.channels() != 4) return false;
    cv::Mat small;
    cv::resize(rgba, small, cv::Size(tile_width, tile_h), 0, 0, cv::INTER_AREA);
    cv::Mat tile(tile_h, tile_width, CV_8UC3);
    for (int y = 0; y < tile_h; ++y) {
      const unsigned char* s = small.ptr<unsigned char>(y);
      unsigned char* d = tile.ptr<unsigned char>(y);
      for (int x = 0; x < tile_width; ++x) {
        // Premultiplied colour over a checkerboard: c + (1 - a) * checker.
        const int checker = ((x / 12 + y / 12) & 1) ? 200 : 130;
        const int a = s[4 * x + 3];
        for (int c = 0; c < 3; ++c)
          d[3 * x + c] = static_cast<unsigned char>(std::min(255, s[4 * x + c] + (255 - a) * checker / 255));
      }
    }
    const int r = static_cast<int>(i) / cols, c = static_cast<int>(i) % cols;
    cv::Rect where(gap + c * (tile_width + gap), gap + r * (tile_h + gap), tile_width, tile_h);
    tile.copyTo(sheet(where));
    cv::putText(sheet, std::to_string(tiles[i].frame), where.tl() + cv::Point(6, 18),
                cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
  }
  return cv::imwrite(path, sheet);
}

}  // namespace mattivo
