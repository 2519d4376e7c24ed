// Command-line options of `mattivo`, parsed into plain records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/api.h"

namespace mattivo {

// A point or box given on the command line: normalised (0..1) or in pixels.
struct Dab {
  double x = 0, y = 0;
  double size = 0.03;  // radius as a fraction of the frame width
  bool pixels = false;
};

struct Box {
  double x = 0, y = 0, w = 0, h = 0;
  bool pixels = false;
};

// A mark on a frame other than the anchor: --correct FRAME:add=x,y[,size],
// FRAME:exclude=x,y[,size] or FRAME:box=x,y,w,h.
struct Correction {
  enum class Kind { Add, Exclude, Box };
  int frame = 0;  // frame index within the clip, like --anchor
  Kind kind = Kind::Add;
  Dab dab;  // Add and Exclude
  Box box;  // Box
};

struct PullOptions {
  std::string input;  // image sequence pattern, folder, or video file
  std::string out = "mattivo-out";
  bool out_given = false;
  int anchor = 0;  // frame index within the clip
  bool anchor_given = false;
  std::optional<Box> box;
  std::vector<Dab> adds;
  std::vector<Dab> excludes;
  std::vector<Correction> corrections;
  // A previous run's output folder: its saved plug-in state is loaded first,
  // so the new marks correct that pull.
  std::string session;
  std::string hint;
  std::string backend;  // empty: start a private mattivo-backend
  std::string backend_bin;
  std::string plugin;
  std::string quality = "fine";
  double softness = protocol::kDefaultEdgeSoftness;
  double first_frame = 0;  // host frame number of the first frame
  double fps = 25;
  bool first_frame_given = false, fps_given = false;
  int timeout_s = 3600;
  int max_frames = 0;  // 0: every frame
  bool max_frames_given = false;
  bool quiet = false;
  bool help = false;  // --help or -h: print the usage, nothing else is checked
};

struct InfoOptions {
  std::string plugin;
};

// Each parser returns an error text, empty on success.
std::string parse_pull(int argc, char** argv, PullOptions* out);
std::string parse_info(int argc, char** argv, InfoOptions* out);
std::string parse_box(const std::string& text, Box* out);
std::string parse_dab(const std::string& text, Dab* out);
std::string parse_correction(const std::string& text, Correction* out);

}  // namespace mattivo
