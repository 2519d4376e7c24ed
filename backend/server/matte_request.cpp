#include "matte_request.h"

#include <nlohmann/json.hpp>

#include "protocol/api.h"
#include "protocol/json_text.h"
#include "protocol/selection_document.h"

#include <algorithm>

namespace tessel {
namespace {

using nlohmann::json;

double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

// A member that is present must have the expected kind; absent members keep defaults.
bool read_box(const json& doc, EngineRequest* out, std::string* error) {
  auto it = doc.find(protocol::key::kBbox);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_object()) {
    *error = "bbox must be an object";
    return false;
  }
  double v[4] = {0, 0, 0, 0};
  const char* keys[4] = {"x", "y", "w", "h"};
  for (int i = 0; i < 4; ++i) {
    auto m = it->find(keys[i]);
    if (m == it->end()) continue;
    if (!m->is_number()) {
      *error = std::string("bbox.") + keys[i] + " must be a number";
      return false;
    }
    v[i] = m->get<double>();
  }
  // Clip the box to the frame; a box with no area left is no box at all.
  double x0 = clamp01(v[0]), y0 = clamp01(v[1]);
  double x1 = clamp01(v[0] + v[2]), y1 = clamp01(v[1] + v[3]);
  if (v[2] > 0 && v[3] > 0 && x1 > x0 && y1 > y0) {
    out->has_box = true;
    out->box = {x0, y0, x1 - x0, y1 - y0};
  }
  return true;
}

bool read_strokes(const json& doc, EngineRequest* out, std::string* error) {
  auto it = doc.find(protocol::key::kStrokes);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_array()) {
    *error = "strokes must be an array";
    return false;
  }
  out->dabs = protocol::dabs_from_json(*it);
  for (protocol::Dab& d : out->dabs) d.r = std::max(-1.0, std::min(1.0, d.r));
  return true;
}

}  // namespace

bool parse_matte_request(const std::string& text, EngineRequest* out, std::string* error) {
  *out = EngineRequest{};
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    *error = "body is not a JSON object";
    return false;
  }
  if (auto it = doc.find(protocol::key::kAnchorFrame); it != doc.end()) {
    if (!it->is_number_integer()) {
      *error = "anchor_frame must be an integer";
      return false;
    }
    long long a = it->get<long long>();
    if (a < 0 || a > 100000000) {
      *error = "anchor_frame out of range";
      return false;
    }
    out->anchor_frame = static_cast<int>(a);
  }
  if (auto it = doc.find(protocol::key::kQuality); it != doc.end()) {
    if (!it->is_string() || (*it != protocol::kFine && *it != protocol::kFast)) {
      *error = "quality must be \"fine\" or \"fast\"";
      return false;
    }
    out->quality = *it == protocol::kFast ? Quality::Fast : Quality::Fine;
  }
  if (auto it = doc.find(protocol::key::kEdgeSoftness); it != doc.end()) {
    if (!it->is_number()) {
      *error = "edge_softness must be a number";
      return false;
    }
    out->edge_softness = clamp01(it->get<double>());
  }
  if (auto it = doc.find(protocol::key::kTextPrompt); it != doc.end()) {
    if (!it->is_string()) {
      *error = "text_prompt must be a string";
      return false;
    }
    out->text_prompt = it->get<std::string>();
  }
  return read_box(doc, out, error) && read_strokes(doc, out, error);
}

std::string matte_request_json(const EngineRequest& request) {
  json doc;
  doc[protocol::key::kAnchorFrame] = request.anchor_frame;
  doc[protocol::key::kQuality] = request.quality == Quality::Fast ? protocol::kFast : protocol::kFine;
  doc[protocol::key::kEdgeSoftness] = request.edge_softness;
  doc[protocol::key::kTextPrompt] = request.text_prompt;
  if (request.has_box) doc[protocol::key::kBbox] = protocol::box_json(request.box);
  doc[protocol::key::kStrokes] = protocol::dabs_json(request.dabs);
  return protocol::dump_compact(doc);
}

}  // namespace tessel
