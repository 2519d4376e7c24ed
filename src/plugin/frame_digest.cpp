#include "plugin/frame_digest.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

// Four independent lanes of multiply-rotate over 8-byte words keep both
// multipliers busy: hashing a 1080p frame costs far less than grabbing it.
constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ULL;

inline uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }

inline uint64_t round_lane(uint64_t lane, uint64_t word) { return rotl(lane + word * kPrime2, 31) * kPrime1; }

inline uint64_t load64(const unsigned char* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

}  // namespace

uint64_t frame_digest(const ByteImage& image) {
  const unsigned char* p = image.pixels.data();
  const size_t size = image.pixels.size();
  uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    lanes[0] = round_lane(lanes[0], load64(p + i));
    lanes[1] = round_lane(lanes[1], load64(p + i + 8));
    lanes[2] = round_lane(lanes[2], load64(p + i + 16));
    lanes[3] = round_lane(lanes[3], load64(p + i + 24));
  }
  uint64_t h = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18);
  for (; i < size; ++i) h = rotl(h ^ (p[i] * kPrime3), 11) * kPrime1;
  h ^=
      (static_cast<uint64_t>(static_cast<uint32_t>(image.width)) << 32) ^ static_cast<uint32_t>(image.height);
  h ^= size * kPrime3;
  return mix(h);
}

std::string digest_text(uint64_t digest) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
  return text;
}

bool parse_digest(const std::string& text, uint64_t* digest) {
  if (text.size() != 16) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *digest, 16);
  return result.ec == std::errc();
}
