// mattivo: pulls a character matte from a shell through the Corvane Mattivo
// OpenFX plug-in, driving it only through the OpenFX interface.
#include <cstring>
#include <iostream>

#include "info_command.h"
#include "options.h"
#include "pull_command.h"

namespace {

const char* kUsage =
    "usage:\n"
    "  mattivo pull --input CLIP [--out DIR] [--anchor N] [--box x,y,w,h]\n"
    "               [--add x,y[,size]]... [--exclude x,y[,size]]... [--hint TEXT]\n"
    "               [--correct FRAME:add=x,y[,size] | FRAME:exclude=x,y[,size] | FRAME:box=x,y,w,h]...\n"
    "               [--session DIR]\n"
    "               [--backend URL] [--quality fine|fast] [--softness 0..1]\n"
    "               [--first-frame F] [--fps R] [--max-frames N] [--timeout S]\n"
    "               [--plugin BUNDLE] [--backend-bin PATH] [--quiet]\n"
    "  mattivo info [--plugin BUNDLE]\n"
    "\n"
    "CLIP is an image sequence (shot/frame_%04d.png, 'shot/*.jpg' or a folder) or a video file.\n"
    "Coordinates are normalised (0..1, origin top-left) unless above 1 or given with a px suffix.\n"
    "Without --backend a private mattivo-backend runs on a free loopback port for the run.\n"
    "Writes DIR/rgba/ (premultiplied RGBA PNG), DIR/matte/ (grey PNG), DIR/contact_sheet.png and\n"
    "DIR/mattivo-session.json (the plug-in's saved state).\n"
    "--correct marks another frame (index from 0, like --anchor) in the same units as --box and --add.\n"
    "--session DIR loads the state an earlier run saved in its output folder DIR, with its clip, anchor\n"
    "and marks, adds this run's marks and pulls again into DIR (or --out). When the frames are unchanged\n"
    "and --backend names the backend that run used, nothing is uploaded again: only tracking is redone.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
    std::cout << kUsage;
    return argc < 2 ? 2 : 0;
  }
  const std::string cmd = argv[1];
  try {
    if (cmd == "pull") {
      mattivo::PullOptions o;
      std::string err = mattivo::parse_pull(argc - 2, argv + 2, &o);
      if (!err.empty()) {
        std::cerr << "mattivo pull: " << err << "\n" << kUsage;
        return 2;
      }
      if (o.help) {
        std::cout << kUsage;
        return 0;
      }
      return mattivo::run_pull(o);
    }
    if (cmd == "info") {
      mattivo::InfoOptions o;
      std::string err = mattivo::parse_info(argc - 2, argv + 2, &o);
      if (!err.empty()) {
        std::cerr << "mattivo info: " << err << "\n";
        return 2;
      }
      return mattivo::run_info(o);
    }
  } catch (const std::exception& e) {
    std::cerr << "mattivo: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "mattivo: unknown command " << cmd << "\n" << kUsage;
  return 2;
}
