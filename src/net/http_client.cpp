// Every request starts from curl_easy_reset and sets all of its own options,
// so nothing of one request (method, body, headers) leaks into the next,
// while the handle keeps its connection cache for the session's many requests.
#include "net/http_client.h"

#include <curl/curl.h>

#include <mutex>
#include <utility>

#include "protocol/api.h"

namespace tessel {
namespace {

std::once_flag g_global_init;

// A backend URL may only lead to plain or TLS HTTP, redirects included.
constexpr const char* kProtocols = "http,https";
constexpr long kMaxRedirects = 10;

// Where a write callback appends, and how much it may take in all.
struct Sink {
  std::string* text = nullptr;
  std::vector<unsigned char>* bytes = nullptr;
  std::size_t limit = 0;
  std::size_t received = 0;

  bool take(std::size_t n) {
    if (n > limit - received) {
      return false;
    }
    received += n;
    return true;
  }
};

size_t write_string(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  auto* sink = static_cast<Sink*>(target);
  if (!sink->take(n)) {
    return 0;  // over the limit: libcurl ends the transfer with a write error
  }
  sink->text->append(data, n);
  return n;
}

size_t write_vector(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  if (n == 0) {
    return 0;
  }
  auto* sink = static_cast<Sink*>(target);
  if (!sink->take(n)) {
    return 0;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  sink->bytes->insert(sink->bytes->end(), bytes, bytes + n);
  return n;
}

int on_progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancelled = static_cast<const std::function<bool()>*>(context);
  return (*cancelled)() ? 1 : 0;
}

struct HeaderList {
  curl_slist* list = nullptr;
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) {
    if (curl_slist* grown = curl_slist_append(list, line.c_str())) {
      list = grown;
    }
  }
};

// Options every request shares; the caller adds its method and body.
void common_options(CURL* curl, const std::string& url, long timeout_ms, bool follow,
                    curl_write_callback writer, Sink* sink, const HttpOptions& options) {
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, protocol::kUserAgent);
  // Signals cannot be used for time-outs inside a host's multi-threaded process.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kProtocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  if (follow) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  }
  if (options.cancelled) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &options.cancelled);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
}

// Runs the prepared request; the status is read whatever the outcome, then
// a failed transfer turns it into -1.
int32_t perform(CURL* curl) {
  const CURLcode result = curl_easy_perform(curl);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  return result == CURLE_OK ? static_cast<int32_t>(code) : -1;
}

}  // namespace

HttpClient::HttpClient() : HttpClient(HttpOptions{}) {}

HttpClient::HttpClient(HttpOptions options) : options_(std::move(options)) {
  std::call_once(g_global_init, [] { curl_global_init(CURL_GLOBAL_ALL); });
  curl_ = curl_easy_init();
}

HttpClient::~HttpClient() {
  if (curl_) {
    curl_easy_cleanup(static_cast<CURL*>(curl_));
  }
}

HttpResponse HttpClient::post_json(const std::string& url, const std::string& json) const {
  HttpResponse response;
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) {
    response.code = -1;
    return response;
  }
  Sink sink{&response.body, nullptr, options_.text_body_limit};
  HeaderList headers;
  headers.add("Content-Type: application/json");
  headers.add("Accept: application/json");
  common_options(curl, url, options_.post_timeout_ms, true, write_string, &sink, options_);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, json.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(json.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  response.code = perform(curl);
  return response;
}

HttpResponse HttpClient::put_bytes(const std::string& url, const std::vector<unsigned char>& body,
                                   const char* content_type) const {
  HttpResponse response;
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) {
    response.code = -1;
    return response;
  }
  Sink sink{&response.body, nullptr, options_.text_body_limit};
  HeaderList headers;
  headers.add(std::string("Content-Type: ") + (content_type ? content_type : ""));
  // An empty Expect drops "100-continue": the frame goes out without a round trip.
  headers.add("Expect:");
  common_options(curl, url, options_.put_timeout_ms, false, write_string, &sink, options_);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  response.code = perform(curl);
  return response;
}

HttpResponse HttpClient::get(const std::string& url) const {
  HttpResponse response;
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) {
    response.code = -1;
    return response;
  }
  Sink sink{&response.body, nullptr, options_.text_body_limit};
  common_options(curl, url, options_.get_timeout_ms, true, write_string, &sink, options_);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  response.code = perform(curl);
  return response;
}

bool HttpClient::get_bytes(const std::string& url, std::vector<unsigned char>* out) const {
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl || !out) {
    return false;
  }
  Sink sink{nullptr, out, options_.bytes_body_limit};
  common_options(curl, url, options_.bytes_timeout_ms, true, write_vector, &sink, options_);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  const int32_t code = perform(curl);
  return code >= 200 && code <= 299;
}

}  // namespace tessel
