// The box and brush documents as JSON: how they are written, and how a
// reader takes what it can use from them.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "protocol/selection.h"

namespace protocol {

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
