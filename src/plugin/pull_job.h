// What the pull launcher hands the session worker, and the one flag that
// keeps two pulls from overlapping anywhere in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ofx/ofx_api.h"

// True from a launch that passed its checks until that pull ends, good or bad.
extern std::atomic<bool> gBusy;

struct PullJob {
  OfxImageEffectHandle effect = nullptr;
  std::string backend_url;
  std::string upload_dir;  // ends in "/"
  int frame_count = 1;
  double fps = 25.0;
  std::string request_body;
  uint64_t instance_generation = 0;  // the instance as it was at launch
};
