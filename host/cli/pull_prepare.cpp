// `mattivo pull`, step one: everything that can be refused before the plug-in runs.
#include <unistd.h>

#include <string>

#include "pull_steps.h"
#include "session_file.h"

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

// Each --correct mark, normalised like the anchor's, onto its frame's selection.
std::string normalise_corrections(const PullOptions& o, int n, int w, int h, std::map<int, Selection>* out) {
  for (const Correction& c : o.corrections) {
    if (c.frame >= n)
      return "--correct " + std::to_string(c.frame) + ": past the last frame (" + std::to_string(n - 1) + ")";
    PullOptions one;
    if (c.kind == Correction::Kind::Box) one.box = c.box;
    if (c.kind == Correction::Kind::Add) one.adds.push_back(c.dab);
    if (c.kind == Correction::Kind::Exclude) one.excludes.push_back(c.dab);
    Selection marks;
    std::string err = normalise_selection(one, w, h, &marks);
    if (!err.empty()) return "--correct " + std::to_string(c.frame) + ": " + err;
    Selection& frame = (*out)[c.frame];
    if (marks.has_box) {
      frame.has_box = true;
      frame.bx = marks.bx, frame.by = marks.by, frame.bw = marks.bw, frame.bh = marks.bh;
    }
    frame.adds.insert(frame.adds.end(), marks.adds.begin(), marks.adds.end());
    frame.excludes.insert(frame.excludes.end(), marks.excludes.begin(), marks.excludes.end());
  }
  return "";
}

}  // namespace

Staging::~Staging() {
  std::error_code ec;
  if (!dir.empty()) fs::remove_all(dir, ec);
}

Failure resume_session(PullOptions* o, std::map<std::string, std::string>* saved) {
  if (o->session.empty()) return std::nullopt;
  SavedSession session;
  std::string err = read_session(o->session, &session);
  if (!err.empty()) return err;
  if (o->input.empty()) o->input = session.input;
  if (!o->anchor_given) o->anchor = session.anchor;
  if (!o->first_frame_given) o->first_frame = session.first_frame;
  if (!o->fps_given) o->fps = session.fps;
  if (!o->max_frames_given) o->max_frames = session.max_frames;
  if (!o->out_given) o->out = o->session;  // the session is corrected in place
  *saved = std::move(session.strings);
  return std::nullopt;
}

Failure prepare_pull(const PullOptions& o, PullPlan* plan) {
  std::string err = open_clip(o.input, o.max_frames, &plan->clip);
  if (!err.empty()) return err;
  const int n = static_cast<int>(plan->clip.files.size());
  if (o.anchor >= n)
    return "--anchor " + std::to_string(o.anchor) + " is past the last frame (" + std::to_string(n - 1) + ")";
  if (!(err = normalise_selection(o, plan->clip.width, plan->clip.height, &plan->selection)).empty())
    return err;
  if (!(err = normalise_corrections(o, n, plan->clip.width, plan->clip.height, &plan->corrections)).empty())
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
