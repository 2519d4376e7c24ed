// The matte request document that starts tracking in a filled session: the
// anchor frame, the user's selection, the hint, the quality mode and softness,
// and the marks of every other frame the user marked.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "protocol/api.h"

// Everything the document is made of, as read from the instance at launch.
struct RequestInputs {
  double time = 0.0;         // of the instance-changed action that started the pull
  double first_frame = 0.0;  // F, the clip's first frame
  int frame_count = 1;       // N, frames grabbed
  int quality_index = 0;     // 0 = fine edges, anything else = fast
  double edge_softness = protocol::kDefaultEdgeSoftness;
  std::string text_hint;
  std::string bbox_json;  // unframed marks (overlay/frame_marks.h)
  std::string brush_json;
  std::string frame_marks;  // every frame's marks; "" or "{}" when none
};

// Index of the frame pressed on within the grab: lround(time - F) clamped to [0, N - 1].
int anchor_frame(double time, double first_frame, int frame_count);
// The anchor: the frame pressed on when it has marks of its own, or when
// there are unframed marks or no framed ones in the clip (the document then
// reads as it always did); else the marked frame nearest to it, the earlier
// of two as near.
nlohmann::json request_document(const RequestInputs& in);
// The document as it is posted: compact, keys ascending, UTF-8 unescaped.
std::string request_body(const RequestInputs& in);
