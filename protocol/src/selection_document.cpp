#include "protocol/selection_document.h"

#include <cmath>

#include "protocol/json_text.h"

namespace protocol {
namespace {

using json = nlohmann::json;

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

}  // namespace

json box_json(const Box& box) {
  json doc = json::object();
  doc["x"] = box.x;
  doc["y"] = box.y;
  doc["w"] = box.w;
  doc["h"] = box.h;
  return doc;
}

std::string box_text(const Box& box) { return dump_compact(box_json(box)); }

std::optional<Box> read_box(const std::string& text) {
  const json doc = parse_bounded(text);
  if (!doc.is_object()) return std::nullopt;
  Box box{member_or_zero(doc, "x"), member_or_zero(doc, "y"), member_or_zero(doc, "w"),
          member_or_zero(doc, "h")};
  if (!(box.w > 0.0)) return std::nullopt;
  return box;
}

std::vector<Dab> dabs_from_json(const json& strokes) {
  std::vector<Dab> dabs;
  if (!strokes.is_array()) return dabs;
  for (const json& entry : strokes) {
    if (!entry.is_array() || entry.size() < 3) continue;
    const auto x = number(entry[0]);
    const auto y = number(entry[1]);
    const auto r = number(entry[2]);
    if (!x || !y || !r) continue;
    dabs.push_back({*x, *y, *r});
  }
  return dabs;
}

std::vector<Dab> read_dabs(const std::string& text) { return dabs_from_json(parse_bounded(text)); }

json dabs_json(const std::vector<Dab>& dabs) {
  json doc = json::array();
  for (const Dab& d : dabs) doc.push_back(json::array({d.x, d.y, d.r}));
  return doc;
}

std::optional<std::string> append_dab(const std::string& text, const Dab& dab) {
  json doc = parse_bounded(text);
  if (!doc.is_array()) doc = json::array();
  if (doc.size() >= kMaxDabs) return std::nullopt;
  doc.push_back(json::array({dab.x, dab.y, dab.r}));
  return dump_compact(doc);
}

}  // namespace protocol
