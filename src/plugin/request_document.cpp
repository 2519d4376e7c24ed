#include "plugin/request_document.h"

#include <cmath>

#include "protocol/json_text.h"

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
  doc[protocol::key::kAnchorFrame] = anchor_frame(in.time, in.first_frame, in.frame_count);
  doc[protocol::key::kQuality] = in.quality_index == 0 ? protocol::kFine : protocol::kFast;
  doc[protocol::key::kEdgeSoftness] = in.edge_softness;
  doc[protocol::key::kTextPrompt] = in.text_hint;

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
