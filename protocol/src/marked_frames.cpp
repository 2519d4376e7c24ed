#include "protocol/marked_frames.h"

#include <limits>

#include "protocol/api.h"
#include "protocol/json_text.h"
#include "protocol/selection_document.h"

namespace protocol {

using json = nlohmann::json;

json frame_marks_json(const FrameMarks& marks) {
  json doc = json::object();
  doc[key::kFrame] = marks.frame;
  if (marks.box) doc[key::kBbox] = box_json(*marks.box);
  doc[key::kStrokes] = dabs_json(marks.dabs);
  return doc;
}

json marked_frames_json(const std::vector<FrameMarks>& frames) {
  json list = json::array();
  for (const FrameMarks& marks : frames) list.push_back(frame_marks_json(marks));
  return list;
}

std::vector<FrameMarks> read_marked_frames(const json& member) {
  std::vector<FrameMarks> frames;
  if (!member.is_array()) return frames;
  for (const json& entry : member) {
    if (!entry.is_object()) continue;
    const auto frame = entry.find(key::kFrame);
    if (frame == entry.end() || !frame->is_number_integer()) continue;
    const auto index = frame->get<long long>();
    if (index < 0 || index > std::numeric_limits<int>::max()) continue;
    FrameMarks marks;
    marks.frame = static_cast<int>(index);
    if (const auto box = entry.find(key::kBbox); box != entry.end()) marks.box = read_box(dump_compact(*box));
    if (const auto strokes = entry.find(key::kStrokes); strokes != entry.end()) {
      marks.dabs = dabs_from_json(*strokes);
    }
    frames.push_back(std::move(marks));
  }
  return frames;
}

}  // namespace protocol
