#include "matte_request.h"

#include <nlohmann/json.hpp>

#include "protocol/api.h"
#include "protocol/json_text.h"
#include "protocol/selection_document.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tessel {
namespace {

using nlohmann::json;

double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

// A member that is present must have the expected kind; absent members keep
// defaults. `where` names the object in errors ("" for the document itself).
bool read_box(const json& doc, const std::string& where, bool* has_box, protocol::Box* box,
              std::string* error) {
  auto it = doc.find(protocol::key::kBbox);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_object()) {
    *error = where + "bbox must be an object";
    return false;
  }
  double v[4] = {0, 0, 0, 0};
  const char* keys[4] = {"x", "y", "w", "h"};
  for (int i = 0; i < 4; ++i) {
    auto m = it->find(keys[i]);
    if (m == it->end()) continue;
    if (!m->is_number()) {
      *error = where + "bbox." + keys[i] + " must be a number";
      return false;
    }
    v[i] = m->get<double>();
  }
  // Clip the box to the frame; a box with no area left is no box at all.
  double x0 = clamp01(v[0]), y0 = clamp01(v[1]);
  double x1 = clamp01(v[0] + v[2]), y1 = clamp01(v[1] + v[3]);
  if (v[2] > 0 && v[3] > 0 && x1 > x0 && y1 > y0) {
    *has_box = true;
    *box = {x0, y0, x1 - x0, y1 - y0};
  }
  return true;
}

bool read_strokes(const json& doc, const std::string& where, std::vector<protocol::Dab>* dabs,
                  std::string* error) {
  auto it = doc.find(protocol::key::kStrokes);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_array()) {
    *error = where + "strokes must be an array";
    return false;
  }
  *dabs = protocol::dabs_from_json(*it);
  for (protocol::Dab& d : *dabs) d.r = std::max(-1.0, std::min(1.0, d.r));
  return true;
}

// Frame indices are checked like the anchor's.
bool read_frame_index(const json& value, const std::string& name, int* out, std::string* error) {
  if (!value.is_number_integer()) {
    *error = name + " must be an integer";
    return false;
  }
  long long a = value.get<long long>();
  if (a < 0 || a > 100000000) {
    *error = name + " out of range";
    return false;
  }
  *out = static_cast<int>(a);
  return true;
}

// The other frames the user marked. One on the anchor frame is left to the
// anchor's own keys, one with nothing marked adds nothing; a frame listed
// twice is refused, since which marks the user meant cannot be told.
bool read_marked_frames(const json& doc, EngineRequest* out, std::string* error) {
  auto it = doc.find(protocol::key::kMarkedFrames);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_array()) {
    *error = "marked_frames must be an array";
    return false;
  }
  if (it->size() > kMaxMarkedFrames) {
    *error = "marked_frames lists more than " + std::to_string(kMaxMarkedFrames) + " frames";
    return false;
  }
  std::vector<int> listed;
  for (size_t i = 0; i < it->size(); ++i) {
    const json& entry = (*it)[i];
    const std::string where = "marked_frames[" + std::to_string(i) + "].";
    if (!entry.is_object()) {
      *error = "marked_frames[" + std::to_string(i) + "] must be an object";
      return false;
    }
    MarkedFrame m;
    auto frame = entry.find(protocol::key::kFrame);
    if (frame == entry.end()) {
      *error = where + "frame is missing";
      return false;
    }
    if (!read_frame_index(*frame, where + "frame", &m.frame, error) ||
        !read_box(entry, where, &m.has_box, &m.box, error) || !read_strokes(entry, where, &m.dabs, error)) {
      return false;
    }
    if (std::find(listed.begin(), listed.end(), m.frame) != listed.end()) {
      *error = "marked_frames lists frame " + std::to_string(m.frame) + " twice";
      return false;
    }
    listed.push_back(m.frame);
    if (m.frame == out->anchor_frame || (!m.has_box && m.dabs.empty())) continue;
    out->marked_frames.push_back(std::move(m));
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
  if (auto it = doc.find(protocol::key::kAnchorFrame); it != doc.end()) {
    if (!read_frame_index(*it, "anchor_frame", &out->anchor_frame, error)) return false;
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
  return read_box(doc, "", &out->has_box, &out->box, error) && read_strokes(doc, "", &out->dabs, error) &&
         read_marked_frames(doc, out, error);
}

std::string matte_request_json(const EngineRequest& request) {
  json doc;
  doc[protocol::key::kAnchorFrame] = request.anchor_frame;
  doc[protocol::key::kQuality] = request.quality == Quality::Fast ? protocol::kFast : protocol::kFine;
  doc[protocol::key::kEdgeSoftness] = request.edge_softness;
  doc[protocol::key::kTextPrompt] = request.text_prompt;
  if (request.has_box) doc[protocol::key::kBbox] = protocol::box_json(request.box);
  doc[protocol::key::kStrokes] = protocol::dabs_json(request.dabs);
  // Left out when empty: a request without corrections reads as it always did.
  for (const MarkedFrame& m : request.marked_frames) {
    json entry;
    entry[protocol::key::kFrame] = m.frame;
    if (m.has_box) entry[protocol::key::kBbox] = protocol::box_json(m.box);
    entry[protocol::key::kStrokes] = protocol::dabs_json(m.dabs);
    doc[protocol::key::kMarkedFrames].push_back(entry);
  }
  return protocol::dump_compact(doc);
}

}  // namespace tessel
