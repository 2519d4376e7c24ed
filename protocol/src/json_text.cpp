#include "protocol/json_text.h"

namespace protocol {
namespace {

using nlohmann::json;

constexpr int kMaxDepth = 64;

}  // namespace

std::string dump_compact(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

json parse_bounded(const std::string& text) {
  bool too_deep = false;
  const json::parser_callback_t limit_depth = [&too_deep](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth > kMaxDepth) {
      too_deep = true;
      return false;
    }
    return true;
  };
  json doc = json::parse(text, limit_depth, false);
  if (too_deep) return json(json::value_t::discarded);
  return doc;
}

json parse_answer(const std::string& body) {
  json answer = json::parse(body, nullptr, false);
  if (!answer.is_object()) {
    return json(json::value_t::discarded);
  }
  return answer;
}

std::string text_member(const json& object, const char* key, const std::string& fallback) {
  if (!object.is_object()) {
    return fallback;
  }
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return fallback;
  }
  return it->get<std::string>();
}

}  // namespace protocol
