// The requests the plug-in sends the matting backend, and how it reads the
// answers. Every URL is the backend URL with the path appended as is.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace protocol {

constexpr const char* kFrameMediaType = "image/jpeg";
constexpr const char* kCompleted = "COMPLETED";
constexpr const char* kFailed = "FAILED";

std::string sessions_url(const std::string& backend_url);
std::string session_url(const std::string& backend_url, const std::string& session_id);
std::string frame_url(const std::string& session_url, int index);
std::string start_url(const std::string& session_url);
std::string alpha_url(const std::string& session_url, int index);
std::string beacon_url(const std::string& backend_url);

// {"fps":<fps>,"source":"plugin"}
std::string create_body(double fps);
// The four constant strings, naming the platform this binary was built for.
std::string beacon_body();

// A backend answer as a JSON object; anything else (not JSON, an array, a
// bare value) is a discarded value, so callers test is_object() only.
nlohmann::json parse_answer(const std::string& body);
// A string member's text, or `fallback` when it is absent or not a string.
std::string text_member(const nlohmann::json& object, const char* key, const std::string& fallback);

// Compact text, keys in ascending order, UTF-8 kept as is; bytes that are not
// valid UTF-8 become U+FFFD instead of failing the whole document.
std::string dump_compact(const nlohmann::json& document);

}  // namespace protocol
