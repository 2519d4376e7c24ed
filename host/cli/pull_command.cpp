#include "pull_command.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include "backend_process.h"
#include "clip_source.h"
#include "locate.h"
#include "ofxhost/ofx_host.h"
#include "outputs.h"
#include "progress.h"

namespace fs = std::filesystem;

namespace mattivo {
namespace {

int fail(const std::string& text) {
  std::cerr << "mattivo: " << text << "\n";
  return 1;
}

// Outputs are written into a staging folder and moved into place only when
// everything is there, so a failed run never leaves files that look finished.
struct Staging {
  fs::path dir;
  ~Staging() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

std::string frame_name(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", index);
  return name;
}

// Normalised selection in the frame, from what the user typed.
struct Selection {
  bool has_box = false;
  double bx = 0, by = 0, bw = 0, bh = 0;
  struct Point { double x, y, size; };
  std::vector<Point> adds, excludes;
};

std::string normalise(const PullOptions& o, int w, int h, Selection* s) {
  if (o.box) {
    Box b = *o.box;
    if (b.pixels) {
      b.x /= w; b.w /= w; b.y /= h; b.h /= h;
    }
    const double eps = 1e-9;
    if (b.x + b.w > 1 + eps || b.y + b.h > 1 + eps)
      return "--box lies outside the frame (" + std::to_string(w) + "x" + std::to_string(h) + ")";
    s->has_box = true;
    s->bx = b.x; s->by = b.y; s->bw = b.w; s->bh = b.h;
  }
  auto conv = [&](const std::vector<Dab>& in, std::vector<Selection::Point>* out) -> std::string {
    for (const Dab& d : in) {
      double x = d.pixels ? d.x / w : d.x, y = d.pixels ? d.y / h : d.y;
      if (x > 1 || y > 1) return "a brush dab lies outside the frame";
      out->push_back({x, y, d.size});
    }
    return "";
  };
  std::string err = conv(o.adds, &s->adds);
  if (err.empty()) err = conv(o.excludes, &s->excludes);
  return err;
}

// The selection reaches the plug-in as pen events on its overlay, like a user's drag.
std::string draw_selection(ofxhost::Instance& inst, const Selection& s, int w, int h) {
  auto overlay = inst.new_interact();
  auto at = [&](double x, double y) {
    ofxhost::PenEvent e;
    e.x = x * w;
    e.y = (1.0 - y) * h;
    return e;
  };
  inst.set_int("draw_mask", 1);
  if (s.has_box) {
    inst.set_int("select_tool", 0);
    overlay->pen_down(at(s.bx, s.by));
    overlay->pen_motion(at(s.bx + s.bw / 2, s.by + s.bh / 2));
    overlay->pen_motion(at(s.bx + s.bw, s.by + s.bh));
    overlay->pen_up(at(s.bx + s.bw, s.by + s.bh));
    if (inst.get_string("bbox_json").empty()) return "the plug-in's overlay did not take the box";
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
    if (inst.get_string("brush_json") == "[]") return "the plug-in's overlay did not take the dabs";
  }
  return "";
}

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

}  // namespace

int run_pull(const PullOptions& o) {
  Clip clip;
  std::string err = open_clip(o.input, o.max_frames, &clip);
  if (!err.empty()) return fail(err);
  const int n = static_cast<int>(clip.files.size());
  const int w = clip.width, h = clip.height;
  if (o.anchor >= n)
    return fail("--anchor " + std::to_string(o.anchor) + " is past the last frame (" +
                std::to_string(n - 1) + ")");
  Selection sel;
  if (!(err = normalise(o, w, h, &sel)).empty()) return fail(err);

  std::error_code ec;
  fs::create_directories(o.out, ec);
  if (ec) return fail("cannot create the output folder " + o.out + ": " + ec.message());
  Staging staging;
  staging.dir = fs::path(o.out) / (".partial-" + std::to_string(getpid()));
  fs::remove_all(staging.dir, ec);
  if (!fs::create_directories(staging.dir / "rgba", ec) ||
      !fs::create_directories(staging.dir / "matte", ec))
    return fail("cannot write into " + o.out);

  BackendProcess local;
  std::string url = o.backend;
  if (url.empty()) {
    if (!(err = start_backend(find_backend_binary(o.backend_bin), 30, &local)).empty())
      return fail(err);
    url = local.url;
    if (!o.quiet) std::cerr << "local backend at " << url << "\n";
  }

  std::string plugin_path = find_plugin(o.plugin);
  if (plugin_path.empty())
    return fail("CorvaneMattivo.ofx.bundle not found (build it, install it, or give --plugin)");
  std::string load_error;
  auto plugin = ofxhost::Plugin::load(plugin_path, &load_error);
  if (!plugin) return fail("cannot load the plug-in: " + load_error);
  // A saved project brings its backend URL along; so does this run.
  OfxStatus st = kOfxStatOK;
  auto inst = plugin->create_instance(&st, {{"backend_url", url}});
  if (!inst || st != kOfxStatOK) return fail("the plug-in refused to create an instance");

  inst->set_project(w, h);
  inst->set_frame_range(o.first_frame, o.first_frame + n - 1);
  inst->set_frame_rate(o.fps);
  inst->set_source([&clip, &o](double t) { return load_frame(clip, static_cast<int>(std::lround(t - o.first_frame))); });
  inst->set_int("quality", o.quality == "fast" ? 1 : 0);
  inst->set_double("edge_softness", o.softness);
  inst->set_string("text_hint", o.hint);
  if (!(err = draw_selection(*inst, sel, w, h)).empty()) return fail(err);

  if (!o.quiet)
    std::cerr << "pulling a matte of " << n << " frames (" << w << "x" << h << "), anchor frame "
              << o.anchor << "\n";
  inst->press("pull_alpha", o.first_frame + o.anchor);

  Progress progress(!o.quiet);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout_s);
  std::string status;
  size_t seen_messages = 0;
  for (;;) {
    status = inst->get_string("status");
    progress.show(status);
    // Refusals at the button (no URL, busy, unreadable frame) come as host
    // messages only; worker failures come as both, and either way the run ends.
    auto msgs = plugin->messages();
    for (; seen_messages < msgs.size(); ++seen_messages) {
      const std::string& text = msgs[seen_messages].text;
      if (starts_with(text, "Corvane: alpha ready")) continue;
      progress.done();
      return fail(starts_with(text, "Corvane: ") ? text.substr(9) : text);
    }
    if (starts_with(status, "ready:") || starts_with(status, "failed:")) break;
    if (std::chrono::steady_clock::now() > deadline) {
      progress.done();
      return fail("the pull did not finish within " + std::to_string(o.timeout_s) + " s (last status: " + status + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  progress.done();
  if (starts_with(status, "failed:")) return fail(status.substr(8));

  // The contact sheet shows up to twelve frames spread evenly over the clip.
  std::vector<SheetTile> tiles;
  std::vector<bool> on_sheet(n, false);
  const int sheet_count = std::min(n, 12);
  for (int k = 0; k < sheet_count; ++k)
    on_sheet[sheet_count == 1 ? 0 : static_cast<int>(std::lround(k * (n - 1.0) / (sheet_count - 1)))] = true;
  for (int i = 0; i < n; ++i) {
    const double t = o.first_frame + i;
    for (int mode : {0, 1}) {
      inst->set_int("output_mode", mode);
      ofxhost::Image out = ofxhost::make_image({0, 0, w, h}, kOfxBitDepthByte);
      if (inst->render(t, out) != kOfxStatOK) return fail("the plug-in failed to render frame " + std::to_string(i));
      fs::path file = staging.dir / (mode == 0 ? "rgba" : "matte") / frame_name(i);
      if (!write_png(file.string(), out, mode == 0 ? 4 : 1))
        return fail("cannot write " + file.string());
    }
    if (on_sheet[i]) tiles.push_back({(staging.dir / "rgba" / frame_name(i)).string(), i});
    progress.show("rendering " + std::to_string(i + 1) + "/" + std::to_string(n));
  }
  progress.done();
  if (!write_contact_sheet((staging.dir / "contact_sheet.png").string(), tiles))
    return fail("cannot write the contact sheet");

  for (const char* item : {"rgba", "matte", "contact_sheet.png"}) {
    fs::path final_path = fs::path(o.out) / item;
    fs::remove_all(final_path, ec);
    fs::rename(staging.dir / item, final_path, ec);
    if (ec) return fail("cannot move " + std::string(item) + " into " + o.out + ": " + ec.message());
  }
  std::cout << status << "\n"
            << "RGBA frames:   " << (fs::path(o.out) / "rgba").string() << "/ (" << n << " PNG, premultiplied)\n"
            << "mattes:        " << (fs::path(o.out) / "matte").string() << "/ (" << n << " PNG)\n"
            << "contact sheet: " << (fs::path(o.out) / "contact_sheet.png").string() << "\n";
  return 0;
}

}  // namespace mattivo
