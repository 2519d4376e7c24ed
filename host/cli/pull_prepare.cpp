// `mattivo pull`, step one: everything that can be refused before the plug-in runs.
#include <unistd.h>

#include <string>

#include "pull_steps.h"

namespace fs = std::filesystem;

namespace mattivo {
namespace {

// The box and dabs as fractions of the frame; pixel values are divided by its size.
std::string normalise_selection(const PullOptions& o, int w, int h, Selection* s) {
  if (o.box) {
    Box b = *o.box;
    if (b.pixels) {
      b.x /= w;
      b.w /= w;
      b.y /= h;
      b.h /= h;
    }
    const double eps = 1e-9;
    if (b.x + b.w > 1 + eps || b.y + b.h > 1 + eps)
      return "--box lies outside the frame (" + std::to_string(w) + "x" + std::to_string(h) + ")";
    s->has_box = true;
    s->bx = b.x;
    s->by = b.y;
    s->bw = b.w;
    s->bh = b.h;
  }
  auto take_dabs = [&](const std::vector<Dab>& in, std::vector<Selection::Point>* out) -> std::string {
    for (const Dab& d : in) {
      double x = d.pixels ? d.x / w : d.x, y = d.pixels ? d.y / h : d.y;
      if (x > 1 || y > 1) return "a brush dab lies outside the frame";
      out->push_back({x, y, d.size});
    }
    return "";
  };
  std::string err = take_dabs(o.adds, &s->adds);
  if (err.empty()) err = take_dabs(o.excludes, &s->excludes);
  return err;
}

}  // namespace

Staging::~Staging() {
  std::error_code ec;
  if (!dir.empty()) fs::remove_all(dir, ec);
}

Failure prepare_pull(const PullOptions& o, PullPlan* plan) {
  std::string err = open_clip(o.input, o.max_frames, &plan->clip);
  if (!err.empty()) return err;
  const int n = static_cast<int>(plan->clip.files.size());
  if (o.anchor >= n)
    return "--anchor " + std::to_string(o.anchor) + " is past the last frame (" + std::to_string(n - 1) + ")";
  if (!(err = normalise_selection(o, plan->clip.width, plan->clip.height, &plan->selection)).empty())
    return err;

  std::error_code ec;
  fs::create_directories(o.out, ec);
  if (ec) return "cannot create the output folder " + o.out + ": " + ec.message();
  Staging& staging = plan->staging;
  staging.dir = fs::path(o.out) / (".partial-" + std::to_string(getpid()));
  fs::remove_all(staging.dir, ec);
  if (!fs::create_directories(staging.dir / "rgba", ec) || !fs::create_directories(staging.dir / "matte", ec))
    return "cannot write into " + o.out;
  return std::nullopt;
}

}  // namespace mattivo
