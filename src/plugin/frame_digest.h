// A 64-bit digest of a grabbed frame: its size and every byte of its pixels,
// exactly what is encoded for the backend. A second pull compares the digests
// to tell whether the clip's frames changed since the last pull.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/frame_convert.h"

uint64_t frame_digest(const ByteImage& image);
// 16 lower-case hex digits, and back; false for any other text.
std::string digest_text(uint64_t digest);
bool parse_digest(const std::string& text, uint64_t* digest);
