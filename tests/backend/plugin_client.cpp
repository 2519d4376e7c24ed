#include "plugin_client.h"

#include <curl/curl.h>

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

Reply perform(CURL* c, Reply* r) {
  curl_easy_setopt(c, CURLOPT_USERAGENT, "CorvaneMattivo-OFX/1.1");
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
  return perform(c, &r);
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
  return perform(c, &r);
}

Reply PluginClient::get(const std::string& url) const {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  Reply r;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  return perform(c, &r);
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
  return perform(c, &r);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace mattivo_test
