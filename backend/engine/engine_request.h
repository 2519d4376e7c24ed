// What the engine is asked to matte: the anchor frame, the user's selection
// on it and on any other frames they marked, and how fine and how soft the
// edges should be.
#pragma once

#include "protocol/api.h"
#include "protocol/selection.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tessel {

enum class Quality { Fast, Fine };

// Another frame the user marked, in the anchor's own forms: one more anchor.
struct MarkedFrame {
  int frame = 0;
  bool has_box = false;
  protocol::Box box;
  std::vector<protocol::Dab> dabs;
};

// Each marked frame costs a segmentation and a cross-fade; past this many a
// request is refused rather than honoured in part.
constexpr std::size_t kMaxMarkedFrames = 100;

struct EngineRequest {
  int anchor_frame = 0;
  Quality quality = Quality::Fine;
  double edge_softness = protocol::kDefaultEdgeSoftness;  // 0 to 1
  std::string text_prompt;                                // a hint, for when nothing is selected
  bool has_box = false;
  protocol::Box box;
  std::vector<protocol::Dab> dabs;         // in the order painted: a later dab wins where they overlap
  std::vector<MarkedFrame> marked_frames;  // frames other than the anchor, in any order
};

// True when at least one dab adds to the selection.
bool has_positive_dab(const EngineRequest& request);

// Every anchor of a clip of `frame_count` frames, in frame order, each as a
// request of its own (its frame, box and dabs; no marked frames). The anchor
// frame is clamped into the clip and keeps its own marks; a marked frame on
// it, or without a box or a dab, adds nothing. False with a plain text for a
// marked frame outside the clip, one marked twice, or too many.
bool plan_anchors(const EngineRequest& request, int frame_count, std::vector<EngineRequest>* anchors,
                  std::string* error);

}  // namespace tessel
