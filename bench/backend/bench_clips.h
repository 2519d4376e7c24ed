// The generated clips the backend benchmarks run on, written once under the
// build tree and kept between runs: bench-clips/<w>x<h>-<frames>/<scenario>-<seed>.
#pragma once

#include "clipgen/clipgen.h"
#include "protocol/clip_folder.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace bench_clips {

inline std::string clip_dir(const std::string& scenario, int width, int height, int frames, std::uint64_t seed) {
  std::string dir = std::string(MATTIVO_BINARY_DIR) + "/bench-clips/" + std::to_string(width) + "x" +
                    std::to_string(height) + "-" + std::to_string(frames) + "/" + scenario + "-" +
                    std::to_string(seed);
  if (std::filesystem::exists(dir + "/" + protocol::kClipDocument)) return dir;
  std::filesystem::create_directories(dir);
  tessel::ClipSpec spec;
  tessel::scenario_spec(scenario, &spec);
  spec.width = width;
  spec.height = height;
  spec.frames = frames;
  spec.seed = seed;
  std::string error;
  if (!tessel::write_clip(spec, dir, true, &error))
    std::fprintf(stderr, "clip %s: %s\n", dir.c_str(), error.c_str());
  return dir;
}

}  // namespace bench_clips
