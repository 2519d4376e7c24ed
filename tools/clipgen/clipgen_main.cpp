// mattivo-clipgen: writes a test clip with its ground-truth alpha.
#include "clipgen.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* kUsage =
    "usage: mattivo-clipgen --out DIR [options]\n"
    "  --scenario NAME   walk, dance, occluder, distractor, mixed, still-limb, zoom,\n"
    "                    shade-off, close-up, crossing or long-occluder (default walk)\n"
    "  --width N         frame width (default 640)\n"
    "  --height N        frame height (default 360)\n"
    "  --frames N        number of frames (default 24)\n"
    "  --seed N          picks the landscape, the colours and the hair (default 1)\n"
    "  --format F        jpg or png frames (default jpg)\n"
    "Writes DIR/frames/NNNNNN.jpg, DIR/alpha/NNNNNN.png (ground truth) and DIR/clip.json\n"
    "(size, anchor frame, a box and brush dabs around the character on it, and a\n"
    "hint describing it by its colours).\n";

}  // namespace

int main(int argc, char** argv) {
  tessel::ClipSpec spec;
  std::string out, scenario = "walk", format = "jpg";
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mattivo-clipgen: %s needs a value\n", flag.c_str());
      return 2;
    }
    std::string v = argv[++i];
    if (flag == "--out")
      out = v;
    else if (flag == "--scenario")
      scenario = v;
    else if (flag == "--width")
      spec.width = std::atoi(v.c_str());
    else if (flag == "--height")
      spec.height = std::atoi(v.c_str());
    else if (flag == "--frames")
      spec.frames = std::atoi(v.c_str());
    else if (flag == "--seed")
      spec.seed = std::strtoull(v.c_str(), nullptr, 10);
    else if (flag == "--format")
      format = v;
    else {
      std::fprintf(stderr, "mattivo-clipgen: unknown option %s\n%s", flag.c_str(), kUsage);
      return 2;
    }
  }
  if (out.empty() || spec.width < 32 || spec.height < 32 || spec.width > 8192 || spec.height > 8192 ||
      spec.frames < 1 || (format != "jpg" && format != "png")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!tessel::scenario_spec(scenario, &spec)) {
    std::fprintf(stderr, "mattivo-clipgen: unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  std::string error;
  if (!tessel::write_clip(spec, out, format == "jpg", &error)) {
    std::fprintf(stderr, "mattivo-clipgen: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
