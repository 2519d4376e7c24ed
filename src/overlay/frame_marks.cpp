#include "overlay/frame_marks.h"

#include <charconv>
#include <cmath>

#include "protocol/json_text.h"
#include "protocol/selection_document.h"

namespace tessel {
namespace {

using json = nlohmann::json;

constexpr const char* kBbox = "bbox";
constexpr const char* kStrokes = "strokes";
// Frames are plain integers in the key; this keeps them well inside a double.
constexpr double kMaxFrame = 1e15;

std::optional<long long> parse_key(const std::string& text) {
  long long value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto result = std::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last) return std::nullopt;
  return value;
}

}  // namespace

MarksByFrame read_frame_marks(const std::string& text) {
  MarksByFrame marks;
  const json doc = protocol::parse_bounded(text);
  if (!doc.is_object()) return marks;
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    const std::optional<long long> frame = parse_key(it.key());
    if (!frame || !it->is_object()) continue;
    Marks entry;
    if (const auto box = it->find(kBbox); box != it->end()) {
      entry.box = protocol::read_box(protocol::dump_compact(*box));
    }
    if (const auto strokes = it->find(kStrokes); strokes != it->end()) {
      entry.dabs = protocol::dabs_from_json(*strokes);
    }
    if (entry.dabs.size() > protocol::kMaxDabs) entry.dabs.resize(protocol::kMaxDabs);
    if (!entry.empty()) marks[*frame] = std::move(entry);
  }
  return marks;
}

std::string frame_marks_text(const MarksByFrame& marks) {
  json doc = json::object();
  for (const auto& [frame, entry] : marks) {
    if (entry.empty()) continue;
    json item = json::object();
    if (entry.box) item[kBbox] = protocol::box_json(*entry.box);
    item[kStrokes] = protocol::dabs_json(entry.dabs);
    doc[std::to_string(frame)] = std::move(item);
  }
  return protocol::dump_compact(doc);
}

std::optional<long long> frame_key(double clip_frame) {
  const double rounded = std::round(clip_frame);
  if (!(std::fabs(rounded) <= kMaxFrame)) return std::nullopt;  // also NaN
  return static_cast<long long>(rounded);
}

Marks unframed_marks(const std::string& bbox_json, const std::string& brush_json) {
  Marks marks;
  marks.box = protocol::read_box(bbox_json);
  marks.dabs = protocol::read_dabs(brush_json);
  return marks;
}

}  // namespace tessel
