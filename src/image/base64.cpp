// RFC 4648 base64 with padding and no line breaks.
#include "image/image_io.h"

namespace tessel {
namespace {

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string base64_encode(const unsigned char* data, size_t length) {
  std::string out;
  if (length == 0 || !data) {
    return out;
  }
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const unsigned v = (unsigned{data[i]} << 16) | (unsigned{data[i + 1]} << 8) | data[i + 2];
    out += kB64Alphabet[(v >> 18) & 63];
    out += kB64Alphabet[(v >> 12) & 63];
    out += kB64Alphabet[(v >> 6) & 63];
    out += kB64Alphabet[v & 63];
  }
  if (length - i == 1) {
    const unsigned v = unsigned{data[i]} << 16;
    out += kB64Alphabet[(v >> 18) & 63];
    out += kB64Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (length - i == 2) {
    const unsigned v = (unsigned{data[i]} << 16) | (unsigned{data[i + 1]} << 8);
    out += kB64Alphabet[(v >> 18) & 63];
    out += kB64Alphabet[(v >> 12) & 63];
    out += kB64Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace tessel
