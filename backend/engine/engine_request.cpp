#include "engine_request.h"

#include <algorithm>

namespace tessel {

bool has_positive_dab(const EngineRequest& request) {
  return std::any_of(request.dabs.begin(), request.dabs.end(),
                     [](const protocol::Dab& d) { return d.r > 0; });
}

bool plan_anchors(const EngineRequest& request, int frame_count, std::vector<EngineRequest>* anchors,
                  std::string* error) {
  anchors->clear();
  EngineRequest first = request;
  first.marked_frames.clear();
  first.anchor_frame = std::min(std::max(request.anchor_frame, 0), frame_count - 1);
  if (request.marked_frames.size() > kMaxMarkedFrames) {
    *error = "more than " + std::to_string(kMaxMarkedFrames) + " marked frames";
    return false;
  }
  anchors->push_back(first);
  for (const MarkedFrame& m : request.marked_frames) {
    if (m.frame < 0 || m.frame >= frame_count) {
      *error = "marked frame " + std::to_string(m.frame) + " is not in the clip of " +
               std::to_string(frame_count) + " frames";
      return false;
    }
    // The anchor's own marks describe it; nothing marked is no correction.
    if (m.frame == first.anchor_frame || (!m.has_box && m.dabs.empty())) continue;
    for (const EngineRequest& a : *anchors) {
      if (a.anchor_frame == m.frame) {
        *error = "frame " + std::to_string(m.frame) + " is marked twice";
        return false;
      }
    }
    EngineRequest marked = first;
    marked.anchor_frame = m.frame;
    marked.has_box = m.has_box;
    marked.box = m.box;
    marked.dabs = m.dabs;
    anchors->push_back(marked);
  }
  std::sort(anchors->begin(), anchors->end(),
            [](const EngineRequest& a, const EngineRequest& b) { return a.anchor_frame < b.anchor_frame; });
  return true;
}

}  // namespace tessel
