// The steps of `mattivo pull` and the records they hand on; run_pull takes
// them in order and stops at the first that fails.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clip_source.h"
#include "launch/backend_process.h"
#include "ofxhost/ofx_host.h"
#include "options.h"

namespace mattivo {

// Why a step ends the run, or nullopt to go on. The text is the plug-in's own
// when it came from there, and may then be empty.
using Failure = std::optional<std::string>;

// The user's box and dabs, normalised to the frame (0..1, origin top-left).
struct Selection {
  bool has_box = false;
  double bx = 0, by = 0, bw = 0, bh = 0;
  struct Point {
    double x, y, size;
  };
  std::vector<Point> adds, excludes;
};

// Outputs are written into a staging folder and moved into place only when
// everything is there, so a failed run never leaves files that look finished.
struct Staging {
  std::filesystem::path dir;  // removed with whatever is still in it

  Staging() = default;
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging();
};

// Everything checked before the plug-in is touched.
struct PullPlan {
  Clip clip;
  Selection selection;                       // on the anchor
  std::map<int, Selection> corrections;      // by frame index, from --correct
  std::map<std::string, std::string> saved;  // the plug-in's state from --session
  Staging staging;                           // with empty rgba/ and matte/ folders in it
};

// The plug-in instance holding the matte, and what it needs until the run
// ends. Members go bottom-up: the instance before its plug-in, the backend last.
struct PulledMatte {
  tessel::BackendProcess local_backend;  // not started when --backend names one
  std::unique_ptr<ofxhost::Plugin> plugin;
  std::unique_ptr<ofxhost::Instance> instance;
  std::string status;  // the plug-in's last status, "ready: ..."
};

// With --session: the earlier run's clip, anchor, first frame and rate stand
// in for options not given, and its saved plug-in state goes into *saved.
Failure resume_session(PullOptions* options, std::map<std::string, std::string>* saved);

// Opens the clip, normalises the selection and makes the staging folder.
Failure prepare_pull(const PullOptions& options, PullPlan* plan);

// Loads the plug-in against a backend, sets its instance up for the clip,
// draws the selection on its overlay, presses Pull and waits for the matte.
Failure pull_matte(const PullOptions& options, const PullPlan& plan, PulledMatte* out);

// Renders every frame as RGBA and as matte, and the contact sheet, into staging.
Failure render_outputs(const PullOptions& options, const PullPlan& plan, ofxhost::Instance& instance);

// Stages the plug-in's state beside the outputs, for a later --session.
Failure stage_session(const PullOptions& options, const PullPlan& plan, const PulledMatte& pulled);

// Moves the staged outputs into the output folder and prints where they are.
Failure publish_outputs(const PullOptions& options, const PullPlan& plan, const std::string& status);

}  // namespace mattivo
