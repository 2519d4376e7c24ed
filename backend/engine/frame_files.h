// Frame and matte files on disk: JPEG header checks, decoding, PNG writing.
#pragma once

#include "engine.h"

#include <cstddef>
#include <string>

namespace tessel {

// Frames larger than this are refused before any pixel is decoded.
constexpr int kMaxFrameSide = 8192;
constexpr long long kMaxFramePixels = 36LL * 1000 * 1000;

// Width and height from the JPEG's frame header, walking its segments;
// false for anything that is not a JPEG or ends before the frame header.
bool jpeg_size(const std::string& path, int* width, int* height);
// The same over the first bytes of a file: Incomplete when they end before
// the frame header.
enum class JpegScan { Found, NotJpeg, Incomplete };
JpegScan jpeg_size(const unsigned char* data, size_t size, int* width, int* height);

// Decodes a frame file (see FrameReader); empty when unreadable or refused.
Frame read_frame_file(const std::string& path, int reduce);

// Writes the `size` bytes at `data` to `path` through a temporary file and a
// rename, so that a reader never sees half a file. False when any step fails.
bool write_file_atomic(const std::string& path, const void* data, size_t size);
// A unique temporary name next to `path`, for files that are renamed into place.
std::string temp_name(const std::string& path);

// Encodes a grey matte as PNG and writes it atomically; the size in bytes is
// stored in *size when given.
bool write_matte_png(const std::string& path, const cv::Mat& alpha, long long* size);

}  // namespace tessel
