// The marks of every frame (the plug-in's frame_marks parameter) and the
// marked_frames member a backend reads, on arbitrary text: neither reader may
// crash, and what is written reads back the same.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "overlay/frame_marks.h"
#include "protocol/json_text.h"
#include "protocol/marked_frames.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const tessel::Marks& a, const tessel::Marks& b) {
  if (a.box.has_value() != b.box.has_value() || a.dabs.size() != b.dabs.size()) return false;
  if (a.box && (a.box->x != b.box->x || a.box->y != b.box->y || a.box->w != b.box->w || a.box->h != b.box->h))
    return false;
  for (size_t i = 0; i < a.dabs.size(); ++i) {
    if (a.dabs[i].x != b.dabs[i].x || a.dabs[i].y != b.dabs[i].y || a.dabs[i].r != b.dabs[i].r) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const tessel::FrameMarks marks = tessel::read_frame_marks(text);
  const tessel::FrameMarks back = tessel::read_frame_marks(tessel::frame_marks_text(marks));
  check(back.editing == marks.editing);
  check(back.frames.size() == marks.frames.size());
  for (const auto& [frame, entry] : marks.frames) {
    check(!entry.empty());
    check(entry.dabs.size() <= protocol::kMaxDabs);
    const auto it = back.frames.find(frame);
    check(it != back.frames.end() && same(entry, it->second));
  }

  for (const protocol::FrameMarks& m : protocol::read_marked_frames(protocol::parse_bounded(text))) {
    check(m.frame >= 0);
    if (m.box) check(m.box->w > 0.0 && std::isfinite(m.box->w));
    for (const auto& d : m.dabs) check(std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.r));
  }
  return 0;
}
