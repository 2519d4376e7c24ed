// The "marked_frames" member of the matte request: the user's marks on frames
// other than the anchor, each in the anchor's own forms.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

#include "protocol/selection.h"

namespace protocol {

// One marked frame: its matte index, its box if it has one, its dabs.
struct FrameMarks {
  int frame = 0;
  std::optional<Box> box;
  std::vector<Dab> dabs;
};

// {"bbox":{..},"frame":<index>,"strokes":[[x,y,r],..]}; "bbox" only with a box.
nlohmann::json frame_marks_json(const FrameMarks& marks);
// The array of them, in the order given.
nlohmann::json marked_frames_json(const std::vector<FrameMarks>& frames);
// What a reader can use of the member: entries that are objects with a
// non-negative integer "frame"; their box as read_box would take it and their
// usable dabs. Anything but an array gives none.
std::vector<FrameMarks> read_marked_frames(const nlohmann::json& member);

}  // namespace protocol
