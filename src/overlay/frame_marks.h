// The user's marks frame by frame. The frame being edited keeps its box and
// dabs in bbox_json and brush_json, exactly as before marks had frames; the
// hidden parameter frame_marks says which frame that is and holds every other
// marked frame: {"editing":<clip frame>,"frames":{"<clip frame>":{"bbox":{..},
// "strokes":[[x,y,r],..]},..}}. Frames are the Source clip's own numbers, so a
// clip trimmed after marking keeps each mark on its frame. In a project saved
// before marks had frames, "editing" is absent: its box and dabs belong to no
// frame in particular, show on every frame and pull from whichever frame the
// pull is pressed on, until the user edits them on some frame.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "protocol/selection.h"

#include <vector>

namespace tessel {

struct Marks {
  std::optional<protocol::Box> box;  // only a box of positive width counts
  std::vector<protocol::Dab> dabs;
  bool empty() const { return !box && dabs.empty(); }
};

struct FrameMarks {
  std::optional<long long> editing;   // the frame of bbox_json and brush_json
  std::map<long long, Marks> frames;  // every other marked frame
};

// Entries whose key is not a whole number, or that hold no usable box or dab,
// are left out; anything but an object gives no frames and no editing frame.
FrameMarks read_frame_marks(const std::string& text);
// The parameter's text; frames without marks are left out.
std::string frame_marks_text(const FrameMarks& marks);

// The clip frame a time on the clip's own clock falls on: nearest whole
// number, halves away from zero; nullopt for a time that is not a usable number.
std::optional<long long> frame_key(double clip_frame);

// The marks of bbox_json and brush_json, and those documents' texts for marks.
Marks read_marks(const std::string& bbox_json, const std::string& brush_json);
std::string bbox_text(const Marks& marks);
std::string brush_text(const Marks& marks);

}  // namespace tessel
