// What the pull benchmarks share: a frame that costs what a real one costs to
// encode, and a scratch working folder for the plug-in.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "ofxhost/ofx_host.h"
#include "testing/host_frames.h"

namespace pull_bench {

// A picture with edges and noise, so the JPEG costs what a real frame costs;
// `variant` gives another picture of the same kind.
inline ofxhost::Image noisy_frame(int w, int h, const std::string& depth, int variant = 0) {
  uint32_t seed = 12345u + static_cast<uint32_t>(variant) * 7919u;
  return testing_frames::host_frame(w, h, depth, [&](int x, int y, unsigned char c[4]) {
    seed = seed * 1664525u + 1013904223u;
    const int noise = static_cast<int>(seed >> 28);
    c[0] = static_cast<unsigned char>((x * 255 / w + noise + variant * 9) & 255);
    c[1] = static_cast<unsigned char>(((x / 64 + y / 64) % 2) * 200 + noise);
    c[2] = static_cast<unsigned char>(y * 255 / h);
    c[3] = 255;
  });
}

// A fresh TMPDIR, so the plug-in's working folder starts empty; removed after.
struct Scratch {
  std::string dir;
  Scratch() {
    char pattern[] = "/tmp/mattivo-bench-XXXXXX";
    dir = mkdtemp(pattern);
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

}  // namespace pull_bench
