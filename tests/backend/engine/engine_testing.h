// Running the engine in a test: on a generated clip folder or on pictures
// held in memory, keeping every matte and stage it hands out.
#pragma once

#include "backend_fixture.h"
#include "testing/session_flow.h"

#include "engine/engine.h"
#include "engine/frame_files.h"
#include "server/matte_request.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace mattivo_test {

struct EngineRun {
  tessel::EngineOutcome outcome;
  std::vector<cv::Mat> mattes;
  std::vector<std::string> stages;
};

inline EngineRun matte_frames(const tessel::EngineRequest& request, int n, const tessel::FrameReader& read) {
  EngineRun run;
  run.mattes.resize(n);
  run.outcome = tessel::run_engine(
      request, n, read,
      [&run](int i, const cv::Mat& a) {
        run.mattes[i] = a.clone();
        return true;
      },
      [&run](const std::string& s) { run.stages.push_back(s); }, nullptr);
  return run;
}

inline EngineRun matte_pictures(const tessel::EngineRequest& request, const std::vector<cv::Mat>& pictures) {
  return matte_frames(request, static_cast<int>(pictures.size()), [&pictures](int i, int) {
    return tessel::Frame{pictures[i], pictures[i].size()};
  });
}

inline EngineRun matte_clip(const std::string& clip, const std::string& document, int frames = -1) {
  tessel::EngineRequest request;
  std::string error;
  EXPECT_TRUE(tessel::parse_matte_request(document, &request, &error)) << error;
  int n = frames < 0 ? clip_frame_count(clip) : frames;
  return matte_frames(request, n, [&clip](int i, int reduce) {
    return tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
  });
}

}  // namespace mattivo_test
