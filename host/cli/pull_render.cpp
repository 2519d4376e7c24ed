// `mattivo pull`, step three: every frame rendered by the plug-in into staging.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "interrupt.h"
#include "outputs.h"
#include "progress.h"
#include "protocol/clip_folder.h"
#include "pull_steps.h"

namespace fs = std::filesystem;

namespace mattivo {
namespace {

// The contact sheet shows up to twelve frames spread evenly over the clip.
std::vector<bool> frames_on_sheet(int n) {
  std::vector<bool> on_sheet(n, false);
  const int sheet_count = std::min(n, 12);
  for (int k = 0; k < sheet_count; ++k)
    on_sheet[sheet_count == 1 ? 0 : static_cast<int>(std::lround(k * (n - 1.0) / (sheet_count - 1)))] = true;
  return on_sheet;
}

}  // namespace

Failure render_outputs(const PullOptions& o, const PullPlan& plan, ofxhost::Instance& inst) {
  const int n = static_cast<int>(plan.clip.files.size());
  const int w = plan.clip.width, h = plan.clip.height;
  const fs::path& staging = plan.staging.dir;
  const std::vector<bool> on_sheet = frames_on_sheet(n);
  std::vector<SheetTile> tiles;
  Progress progress(!o.quiet);
  for (int i = 0; i < n; ++i) {
    if (interrupted()) {
      progress.done();
      return "rendering stopped at frame " + std::to_string(i);
    }
    const double t = o.first_frame + i;
    for (int mode : {0, 1}) {
      inst.set_int("output_mode", mode);
      ofxhost::Image out = ofxhost::make_image({0, 0, w, h}, kOfxBitDepthByte);
      if (inst.render(t, out) != kOfxStatOK) return "the plug-in failed to render frame " + std::to_string(i);
      fs::path file = staging / (mode == 0 ? "rgba" : "matte") / protocol::indexed_file_name(i, ".png");
      if (!write_png(file.string(), out, mode == 0 ? 4 : 1)) return "cannot write " + file.string();
    }
    if (on_sheet[i])
      tiles.push_back({(staging / "rgba" / protocol::indexed_file_name(i, ".png")).string(), i});
    progress.show("rendering " + std::to_string(i + 1) + "/" + std::to_string(n));
  }
  progress.done();
  if (!write_contact_sheet((staging / "contact_sheet.png").string(), tiles))
    return "cannot write the contact sheet";
  return std::nullopt;
}

}  // namespace mattivo
