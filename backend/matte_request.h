// The document that starts a matte session: anchor, selection, quality, softness.
#pragma once

#include <string>
#include <vector>

namespace tessel {

enum class Quality { Fast, Fine };

// One brush dab in normalised project coordinates; r is the signed radius as a
// fraction of the frame width (> 0 adds, <= 0 excludes).
struct Dab {
  double x = 0, y = 0, r = 0;
};

// Box in normalised coordinates, origin top-left, y down.
struct NormBox {
  double x = 0, y = 0, w = 0, h = 0;
};

struct MatteRequest {
  int anchor_frame = 0;
  Quality quality = Quality::Fine;
  double edge_softness = 0.35;  // clamped to [0, 1]
  std::string text_prompt;
  bool has_box = false;
  NormBox box;
  std::vector<Dab> dabs;  // usable dabs only, in document order
};

// Reads a start document. Unusable dabs (not an array of three numbers) are
// skipped, as the overlay's own reader does; a malformed document gives false
// and a short reason fit for an HTTP 400 answer.
bool parse_matte_request(const std::string& text, MatteRequest* out, std::string* error);

// The compact JSON form, used to keep the request with its session on disk.
std::string matte_request_json(const MatteRequest& request);

bool has_positive_dab(const MatteRequest& request);

}  // namespace tessel
