// The matting engine: segments the character on the anchor frame and on every
// other frame the user marked, tracks it from the nearest of them through the
// clip, and writes one soft matte per frame.
#pragma once

#include "engine_request.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <functional>
#include <string>

namespace tessel {

// A decoded frame: the picture (8-bit BGR, possibly reduced by `reduce`) and the
// size of the full frame, which is the size the matte is written at.
struct Frame {
  cv::Mat bgr;
  cv::Size full_size;
};

// Reads frame `index` reduced by `reduce` (1, 2, 4 or 8; the reader may return a
// larger picture). An empty picture means the frame cannot be decoded. Called
// from one engine thread at a time, but not always the same one.
using FrameReader = std::function<Frame(int index, int reduce)>;
// Receives the matte of frame `index`: 8-bit grey at the frame's full size.
// False means it could not be stored, which ends the job.
using MatteWriter = std::function<bool(int index, const cv::Mat& alpha)>;
using StageReporter = std::function<void(const std::string& stage)>;

struct EngineOutcome {
  bool ok = false;
  bool cancelled = false;
  std::string error;  // plain text for the user when !ok
};

// Mattes frames 0..frame_count-1. Memory stays bounded whatever the count:
// frames are read one at a time, one ahead, and mattes handed out as they come;
// where two anchors' trackers meet, a few frames' probabilities are held.
EngineOutcome run_engine(const EngineRequest& request, int frame_count, const FrameReader& read,
                         const MatteWriter& write, const StageReporter& report,
                         const std::atomic<bool>* cancel);

}  // namespace tessel
