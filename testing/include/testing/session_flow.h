// One matte session driven the way the plug-in's worker drives it.
#pragma once

#include "protocol/api.h"
#include "testing/plugin_client.h"

#include <string>
#include <vector>

namespace mattivo_test {

struct SessionRun {
  bool ok = false;
  std::string failure;   // the plug-in's failure text when !ok
  bool refused = false;  // the backend ran the job and answered FAILED (failure is its error)
  std::string id;
  double upload_seconds = 0, matte_seconds = 0, download_seconds = 0;
  std::vector<std::string> stages;  // every distinct stage text seen while polling
};

// Creates a session, uploads frames_dir/NNNNNN.jpg for 0..count-1 (three
// attempts each), starts it with `request`, polls every poll_ms and downloads
// every matte into out_dir/NNNNNN.png.
SessionRun run_plugin_session(const PluginClient& client, const std::string& base_url,
                              const std::string& frames_dir, int count, const std::string& request,
                              const std::string& out_dir, int poll_ms, double timeout_seconds = 600);

// The request document the plug-in would send for a generated clip, with the
// clip's box ("box"), its brush dabs ("dabs"), both ("both") or its hint only
// ("hint").
std::string clip_request(const std::string& clip_dir, const std::string& quality,
                         const std::string& selection, double softness = protocol::kDefaultEdgeSoftness);

int clip_frame_count(const std::string& clip_dir);

}  // namespace mattivo_test
