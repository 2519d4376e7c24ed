#include "plugin/backend_protocol.h"

namespace protocol {
namespace {

constexpr const char* kPluginVersion = "1.1.0";
// The beacon names the host family the plug-in was made for, not the process it runs in.
constexpr const char* kHostName = "resolve";

#if defined(_WIN32)
constexpr const char* kOsName = "windows";
#elif defined(__APPLE__)
constexpr const char* kOsName = "macos";
#elif defined(__linux__)
constexpr const char* kOsName = "linux";
#else
constexpr const char* kOsName = "unknown";
#endif

#if defined(__x86_64__) || defined(_M_X64)
constexpr const char* kArchName = "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr const char* kArchName = "arm64";
#elif defined(__i386__) || defined(_M_IX86)
constexpr const char* kArchName = "x86";
#else
constexpr const char* kArchName = "unknown";
#endif

}  // namespace

std::string sessions_url(const std::string& backend_url) {
  return backend_url + "/api/matte/sessions";
}

std::string session_url(const std::string& backend_url, const std::string& session_id) {
  return sessions_url(backend_url) + "/" + session_id;
}

std::string frame_url(const std::string& session_url, int index) {
  return session_url + "/frames/" + std::to_string(index);
}

std::string start_url(const std::string& session_url) { return session_url + "/start"; }

std::string alpha_url(const std::string& session_url, int index) {
  return session_url + "/alpha/" + std::to_string(index) + ".png";
}

std::string beacon_url(const std::string& backend_url) { return backend_url + "/api/beacon"; }

std::string create_body(double fps) {
  nlohmann::json body = nlohmann::json::object();
  body["fps"] = fps;
  body["source"] = "plugin";
  return dump_compact(body);
}

std::string beacon_body() {
  nlohmann::json body = nlohmann::json::object();
  body["plugin_version"] = kPluginVersion;
  body["host"] = kHostName;
  body["os"] = kOsName;
  body["arch"] = kArchName;
  return dump_compact(body);
}

nlohmann::json parse_answer(const std::string& body) {
  nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  if (!answer.is_object()) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  return answer;
}

std::string text_member(const nlohmann::json& object, const char* key, const std::string& fallback) {
  if (!object.is_object()) {
    return fallback;
  }
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return fallback;
  }
  return it->get<std::string>();
}

std::string dump_compact(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace protocol
