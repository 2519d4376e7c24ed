// The user's selection as it travels: the box and brush documents kept in the
// plug-in's hidden parameters and sent inside the matte request. Coordinates
// are normalised to the project area, origin top-left, y down.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace protocol {

// Box document: left/top edge and non-negative extent.
struct Box {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

// One brush dab: centre and signed radius as a fraction of the project width
// (r > 0 adds, r <= 0 excludes, -0 included). A brush document is an array of
// [x, y, r] entries.
struct Dab {
  double x = 0.0;
  double y = 0.0;
  double r = 0.0;
};

// A brush document never grows beyond this many dabs.
constexpr std::size_t kMaxDabs = 2048;

// {"h":..,"w":..,"x":..,"y":..}
nlohmann::json box_json(const Box& box);
// Compact text of box_json.
std::string box_text(const Box& box);
// The stored box, present only when the text is an object whose "w" is > 0.
// Members that are missing or not finite numbers read as 0.
std::optional<Box> read_box(const std::string& text);

// The usable dabs of a brush array, in order: entries that are not arrays,
// hold fewer than three elements or whose first three elements are not all
// finite numbers are skipped. Anything but an array gives none.
std::vector<Dab> dabs_from_json(const nlohmann::json& strokes);
// The same over a brush document's text.
std::vector<Dab> read_dabs(const std::string& text);
// [[x,y,r],...]
nlohmann::json dabs_json(const std::vector<Dab>& dabs);
// The brush document with one more dab: a text that is not an array starts
// over from an empty one; existing entries are kept as they are. Nothing
// (nullopt) when the document already holds kMaxDabs entries or more.
std::optional<std::string> append_dab(const std::string& text, const Dab& dab);

}  // namespace protocol
