// mattivo-eval: scores mattes against ground truth; with --clip it first
// runs the engine in this process on a generated clip.
#include "eval_metrics.h"

#include "engine/engine.h"
#include "engine/frame_files.h"
#include "engine/heap_policy.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"
#include "server/matte_request.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <filesystem>
#include <system_error>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: mattivo-eval --pred DIR --truth DIR [--frames N] [--per-frame]\n"
    "       mattivo-eval --clip DIR [--quality fast|fine] [--selection box|dabs|both|hint]\n"
    "                    [--softness S] [--out DIR] [--per-frame] [--mark N]...\n"
    "Compares DIR/NNNNNN.png mattes with the ground truth of the same names (for a\n"
    "clip from mattivo-clipgen, the truth is its alpha/ folder) and prints\n"
    "J (region IoU at alpha 0.5), F (boundary F-measure, tolerance 0.8% of the\n"
    "diagonal), MAE (mean absolute alpha error, 0..1) and dtSSD (temporal\n"
    "stability, x100; lower is steadier). --clip mattes a generated clip first,\n"
    "with the selection stored in its clip.json, and also prints the speed.\n"
    "--mark N also marks frame N, as a correction, with a box drawn loosely around\n"
    "the character in its ground truth.\n";

cv::Mat read_truth(const std::string& dir, int i) {
  std::string path = dir + "/" + protocol::indexed_file_name(i, protocol::kMatteExtension);
  return std::filesystem::exists(path) ? cv::imread(path, cv::IMREAD_GRAYSCALE) : cv::Mat();
}

void add(tessel::ClipScorer* scorer, const cv::Mat& p, const cv::Mat& gt, int t, bool per_frame) {
  if (per_frame) {
    tessel::FrameScore s = tessel::score_frame(p, gt);
    std::printf("frame %d  J %.4f  F %.4f  MAE %.4f\n", t, s.j, s.f, s.mae);
  }
  scorer->add(p, gt);
}

int print(const tessel::ClipScore& r) {
  std::printf("J %.4f  F %.4f  MAE %.4f  dtSSD %.3f  frames %d\n", r.j, r.f, r.mae, r.dtssd, r.frames);
  return 0;
}

// A box a user would draw on frame `t`: a little loose around the character.
bool truth_box(const std::string& clip, int t, tessel::MarkedFrame* mark) {
  cv::Mat gt = read_truth(clip + "/alpha", t);
  if (gt.empty()) return false;
  cv::Rect r = cv::boundingRect(gt > 5);
  if (r.area() == 0) return false;
  double mx = r.width * 0.06, my = r.height * 0.04;
  double x0 = std::max(0.0, r.x - mx), y0 = std::max(0.0, r.y - my);
  double x1 = std::min<double>(gt.cols, r.x + r.width + mx),
         y1 = std::min<double>(gt.rows, r.y + r.height + my);
  mark->frame = t;
  mark->has_box = true;
  mark->box = {x0 / gt.cols, y0 / gt.rows, (x1 - x0) / gt.cols, (y1 - y0) / gt.rows};
  return true;
}

int run_clip(const std::string& clip, const std::string& quality, const std::string& selection,
             double softness, const std::string& out, bool per_frame, const std::vector<int>& marks) {
  const nlohmann::json doc = protocol::read_clip_document(clip);
  if (!doc.is_object()) {
    std::fprintf(stderr, "mattivo-eval: no clip.json in %s\n", clip.c_str());
    return 1;
  }
  const nlohmann::json req = protocol::clip_request(doc, quality, selection, softness, "the person");
  tessel::EngineRequest request;
  std::string error;
  if (!tessel::parse_matte_request(protocol::dump_compact(req), &request, &error)) {
    std::fprintf(stderr, "mattivo-eval: %s\n", error.c_str());
    return 1;
  }
  for (int t : marks) {
    tessel::MarkedFrame mark;
    if (!truth_box(clip, t, &mark)) {
      std::fprintf(stderr, "mattivo-eval: no character in the ground truth of frame %d\n", t);
      return 1;
    }
    request.marked_frames.push_back(mark);
  }
  // The mattes' folder is made here, before the engine's time is spent.
  if (!out.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec || !std::filesystem::is_directory(out)) {
      std::fprintf(stderr, "mattivo-eval: cannot make the folder %s for the mattes\n", out.c_str());
      return 1;
    }
  }
  const int frames = doc.value(protocol::clip_key::kFrames, 0);
  std::vector<cv::Mat> mattes(frames);
  auto t0 = std::chrono::steady_clock::now();
  tessel::EngineOutcome outcome = tessel::run_engine(
      request, frames,
      [&clip](int i, int reduce) {
        return tessel::read_frame_file(clip + "/" + protocol::kFramesDir + "/" +
                                           protocol::indexed_file_name(i, protocol::kFrameExtension),
                                       reduce);
      },
      [&mattes, &out](int i, const cv::Mat& a) {
        mattes[i] = a.clone();
        return out.empty() ||
               tessel::write_matte_png(out + "/" + protocol::index_name(i) + ".png", a, nullptr);
      },
      [](const std::string&) {}, nullptr);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!outcome.ok) {
    std::fprintf(stderr, "mattivo-eval: matting failed: %s\n", outcome.error.c_str());
    return 1;
  }
  std::printf("%d frames in %.2f s: %.2f frames/s\n", frames, seconds, frames / seconds);
  if (!std::filesystem::is_directory(clip + "/alpha")) {
    // Real footage has no exact alpha: the mattes are all there is to keep.
    std::printf("no ground truth in %s/alpha: nothing to score\n", clip.c_str());
    return 0;
  }
  tessel::ClipScorer scorer;
  for (int t = 0; t < frames; ++t) add(&scorer, mattes[t], read_truth(clip + "/alpha", t), t, per_frame);
  return print(scorer.result());
}

}  // namespace

int main(int argc, char** argv) {
  tessel::keep_image_buffers_in_heap();
  std::string pred, truth, clip, quality = "fine", selection = "box", out;
  double softness = protocol::kDefaultEdgeSoftness;
  int frames = -1;
  bool per_frame = false;
  std::vector<int> marks;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--per-frame") {
      per_frame = true;
      continue;
    }
    if (flag == "--help" || flag == "-h" || i + 1 >= argc) {
      std::fputs(kUsage, flag == "--help" || flag == "-h" ? stdout : stderr);
      return flag == "--help" || flag == "-h" ? 0 : 2;
    }
    std::string v = argv[++i];
    if (flag == "--pred")
      pred = v;
    else if (flag == "--truth")
      truth = v;
    else if (flag == "--frames")
      frames = std::atoi(v.c_str());
    else if (flag == "--clip")
      clip = v;
    else if (flag == "--quality")
      quality = v;
    else if (flag == "--selection")
      selection = v;
    else if (flag == "--softness")
      softness = std::atof(v.c_str());
    else if (flag == "--out")
      out = v;
    else if (flag == "--mark")
      marks.push_back(std::atoi(v.c_str()));
    else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!clip.empty()) return run_clip(clip, quality, selection, softness, out, per_frame, marks);
  if (pred.empty() || truth.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  tessel::ClipScorer scorer;
  for (int t = 0; frames < 0 || t < frames; ++t) {
    cv::Mat gt = read_truth(truth, t);
    if (gt.empty()) {
      if (frames >= 0 || t == 0) {
        std::fprintf(stderr, "mattivo-eval: no ground truth %s/%s.png\n", truth.c_str(),
                     protocol::index_name(t).c_str());
        return 1;
      }
      break;
    }
    cv::Mat p = cv::imread(pred + "/" + protocol::index_name(t) + ".png", cv::IMREAD_GRAYSCALE);
    if (p.empty()) {
      std::fprintf(stderr, "mattivo-eval: missing matte %s/%s.png\n", pred.c_str(),
                   protocol::index_name(t).c_str());
      return 1;
    }
    add(&scorer, p, gt, t, per_frame);
  }
  return print(scorer.result());
}
