#include "protocol/api.h"

#include <nlohmann/json.hpp>

#include "protocol/json_text.h"

namespace protocol {
namespace {

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

std::string sessions_url(const std::string& backend_url) { return backend_url + kSessionsPath; }

std::string session_url(const std::string& backend_url, const std::string& session_id) {
  return sessions_url(backend_url) + "/" + session_id;
}

std::string frame_url(const std::string& session_url, int index) {
  return session_url + "/" + kFramesSegment + "/" + std::to_string(index);
}

std::string start_url(const std::string& session_url) { return session_url + "/" + kStartSegment; }

std::string cancel_url(const std::string& session_url) { return session_url + "/" + kCancelSegment; }

std::string alpha_url(const std::string& session_url, int index) {
  return session_url + "/" + kAlphaSegment + "/" + std::to_string(index) + kMatteExtension;
}

std::string beacon_url(const std::string& backend_url) { return backend_url + kBeaconPath; }

std::string create_body(double fps) {
  nlohmann::json body = nlohmann::json::object();
  body[key::kFps] = fps;
  body[key::kSource] = "plugin";
  return dump_compact(body);
}

std::string beacon_body() {
  nlohmann::json body = nlohmann::json::object();
  body[key::kPluginVersion] = kPluginVersion;
  body[key::kHost] = kHostName;
  body[key::kOs] = kOsName;
  body[key::kArch] = kArchName;
  return dump_compact(body);
}

}  // namespace protocol
