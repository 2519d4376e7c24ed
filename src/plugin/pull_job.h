// What the pull launcher hands the session worker, and the one flag that
// keeps two pulls from overlapping anywhere in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ofx/ofx_api.h"

// True from a launch that passed its checks until that pull ends, good or bad.
extern std::atomic<bool> gBusy;

struct PullJob {
  OfxImageEffectHandle effect = nullptr;
  std::string backend_url;
  std::string upload_dir;  // ends in "/"; the JPEG frames, kept after the upload
  int frame_count = 1;
  double fps = 25.0;
  double first_frame = 0.0;  // the clip's own number of frame 0
  std::string request_body;
  uint64_t instance_generation = 0;  // the instance as it was at launch
  std::vector<uint64_t> digests;     // of every grabbed frame, for the next pull
  // A correction round: the backend session of the last pull, which holds
  // these very frames, is started again; "" for a full pull.
  std::string reuse_session;
  // Frames kept by the last pull, dropped once a full pull of other frames has replaced them.
  std::string previous_frames_dir;
  int previous_frame_count = 0;
  // A fresh matte folder for a round, so that render never reads a half-replaced set.
  std::string round_folder;
};
