#include "testing/plugin_client.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include <fstream>
#include <mutex>
#include <sstream>

namespace mattivo_test {
namespace {

std::once_flag g_init;

size_t append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct Headers {
  curl_slist* list = nullptr;
  ~Headers() { curl_slist_free_all(list); }
  void add(const std::string& h) { list = curl_slist_append(list, h.c_str()); }
};

Reply perform(CURL* c, Reply* r, const std::string& ca_file) {
  curl_easy_setopt(c, CURLOPT_USERAGENT, "CorvaneMattivo-OFX/1.1");
  if (!ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r->body);
  CURLcode rc = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r->code);
  if (rc != CURLE_OK) r->code = -1;
  return *r;
}

}  // namespace

PluginClient::PluginClient() {
  std::call_once(g_init, [] { curl_global_init(CURL_GLOBAL_ALL); });
  curl_ = curl_easy_init();
}

PluginClient::~PluginClient() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

Reply PluginClient::post_json(const std::string& url, const std::string& json) const {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  Reply r;
  Headers h;
  h.add("Content-Type: application/json");
  h.add("Accept: application/json");
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, json.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(json.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.list);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 300L);
  return perform(c, &r, ca_file_);
}

Reply PluginClient::put_bytes(const std::string& url, const std::string& bytes, const char* type) const {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  Reply r;
  Headers h;
  h.add(std::string("Content-Type: ") + type);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, bytes.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.list);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
  return perform(c, &r, ca_file_);
}

Reply PluginClient::get(const std::string& url) const {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  Reply r;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  return perform(c, &r, ca_file_);
}

Reply PluginClient::send(const std::string& method, const std::string& url, const std::string& body,
                         const std::vector<std::string>& headers) const {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  Reply r;
  Headers h;
  for (const std::string& line : headers) h.add(line);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (!body.empty() || method == "POST" || method == "PUT") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.list);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  return perform(c, &r, ca_file_);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string raw_exchange(const std::string& base_url, const std::string& bytes, bool close_sending,
                         int timeout_ms) {
  // base_url: http://127.0.0.1:PORT[/prefix]
  size_t colon = base_url.rfind(':');
  int port = std::atoi(base_url.c_str() + colon + 1);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    if (close_sending) ::shutdown(fd, SHUT_WR);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

}  // namespace mattivo_test
