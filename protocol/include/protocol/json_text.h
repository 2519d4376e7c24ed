// How every document of ours is written and read: compact text with keys in
// ascending order, and a non-throwing parse where a text that does not parse
// counts as absent.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace protocol {

// Compact text, keys in ascending order, UTF-8 kept as is; bytes that are not
// valid UTF-8 become U+FFFD instead of failing the whole document.
std::string dump_compact(const nlohmann::json& document);

// Non-throwing parse that also refuses nesting deeper than any of our
// documents needs (parsing is iterative, writing a value back is recursive,
// so a hostile text could exhaust the stack): a discarded value then.
nlohmann::json parse_bounded(const std::string& text);

// A backend answer as a JSON object; anything else (not JSON, an array, a
// bare value) is a discarded value, so callers test is_object() only.
nlohmann::json parse_answer(const std::string& body);
// A string member's text, or `fallback` when it is absent or not a string.
std::string text_member(const nlohmann::json& object, const char* key, const std::string& fallback);

}  // namespace protocol
