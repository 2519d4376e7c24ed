// Image codecs: frame JPEG encoding, PNG data URLs, base64, grey matte decoding.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessel {
// RGBA (alpha ignored), rows packed, top row first; empty for w or h of 0.
std::vector<unsigned char> rgba_to_jpeg(const unsigned char* rgba, int w, int h, int quality);
std::string base64_encode(const unsigned char* data, size_t length);
std::string rgba_to_png_data_url(const unsigned char* rgba, int w, int h, int stride);
std::string mask_to_png_data_url(const std::vector<unsigned char>& mask, int w, int h);
// Mattes larger than this on either side are treated as undecodable.
constexpr int kMaxMatteSide = 16384;
// One grey channel, rows top first; empty when the file is missing or undecodable
// (the sizes are then left untouched).
std::vector<unsigned char> load_gray(const std::string& path, int* width, int* height);
}  // namespace tessel
