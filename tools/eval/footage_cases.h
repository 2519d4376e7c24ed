// Identity cases on real footage: for a frame range of a video, the anchor,
// the user's box on it, and hand-drawn boxes of the chosen person and of the
// people nearby, as footage_cases.json keeps them.
#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tessel {

struct KeyBox {
  int frame = 0;
  cv::Rect2d box;  // pixels of the video frame
};

// Boxes at listed frames, in frame order; between two of them the box moves
// linearly, outside the first and last it is absent.
using BoxTrack = std::vector<KeyBox>;

struct FootageCase {
  std::string name, video, about;
  int width = 0, height = 0;
  int first = 0, last = 0, anchor = 0;  // the video's own frame indices, inclusive
  cv::Rect2d user_box;                  // the user's drag on the anchor frame
  BoxTrack chosen;
  std::vector<BoxTrack> distractors;
};

std::optional<cv::Rect2d> box_at(const BoxTrack& track, int frame);

// The cases of an annotation document; false with a reason in `error` when it
// is not one (bad JSON, a missing field, boxes out of frame order).
bool parse_footage_cases(const std::string& text, std::vector<FootageCase>* cases, std::string* error);
bool read_footage_cases(const std::string& path, std::vector<FootageCase>* cases, std::string* error);

}  // namespace tessel
