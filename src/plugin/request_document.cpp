#include "plugin/request_document.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "overlay/frame_marks.h"
#include "protocol/json_text.h"
#include "protocol/marked_frames.h"
#include "protocol/selection_document.h"

namespace {

using MarksByIndex = std::map<int, tessel::Marks>;

// The framed marks on grabbed frames, by matte index: every frame's but the
// one being edited, and that one's index when it is grabbed. *framed says
// whether the documents belong to a frame at all (not in older projects).
MarksByIndex other_frames(const RequestInputs& in, bool* framed, std::optional<int>* editing) {
  MarksByIndex by_index;
  const std::optional<long long> first = tessel::frame_key(in.first_frame);
  const tessel::FrameMarks marks = tessel::read_frame_marks(in.frame_marks);
  auto index_of = [&](long long frame) -> std::optional<int> {
    if (!first) return std::nullopt;
    const long long index = frame - *first;
    if (index < 0 || index >= in.frame_count) return std::nullopt;
    return static_cast<int>(index);
  };
  *framed = marks.editing.has_value();
  if (marks.editing) *editing = index_of(*marks.editing);
  for (const auto& [frame, entry] : marks.frames) {
    if (const std::optional<int> index = index_of(frame)) by_index[*index] = entry;
  }
  return by_index;
}

int nearest(const std::vector<int>& indexes, int pressed) {
  int best = indexes.front();
  for (int i : indexes) {
    if (std::abs(i - pressed) < std::abs(best - pressed) ||
        (std::abs(i - pressed) == std::abs(best - pressed) && i < best)) {
      best = i;
    }
  }
  return best;
}

// The anchor's box and strokes as the old keys carry them: from the stored
// documents as they are, or from a frame's marks.
void put_documents(const RequestInputs& in, nlohmann::json* doc) {
  using nlohmann::json;
  // A box counts only when its width is a positive number; the overlay stores
  // a zero-width box for a click without a drag.
  json box = json::parse(in.bbox_json, nullptr, false);
  if (box.is_object()) {
    auto w = box.find("w");
    const double width = w == box.end() ? 0.0 : (w->is_number() ? w->get<double>() : 0.0);
    if (width > 0.0) {
      (*doc)[protocol::key::kBbox] = std::move(box);
    }
  }
  json strokes = json::parse(in.brush_json, nullptr, false);
  (*doc)[protocol::key::kStrokes] = strokes.is_array() ? std::move(strokes) : json::array();
}

void put_marks(const tessel::Marks& marks, nlohmann::json* doc) {
  if (marks.box) (*doc)[protocol::key::kBbox] = protocol::box_json(*marks.box);
  (*doc)[protocol::key::kStrokes] = protocol::dabs_json(marks.dabs);
}

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
  doc[protocol::key::kQuality] = in.quality_index == 0 ? protocol::kFine : protocol::kFast;
  doc[protocol::key::kEdgeSoftness] = in.edge_softness;
  doc[protocol::key::kTextPrompt] = in.text_hint;

  bool framed = false;
  std::optional<int> editing;
  MarksByIndex others = other_frames(in, &framed, &editing);
  const tessel::Marks edited = tessel::read_marks(in.bbox_json, in.brush_json);
  // The documents are the pressed frame's when they belong to no frame
  // (an older project), or to this one.
  const bool documents_here = !framed || (editing && *editing == pressed);
  int anchor = pressed;
  if (!documents_here && others.count(pressed) == 0) {
    // Pressed where nothing is marked: the pull starts from the nearest marks.
    std::vector<int> marked;
    if (editing && !edited.empty()) marked.push_back(*editing);
    for (const auto& entry : others) marked.push_back(entry.first);
    if (!marked.empty()) anchor = nearest(marked, pressed);
  }
  doc[protocol::key::kAnchorFrame] = anchor;
  if (documents_here || (editing && anchor == *editing)) {
    put_documents(in, &doc);
  } else {
    put_marks(others.count(anchor) ? others[anchor] : tessel::Marks{}, &doc);
    // The documents' frame is marked like any other.
    if (editing && !edited.empty()) others[*editing] = edited;
  }
  others.erase(anchor);

  if (!others.empty()) {
    std::vector<protocol::FrameMarks> listed;
    for (const auto& [index, marks] : others) listed.push_back({index, marks.box, marks.dabs});
    doc[protocol::key::kMarkedFrames] = protocol::marked_frames_json(listed);
  }
  return doc;
}

std::string request_body(const RequestInputs& in) { return protocol::dump_compact(request_document(in)); }
