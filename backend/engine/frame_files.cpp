#include "frame_files.h"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace tessel {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A byte source over a FILE or over memory, for the segment walk below.
struct FileBytes {
  std::FILE* f;
  int next() { return std::fgetc(f); }
  bool skip(long n) { return std::fseek(f, n, SEEK_CUR) == 0; }
};

struct MemoryBytes {
  const unsigned char* data;
  size_t size, at;
  bool ran_out = false;
  int next() {
    if (at < size) return data[at++];
    ran_out = true;
    return EOF;
  }
  bool skip(long n) {
    at += static_cast<size_t>(n);
    if (at <= size) return true;
    ran_out = true;
    return false;
  }
};

template <typename Bytes>
bool read_u16(Bytes& b, int* v) {
  int hi = b.next(), lo = b.next();
  if (hi == EOF || lo == EOF) return false;
  *v = (hi << 8) | lo;
  return true;
}

bool is_frame_header(int marker) {
  // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool read_all(const std::string& path, std::vector<unsigned char>* out) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  long size = std::ftell(f.get());
  if (size <= 0) return false;
  std::rewind(f.get());
  out->resize(static_cast<size_t>(size));
  return std::fread(out->data(), 1, out->size(), f.get()) == out->size();
}

template <typename Bytes>
bool walk_segments(Bytes& b, int* width, int* height) {
  if (b.next() != 0xFF || b.next() != 0xD8) return false;
  for (int segments = 0; segments < 10000; ++segments) {
    if (b.next() != 0xFF) return false;
    int marker;
    do {
      marker = b.next();
    } while (marker == 0xFF);
    if (marker == EOF) return false;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no payload
    if (marker == 0xD9 || marker == 0xDA) return false;                  // image data before any frame header
    int length;
    if (!read_u16(b, &length) || length < 2) return false;
    if (is_frame_header(marker)) {
      int precision = b.next(), h, w;
      if (precision == EOF || !read_u16(b, &h) || !read_u16(b, &w)) return false;
      if (w <= 0 || h <= 0) return false;
      *width = w;
      *height = h;
      return true;
    }
    if (!b.skip(length - 2)) return false;
  }
  return false;
}

}  // namespace

JpegScan jpeg_size(const unsigned char* data, size_t size, int* width, int* height) {
  MemoryBytes b{data, size, 0};
  if (walk_segments(b, width, height)) return JpegScan::Found;
  return b.ran_out ? JpegScan::Incomplete : JpegScan::NotJpeg;
}

bool jpeg_size(const std::string& path, int* width, int* height) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  FileBytes b{f.get()};
  return walk_segments(b, width, height);
}

Frame read_frame_file(const std::string& path, int reduce) {
  Frame frame;
  int w = 0, h = 0;
  if (!jpeg_size(path, &w, &h)) return frame;
  if (w > kMaxFrameSide || h > kMaxFrameSide || static_cast<long long>(w) * h > kMaxFramePixels) {
    return frame;
  }
  std::vector<unsigned char> bytes;
  if (!read_all(path, &bytes)) return frame;
  int flags = reduce >= 8   ? cv::IMREAD_REDUCED_COLOR_8
              : reduce >= 4 ? cv::IMREAD_REDUCED_COLOR_4
              : reduce >= 2 ? cv::IMREAD_REDUCED_COLOR_2
                            : cv::IMREAD_COLOR;
  frame.bgr = cv::imdecode(bytes, flags);
  frame.full_size = cv::Size(w, h);
  return frame;
}

std::string temp_name(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

bool write_file_atomic(const std::string& path, const void* data, size_t size) {
  std::string tmp = temp_name(path);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, bytes + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = ::close(fd) == 0 && done == size;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

bool write_matte_png(const std::string& path, const cv::Mat& alpha, long long* size) {
  std::vector<unsigned char> png;
  // Mattes are mostly flat runs of 0 and 255. The encoder's own default (the
  // fastest level, runs only, one fixed row filter) packs them smaller than an
  // explicit level 1, which tries every row filter on every row, and faster.
  if (!cv::imencode(".png", alpha, png)) return false;
  if (size) *size = static_cast<long long>(png.size());
  return write_file_atomic(path, png.data(), png.size());
}

}  // namespace tessel
