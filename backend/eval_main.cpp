// mattivo-eval: scores a folder of mattes against a folder of ground truth.
#include "eval_metrics.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const char* kUsage =
    "usage: mattivo-eval --pred DIR --truth DIR [--frames N] [--per-frame]\n"
    "Compares DIR/NNNNNN.png mattes with the ground truth of the same names (for a\n"
    "clip from mattivo-clipgen, the truth is its alpha/ folder) and prints\n"
    "J (region IoU at alpha 0.5), F (boundary F-measure, tolerance 0.8% of the\n"
    "diagonal), MAE (mean absolute alpha error, 0..1) and dtSSD (temporal\n"
    "stability, x100; lower is steadier).\n";

}  // namespace

int main(int argc, char** argv) {
  std::string pred, truth;
  int frames = -1;
  bool per_frame = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--per-frame") {
      per_frame = true;
    } else if ((flag == "--pred" || flag == "--truth" || flag == "--frames") && i + 1 < argc) {
      std::string v = argv[++i];
      if (flag == "--pred") pred = v;
      else if (flag == "--truth") truth = v;
      else frames = std::atoi(v.c_str());
    } else {
      std::fputs(kUsage, flag == "--help" || flag == "-h" ? stdout : stderr);
      return flag == "--help" || flag == "-h" ? 0 : 2;
    }
  }
  if (pred.empty() || truth.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  tessel::ClipScorer scorer;
  char name[32];
  for (int t = 0; frames < 0 || t < frames; ++t) {
    std::snprintf(name, sizeof name, "/%06d.png", t);
    cv::Mat gt;
    if (std::filesystem::exists(truth + name)) gt = cv::imread(truth + name, cv::IMREAD_GRAYSCALE);
    if (gt.empty()) {
      if (frames >= 0) std::fprintf(stderr, "mattivo-eval: no ground truth %s%s\n", truth.c_str(), name);
      if (frames >= 0 || t == 0) return 1;
      break;
    }
    cv::Mat p = cv::imread(pred + name, cv::IMREAD_GRAYSCALE);
    if (p.empty()) {
      std::fprintf(stderr, "mattivo-eval: missing matte %s%s\n", pred.c_str(), name);
      return 1;
    }
    if (per_frame) {
      tessel::FrameScore s = tessel::score_frame(p, gt);
      std::printf("frame %d  J %.4f  F %.4f  MAE %.4f\n", t, s.j, s.f, s.mae);
    }
    scorer.add(p, gt);
  }
  tessel::ClipScore r = scorer.result();
  std::printf("J %.4f  F %.4f  MAE %.4f  dtSSD %.3f  frames %d\n", r.j, r.f, r.mae, r.dtssd, r.frames);
  return 0;
}
