// `mattivo pull`, step two: the plug-in pulls the matte, driven as a user would.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <future>
#include <iostream>
#include <map>
#include <thread>

#include "interrupt.h"
#include "locate.h"
#include "progress.h"
#include "pull_steps.h"

namespace mattivo {
namespace {

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// The selection reaches the plug-in as pen events on its overlay, like a
// user's drag, on the frame at `time`: marks belong to the frame they are drawn on.
std::string draw_selection(ofxhost::Instance& inst, const Selection& s, int w, int h, double time) {
  auto overlay = inst.new_interact();
  auto at = [&](double x, double y) {
    ofxhost::PenEvent e;
    e.x = x * w;
    e.y = (1.0 - y) * h;
    e.time = time;
    return e;
  };
  inst.set_int("draw_mask", 1);
  std::string before = inst.get_string("frame_marks");
  if (s.has_box) {
    inst.set_int("select_tool", 0);
    overlay->pen_down(at(s.bx, s.by));
    overlay->pen_motion(at(s.bx + s.bw / 2, s.by + s.bh / 2));
    overlay->pen_motion(at(s.bx + s.bw, s.by + s.bh));
    overlay->pen_up(at(s.bx + s.bw, s.by + s.bh));
    if (inst.get_string("frame_marks") == before) return "the plug-in's overlay did not take the box";
    before = inst.get_string("frame_marks");
  }
  auto paint = [&](const std::vector<Selection::Point>& pts, int tool) {
    inst.set_int("select_tool", tool);
    for (const auto& p : pts) {
      inst.set_double("brush_size", p.size);
      overlay->pen_down(at(p.x, p.y));
      overlay->pen_up(at(p.x, p.y));
    }
  };
  paint(s.adds, 1);
  paint(s.excludes, 2);
  if (!s.adds.empty() || !s.excludes.empty()) {
    if (inst.get_string("frame_marks") == before) return "the plug-in's overlay did not take the dabs";
  }
  return "";
}

// The plug-in loaded, its instance made as from a saved project (the earlier
// run's, with --session) and set up for the clip, the marks drawn on it.
Failure open_instance(const PullOptions& o, const PullPlan& plan, const std::string& url, PulledMatte* out) {
  std::string plugin_path = find_plugin(o.plugin);
  if (plugin_path.empty())
    return "CorvaneMattivo.ofx.bundle not found (build it, install it, or give --plugin)";
  std::string load_error;
  out->plugin = ofxhost::Plugin::load(plugin_path, &load_error);
  if (!out->plugin) return "cannot load the plug-in: " + load_error;
  // A saved project brings its backend URL along; so does this run.
  std::map<std::string, std::string> saved = plan.saved;
  saved["backend_url"] = url;
  saved["status"] = "idle";  // the last run's "ready" is no answer to this one
  OfxStatus st = kOfxStatOK;
  out->instance = out->plugin->create_instance(&st, saved);
  if (!out->instance || st != kOfxStatOK) return "the plug-in refused to create an instance";

  ofxhost::Instance& inst = *out->instance;
  const Clip& clip = plan.clip;
  const int n = static_cast<int>(clip.files.size());
  inst.set_project(clip.width, clip.height);
  inst.set_frame_range(o.first_frame, o.first_frame + n - 1);
  inst.set_frame_rate(o.fps);
  inst.set_source(
      [&clip, &o](double t) { return load_frame(clip, static_cast<int>(std::lround(t - o.first_frame))); });
  inst.set_int("quality", o.quality == "fast" ? 1 : 0);
  inst.set_double("edge_softness", o.softness);
  if (plan.saved.empty() || !o.hint.empty()) inst.set_string("text_hint", o.hint);
  std::string err = draw_selection(inst, plan.selection, clip.width, clip.height, o.first_frame + o.anchor);
  for (const auto& [frame, marks] : plan.corrections) {
    if (!err.empty()) break;
    err = draw_selection(inst, marks, clip.width, clip.height, o.first_frame + frame);
    if (!err.empty()) err = "--correct " + std::to_string(frame) + ": " + err;
  }
  if (!err.empty()) return err;
  return std::nullopt;
}

// How long a cancelled pull may take to say so: its transfers abort within
// a second or so, and telling the backend is bounded by the plug-in.
constexpr auto kCancelWait = std::chrono::seconds(20);

// Presses Cancel, as a user would, and waits for the pull to stop; the
// plug-in tells the backend on the way. `why` is what the run says.
std::string cancel_pull(ofxhost::Instance& inst, const std::string& why) {
  const auto deadline = std::chrono::steady_clock::now() + kCancelWait;
  for (int round = 0;; ++round) {
    // Pressed again now and then: a press that came before the pull had
    // begun found nothing to cancel, and one on a pull under way is harmless.
    if (round % 25 == 0) inst.press("cancel_pull");
    const std::string status = inst.get_string("status");
    if (status == "cancelled" || starts_with(status, "ready:") || starts_with(status, "failed:")) return why;
    if (std::chrono::steady_clock::now() > deadline) return why + " (the pull did not stop in time)";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Follows the status until the plug-in says ready or failed, or the user
// interrupts the run.
Failure wait_for_matte(const PullOptions& o, ofxhost::Plugin& plugin, ofxhost::Instance& inst,
                       std::string* status) {
  Progress progress(!o.quiet);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout_s);
  size_t seen_messages = 0;
  for (;;) {
    if (interrupted()) {
      progress.done();
      return cancel_pull(inst, "the pull was cancelled");
    }
    *status = inst.get_string("status");
    progress.show(*status);
    // Refusals at the button (no URL, busy, unreadable frame) come as host
    // messages only; worker failures come as both, and either way the run ends.
    auto msgs = plugin.messages();
    for (; seen_messages < msgs.size(); ++seen_messages) {
      const std::string& text = msgs[seen_messages].text;
      if (starts_with(text, "Corvane: alpha ready")) continue;
      progress.done();
      return starts_with(text, "Corvane: ") ? text.substr(9) : text;
    }
    if (starts_with(*status, "ready:") || starts_with(*status, "failed:")) break;
    if (std::chrono::steady_clock::now() > deadline) {
      progress.done();
      // Cancelled, so that the backend stops working for nobody.
      return cancel_pull(inst, "the pull did not finish within " + std::to_string(o.timeout_s) +
                                   " s (last status: " + *status + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  progress.done();
  if (starts_with(*status, "failed:")) return status->substr(8);
  return std::nullopt;
}

// A private backend on a free loopback port with a scratch data folder, both
// gone when the run ends.
std::string start_local_backend(const std::string& binary, tessel::BackendProcess* out) {
  if (binary.empty() || !is_executable_file(binary))
    return "mattivo-backend not found (build it, put it on PATH, or give --backend URL)";
  char tmpl[] = "/tmp/mattivo-backend-XXXXXX";
  if (!mkdtemp(tmpl)) return "cannot make a data folder for the local backend";
  out->data_dir = tmpl;
  tessel::BackendLaunch launch;
  launch.binary = binary;
  launch.args = {"--host", "127.0.0.1", "--port", "0", "--data-dir", out->data_dir};
  launch.wait_seconds = 30;
  launch.own_process_group = true;  // a Ctrl-C is ours to handle: the backend is stopped after the cancel
  return tessel::start_backend(launch, out);
}

}  // namespace

Failure pull_matte(const PullOptions& o, const PullPlan& plan, PulledMatte* out) {
  std::string url = o.backend;
  if (url.empty()) {
    std::string err = start_local_backend(find_backend_binary(o.backend_bin), &out->local_backend);
    if (!err.empty()) return err;
    url = out->local_backend.url;
    if (!o.quiet) std::cerr << "local backend at " << url << "\n";
  }
  if (Failure why = open_instance(o, plan, url, out)) return why;
  if (interrupted()) return "stopped before the pull began";

  const Clip& clip = plan.clip;
  if (!o.quiet)
    std::cerr << "pulling a matte of " << clip.files.size() << " frames (" << clip.width << "x" << clip.height
              << "), anchor frame " << o.anchor << "\n";
  // The host's side of the grab runs on a thread of its own, as in hosts that
  // keep their interface alive meanwhile, so that a Ctrl-C can cancel it too.
  ofxhost::Instance& inst = *out->instance;
  const double anchor_time = o.first_frame + o.anchor;
  std::future<void> pressed =
      std::async(std::launch::async, [&inst, anchor_time] { inst.press("pull_alpha", anchor_time); });
  Failure why = wait_for_matte(o, *out->plugin, inst, &out->status);
  pressed.wait();
  return why;
}

}  // namespace mattivo
