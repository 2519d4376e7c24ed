// A generated clip written as a clip folder: frames, true alpha and clip.json.
#include "clipgen.h"

#include <opencv2/imgcodecs.hpp>

#include <nlohmann/json.hpp>

#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/selection_document.h"

#include <filesystem>

namespace tessel {

bool write_clip(const ClipSpec& spec, const std::string& dir, bool jpeg, std::string* error) {
  // Missing parent folders are made too, as a user naming a new place expects.
  for (const std::string& d : {dir, dir + "/" + protocol::kFramesDir, dir + "/" + protocol::kAlphaDir}) {
    std::error_code ec;
    std::filesystem::create_directories(d, ec);
    if (!std::filesystem::is_directory(d)) {
      *error = "cannot create " + d;
      return false;
    }
  }
  ClipGenerator gen(spec);
  for (int t = 0; t < spec.frames; ++t) {
    cv::Mat bgr, alpha, alpha8;
    gen.render(t, &bgr, &alpha);
    alpha.convertTo(alpha8, CV_8U, 255.0);
    const std::string name = protocol::index_name(t);
    std::string frame = dir + "/" + protocol::kFramesDir + "/" + name + (jpeg ? ".jpg" : ".png");
    bool ok = jpeg ? cv::imwrite(frame, bgr, {cv::IMWRITE_JPEG_QUALITY, 92}) : cv::imwrite(frame, bgr);
    if (!ok || !cv::imwrite(dir + "/" + protocol::kAlphaDir + "/" + name + ".png", alpha8)) {
      *error = "cannot write frame " + std::to_string(t);
      return false;
    }
  }
  ClipSelection sel = gen.selection(spec.frames / 2);
  nlohmann::json strokes = nlohmann::json::array();
  for (const cv::Vec3d& d : sel.dabs) strokes.push_back({d[0], d[1], d[2]});
  namespace key = protocol::clip_key;
  nlohmann::json doc{{key::kWidth, spec.width},
                     {key::kHeight, spec.height},
                     {key::kFrames, spec.frames},
                     {key::kFps, spec.fps},
                     {key::kSeed, spec.seed},
                     {protocol::key::kAnchorFrame, sel.anchor_frame},
                     {protocol::key::kBbox, protocol::box_json({sel.box_x, sel.box_y, sel.box_w, sel.box_h})},
                     {protocol::key::kStrokes, strokes},
                     {key::kHint, gen.hint()}};
  if (!protocol::write_clip_document(dir, doc)) {
    *error = "cannot write " + dir + "/" + protocol::kClipDocument;
    return false;
  }
  return true;
}

}  // namespace tessel
