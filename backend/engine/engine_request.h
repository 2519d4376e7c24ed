// What the engine is asked to matte: the anchor frame, the user's selection
// on it, and how fine and how soft the edges should be.
#pragma once

#include "protocol/api.h"
#include "protocol/selection.h"

#include <string>
#include <vector>

namespace tessel {

enum class Quality { Fast, Fine };

struct EngineRequest {
  int anchor_frame = 0;
  Quality quality = Quality::Fine;
  double edge_softness = protocol::kDefaultEdgeSoftness;  // 0 to 1
  std::string text_prompt;                                // a hint, for when nothing is selected
  bool has_box = false;
  protocol::Box box;
  std::vector<protocol::Dab> dabs;  // in the order painted: a later dab wins where they overlap
};

// True when at least one dab adds to the selection.
bool has_positive_dab(const EngineRequest& request);

}  // namespace tessel
