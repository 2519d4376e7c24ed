// An HTTP client that sends exactly what the plug-in sends: libcurl, its user
// agent, compact JSON posts, image/jpeg PUT bodies, URLs = base URL + path.
#pragma once

#include <string>
#include <vector>

namespace mattivo_test {

struct Reply {
  long code = -1;  // -1: the transfer failed
  std::string body;
};

class PluginClient {
 public:
  PluginClient();
  ~PluginClient();
  PluginClient(const PluginClient&) = delete;
  PluginClient& operator=(const PluginClient&) = delete;

  Reply post_json(const std::string& url, const std::string& json) const;
  Reply put_bytes(const std::string& url, const std::string& bytes, const char* type = "image/jpeg") const;
  Reply get(const std::string& url) const;
  // Any method and raw body, for requests the plug-in never makes.
  Reply send(const std::string& method, const std::string& url, const std::string& body,
             const std::vector<std::string>& headers) const;
  // HTTPS servers are checked against this certificate file instead of the
  // system's: a team's self-signed certificate, trusted the way an artist would.
  void trust(const std::string& ca_file) { ca_file_ = ca_file; }

 private:
  void* curl_;
  std::string ca_file_;
};

std::string read_file(const std::string& path);

// Sends raw bytes to the server of `base_url` on a fresh connection, stops
// sending (or not), and returns whatever comes back within `timeout_ms`.
std::string raw_exchange(const std::string& base_url, const std::string& bytes, bool close_sending = true,
                         int timeout_ms = 3000);

}  // namespace mattivo_test
