// The user's marks, frame by frame, as the hidden parameter frame_marks keeps
// them: {"<clip frame>":{"bbox":{..},"strokes":[[x,y,r],..]},..}, keyed by the
// Source clip's own frame number, so that a clip trimmed after marking keeps
// each mark on its frame. Projects saved before marks had frames keep theirs
// in bbox_json and brush_json: those "unframed" marks show on any frame that
// has none of its own, and move onto the first frame the user edits.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/selection.h"

namespace tessel {

struct Marks {
  std::optional<protocol::Box> box;  // only a box of positive width counts
  std::vector<protocol::Dab> dabs;
  bool empty() const { return !box && dabs.empty(); }
};

using MarksByFrame = std::map<long long, Marks>;

// Entries whose key is not a whole number, or that hold no usable box or dab,
// are left out; anything but an object gives none.
MarksByFrame read_frame_marks(const std::string& text);
// The parameter's text; frames without marks are left out.
std::string frame_marks_text(const MarksByFrame& marks);

// The clip frame a time on the clip's own clock falls on: nearest whole
// number, halves away from zero; nullopt for a time that is not a usable number.
std::optional<long long> frame_key(double clip_frame);

// The unframed marks of bbox_json and brush_json.
Marks unframed_marks(const std::string& bbox_json, const std::string& brush_json);

}  // namespace tessel
