// The start document of a matte session, as the plug-in sends it, read into
// the engine's request; and written back, to keep it with the session on disk.
#pragma once

#include "engine/engine_request.h"

#include <string>

namespace tessel {

// Reads a start document. Unusable dabs (not an array of three finite numbers)
// are skipped, as the overlay's own reader does; the box is clipped to the frame,
// dab radii to [-1, 1] and the softness to [0, 1]. Marked frames are read in
// the same forms; one on the anchor frame, or with nothing marked, is left
// out. A malformed document (a frame listed twice, more than kMaxMarkedFrames)
// gives false and a short reason fit for an HTTP 400 answer.
bool parse_matte_request(const std::string& text, EngineRequest* out, std::string* error);

// The compact JSON form, used to keep the request with its session on disk.
std::string matte_request_json(const EngineRequest& request);

}  // namespace tessel
