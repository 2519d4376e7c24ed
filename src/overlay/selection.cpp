#include "overlay/selection.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace tessel {
namespace {

using json = nlohmann::json;

// Deeper nesting than any selection document needs. Parsing is iterative, but
// writing a value back is recursive, so a hostile text could exhaust the stack.
constexpr int kMaxDepth = 64;

// Non-throwing parse; text that is not JSON, or nested absurdly deep, yields a
// discarded value (neither an object nor an array).
json parse_document(const std::string& text) {
  bool tooDeep = false;
  const json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t event,
                                                        json&) {
    if ((event == json::parse_event_t::object_start ||
         event == json::parse_event_t::array_start) &&
        depth > kMaxDepth) {
      tooDeep = true;
      return false;
    }
    return true;
  };
  json doc = json::parse(text, limitDepth, false);
  if (tooDeep) return json(json::value_t::discarded);
  return doc;
}

// Only finite JSON numbers count; anything else (string, bool, null, an
// overflowing literal read as infinity) is treated as absent.
std::optional<double> number(const json& value) {
  if (!value.is_number()) return std::nullopt;
  const double v = value.get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

double member_or_zero(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return 0.0;
  return number(*it).value_or(0.0);
}

// Compact, and never throws on text content (parsed strings are valid UTF-8 anyway).
std::string compact(const json& doc) {
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

double clamp01(double v) {
  if (!(v > 0.0)) return 0.0;  // also catches NaN
  if (v > 1.0) return 1.0;
  return v;
}

bool usable_size(double v) { return v > 0.0 && std::isfinite(v); }

}  // namespace

Project project_from(double width, double height, double offsetX, double offsetY) {
  Project p;
  if (usable_size(width) && usable_size(height)) {
    p.width = width;
    p.height = height;
  }
  p.offsetX = std::isfinite(offsetX) ? offsetX : 0.0;
  p.offsetY = std::isfinite(offsetY) ? offsetY : 0.0;
  return p;
}

Point to_normalised(const Project& project, Point canonical) {
  return {clamp01((canonical.x - project.offsetX) / project.width),
          clamp01(1.0 - (canonical.y - project.offsetY) / project.height)};
}

Point to_canonical(const Project& project, Point normalised) {
  return {project.offsetX + normalised.x * project.width,
          project.offsetY + (1.0 - normalised.y) * project.height};
}

Box box_from_drag(Point anchor, Point pen) {
  return {std::min(anchor.x, pen.x), std::min(anchor.y, pen.y), std::fabs(pen.x - anchor.x),
          std::fabs(pen.y - anchor.y)};
}

std::string box_text(const Box& box) {
  json doc = json::object();
  doc["x"] = box.x;
  doc["y"] = box.y;
  doc["w"] = box.w;
  doc["h"] = box.h;
  return compact(doc);
}

std::optional<Box> read_box(const std::string& text) {
  const json doc = parse_document(text);
  if (!doc.is_object()) return std::nullopt;
  Box box{member_or_zero(doc, "x"), member_or_zero(doc, "y"), member_or_zero(doc, "w"),
          member_or_zero(doc, "h")};
  if (!(box.w > 0.0)) return std::nullopt;
  return box;
}

std::vector<Dab> read_dabs(const std::string& text) {
  std::vector<Dab> dabs;
  const json doc = parse_document(text);
  if (!doc.is_array()) return dabs;
  for (const json& entry : doc) {
    if (!entry.is_array() || entry.size() < 3) continue;
    const auto x = number(entry[0]);
    const auto y = number(entry[1]);
    const auto r = number(entry[2]);
    if (!x || !y || !r) continue;
    dabs.push_back({*x, *y, *r});
  }
  return dabs;
}

std::optional<std::string> append_dab(const std::string& text, const Dab& dab) {
  json doc = parse_document(text);
  if (!doc.is_array()) doc = json::array();
  if (doc.size() >= kMaxDabs) return std::nullopt;
  doc.push_back(json::array({dab.x, dab.y, dab.r}));
  return compact(doc);
}

}  // namespace tessel
