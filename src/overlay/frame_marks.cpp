#include "overlay/frame_marks.h"

#include <charconv>
#include <cmath>

#include "protocol/json_text.h"
#include "protocol/selection_document.h"

namespace tessel {
namespace {

using json = nlohmann::json;

constexpr const char* kEditing = "editing";
constexpr const char* kFrames = "frames";
constexpr const char* kBbox = "bbox";
constexpr const char* kStrokes = "strokes";
// Frames are plain integers; this keeps them exact in a double and in JSON.
constexpr double kMaxFrame = 1e15;

std::optional<long long> parse_key(const std::string& text) {
  long long value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto result = std::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last || !(std::fabs(double(value)) <= kMaxFrame)) {
    return std::nullopt;
  }
  return value;
}

Marks marks_from(const json& entry) {
  Marks marks;
  if (const auto box = entry.find(kBbox); box != entry.end()) {
    marks.box = protocol::read_box(protocol::dump_compact(*box));
  }
  if (const auto strokes = entry.find(kStrokes); strokes != entry.end()) {
    marks.dabs = protocol::dabs_from_json(*strokes);
  }
  if (marks.dabs.size() > protocol::kMaxDabs) marks.dabs.resize(protocol::kMaxDabs);
  return marks;
}

}  // namespace

FrameMarks read_frame_marks(const std::string& text) {
  FrameMarks marks;
  const json doc = protocol::parse_bounded(text);
  if (!doc.is_object()) return marks;
  if (const auto editing = doc.find(kEditing); editing != doc.end() && editing->is_number_integer()) {
    marks.editing = frame_key(static_cast<double>(editing->get<long long>()));
  }
  const auto frames = doc.find(kFrames);
  if (frames == doc.end() || !frames->is_object()) return marks;
  for (auto it = frames->begin(); it != frames->end(); ++it) {
    const std::optional<long long> frame = parse_key(it.key());
    if (!frame || !it->is_object()) continue;
    Marks entry = marks_from(*it);
    if (!entry.empty()) marks.frames[*frame] = std::move(entry);
  }
  return marks;
}

std::string frame_marks_text(const FrameMarks& marks) {
  json doc = json::object();
  if (marks.editing) doc[kEditing] = *marks.editing;
  json frames = json::object();
  for (const auto& [frame, entry] : marks.frames) {
    if (entry.empty()) continue;
    json item = json::object();
    if (entry.box) item[kBbox] = protocol::box_json(*entry.box);
    item[kStrokes] = protocol::dabs_json(entry.dabs);
    frames[std::to_string(frame)] = std::move(item);
  }
  doc[kFrames] = std::move(frames);
  return protocol::dump_compact(doc);
}

std::optional<long long> frame_key(double clip_frame) {
  const double rounded = std::round(clip_frame);
  if (!(std::fabs(rounded) <= kMaxFrame)) return std::nullopt;  // also NaN
  return static_cast<long long>(rounded);
}

Marks read_marks(const std::string& bbox_json, const std::string& brush_json) {
  Marks marks;
  marks.box = protocol::read_box(bbox_json);
  marks.dabs = protocol::read_dabs(brush_json);
  return marks;
}

std::string bbox_text(const Marks& marks) {
  return marks.box ? protocol::box_text(*marks.box) : std::string();
}

std::string brush_text(const Marks& marks) { return protocol::dump_compact(protocol::dabs_json(marks.dabs)); }

}  // namespace tessel
