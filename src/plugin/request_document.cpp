#include "plugin/request_document.h"

#include <cmath>
#include <cstdlib>
#include <map>

#include "overlay/frame_marks.h"
#include "protocol/json_text.h"
#include "protocol/marked_frames.h"
#include "protocol/selection_document.h"

namespace {

// The framed marks that fall on grabbed frames, by matte index.
std::map<int, tessel::Marks> marks_by_index(const RequestInputs& in) {
  std::map<int, tessel::Marks> by_index;
  const std::optional<long long> first = tessel::frame_key(in.first_frame);
  if (!first || in.frame_marks.empty()) return by_index;
  for (auto& [frame, marks] : tessel::read_frame_marks(in.frame_marks)) {
    const long long index = frame - *first;
    if (index >= 0 && index < in.frame_count) by_index[static_cast<int>(index)] = std::move(marks);
  }
  return by_index;
}

int nearest_marked(const std::map<int, tessel::Marks>& marked, int pressed) {
  int best = marked.begin()->first;
  for (const auto& entry : marked) {
    if (std::abs(entry.first - pressed) < std::abs(best - pressed)) best = entry.first;
  }
  return best;
}

bool has_unframed_marks(const RequestInputs& in) { return !tessel::unframed_marks(in.bbox_json, in.brush_json).empty(); }

}  // namespace

int anchor_frame(double time, double first_frame, int frame_count) {
  const int last = frame_count > 1 ? frame_count - 1 : 0;
  const double offset = time - first_frame;
  // Clamping before rounding gives the same index and keeps lround in range.
  if (!(offset > 0.0)) {
    return 0;  // before the clip, at its start, or not a number
  }
  if (offset >= static_cast<double>(last)) {
    return last;
  }
  return static_cast<int>(std::lround(offset));
}

nlohmann::json request_document(const RequestInputs& in) {
  using nlohmann::json;
  json doc = json::object();
  const int pressed = anchor_frame(in.time, in.first_frame, in.frame_count);
  doc[protocol::key::kAnchorFrame] = pressed;
  doc[protocol::key::kQuality] = in.quality_index == 0 ? protocol::kFine : protocol::kFast;
  doc[protocol::key::kEdgeSoftness] = in.edge_softness;
  doc[protocol::key::kTextPrompt] = in.text_hint;

  std::map<int, tessel::Marks> marked = marks_by_index(in);
  const bool pressed_marked = marked.count(pressed) > 0;
  if (!marked.empty() && (pressed_marked || !has_unframed_marks(in))) {
    const int anchor = pressed_marked ? pressed : nearest_marked(marked, pressed);
    const tessel::Marks& own = marked[anchor];
    doc[protocol::key::kAnchorFrame] = anchor;
    if (own.box) doc[protocol::key::kBbox] = protocol::box_json(*own.box);
    doc[protocol::key::kStrokes] = protocol::dabs_json(own.dabs);
    std::vector<protocol::FrameMarks> others;
    for (const auto& [index, marks] : marked) {
      if (index != anchor) others.push_back({index, marks.box, marks.dabs});
    }
    if (!others.empty()) doc[protocol::key::kMarkedFrames] = protocol::marked_frames_json(others);
    return doc;
  }

  // A box counts only when its width is a positive number; the overlay stores
  // a zero-width box for a click without a drag.
  json box = json::parse(in.bbox_json, nullptr, false);
  if (box.is_object()) {
    auto w = box.find("w");
    const double width = w == box.end() ? 0.0 : (w->is_number() ? w->get<double>() : 0.0);
    if (width > 0.0) {
      doc[protocol::key::kBbox] = std::move(box);
    }
  }

  json strokes = json::parse(in.brush_json, nullptr, false);
  doc[protocol::key::kStrokes] = strokes.is_array() ? std::move(strokes) : json::array();
  return doc;
}

std::string request_body(const RequestInputs& in) { return protocol::dump_compact(request_document(in)); }
