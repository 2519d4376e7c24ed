// The plug-in's only network code: a small blocking HTTP client over one
// libcurl easy handle, reset before every request so one client serves any
// sequence of requests and keeps its connection open between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessel {

struct HttpResponse {
  int32_t code = 0;  // HTTP status, or -1 when the transfer failed
  std::string body;  // as received, whatever the status
};

// Per-client settings. The defaults are the product's; tests shorten the
// time-outs so that a slow server costs them milliseconds, not minutes.
struct HttpOptions {
  long post_timeout_ms = 300000;
  long put_timeout_ms = 120000;
  long get_timeout_ms = 60000;
  long bytes_timeout_ms = 600000;
  // Answers larger than these fail the transfer instead of filling memory.
  std::size_t text_body_limit = std::size_t{16} << 20;
  std::size_t bytes_body_limit = std::size_t{256} << 20;
  // Asked regularly during every transfer; true aborts it (code -1 / false).
  std::function<bool()> cancelled;
};

class HttpClient {
 public:
  HttpClient();
  explicit HttpClient(HttpOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse post_json(const std::string& url, const std::string& json) const;
  // Redirects are not followed: an upload must land where it was sent.
  HttpResponse put_bytes(const std::string& url, const std::vector<unsigned char>& body,
                         const char* content_type) const;
  HttpResponse get(const std::string& url) const;
  // Appends the body to *out; true only for a completed 2xx answer.
  bool get_bytes(const std::string& url, std::vector<unsigned char>* out) const;

 private:
  void* curl_ = nullptr;  // CURL*, owned
  HttpOptions options_;
};

}  // namespace tessel
