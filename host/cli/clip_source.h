// The clip `mattivo` feeds to the plug-in's Source clip: an image sequence,
// a folder of images, or a video decoded once into a private folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ofxhost/ofx_host.h"

namespace mattivo {

struct Clip {
  std::vector<std::string> files;  // one image per frame, in clip order
  int width = 0;
  int height = 0;
  std::string scratch_dir;  // frames decoded from a video; removed with the clip

  Clip() = default;
  Clip(Clip&& other) noexcept;
  Clip& operator=(Clip&& other) noexcept;
  Clip(const Clip&) = delete;
  Clip& operator=(const Clip&) = delete;
  ~Clip();
};

// Fills `out`; returns an error text, empty on success.
std::string open_clip(const std::string& input, int max_frames, Clip* out);

// Frame `index` as the host hands it over: 8-bit RGBA, bottom row first.
// nullopt when the file cannot be read or its size differs from the clip's.
std::optional<ofxhost::Image> load_frame(const Clip& clip, int index);

}  // namespace mattivo
