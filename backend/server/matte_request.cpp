#include "matte_request.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

using nlohmann::json;

double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

// A member that is present must have the expected kind; absent members keep defaults.
bool read_box(const json& doc, EngineRequest* out, std::string* error) {
  auto it = doc.find("bbox");
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
  auto it = doc.find("strokes");
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_array()) {
    *error = "strokes must be an array";
    return false;
  }
  for (const json& dab : *it) {
    if (!dab.is_array() || dab.size() < 3) continue;
    if (!dab[0].is_number() || !dab[1].is_number() || !dab[2].is_number()) continue;
    protocol::Dab d{dab[0].get<double>(), dab[1].get<double>(), dab[2].get<double>()};
    if (!std::isfinite(d.x) || !std::isfinite(d.y) || !std::isfinite(d.r)) continue;
    d.r = std::max(-1.0, std::min(1.0, d.r));
    out->dabs.push_back(d);
  }
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
  if (auto it = doc.find("anchor_frame"); it != doc.end()) {
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
  if (auto it = doc.find("quality"); it != doc.end()) {
    if (!it->is_string() || (*it != "fine" && *it != "fast")) {
      *error = "quality must be \"fine\" or \"fast\"";
      return false;
    }
    out->quality = *it == "fast" ? Quality::Fast : Quality::Fine;
  }
  if (auto it = doc.find("edge_softness"); it != doc.end()) {
    if (!it->is_number()) {
      *error = "edge_softness must be a number";
      return false;
    }
    out->edge_softness = clamp01(it->get<double>());
  }
  if (auto it = doc.find("text_prompt"); it != doc.end()) {
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
  doc["anchor_frame"] = request.anchor_frame;
  doc["quality"] = request.quality == Quality::Fast ? "fast" : "fine";
  doc["edge_softness"] = request.edge_softness;
  doc["text_prompt"] = request.text_prompt;
  if (request.has_box) {
    doc["bbox"] = {{"x", request.box.x}, {"y", request.box.y}, {"w", request.box.w},
                   {"h", request.box.h}};
  }
  json strokes = json::array();
  for (const protocol::Dab& d : request.dabs) strokes.push_back({d.x, d.y, d.r});
  doc["strokes"] = strokes;
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tessel
