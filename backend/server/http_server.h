// HTTP/1.1 serving on an event loop (libmicrohttpd): an idle or slow
// connection costs a socket and a little memory, never a thread. Handlers run
// on the loop's threads, so they must not wait on anything slow.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessel {

struct HttpLimits {
  int threads = 2;                // event-loop threads
  int max_connections = 2000;     // open at once; more wait in the listen queue
  int idle_timeout_seconds = 30;  // a connection silent this long is closed
  // A request's line and headers must all be in this long after the
  // connection opened or its previous request ended, however slowly they trickle.
  int request_timeout_seconds = 60;
  int listen_backlog = 1024;
  int header_bytes = 32 * 1024;  // request line and headers together
  int max_headers = 100;
};

struct HttpRequest {
  std::string method;
  std::string path;  // percent escapes decoded, query string removed
  std::vector<std::pair<std::string, std::string>> headers;
  long long content_length = -1;  // -1: not declared
  bool chunked = false;

  bool has_header(const char* name) const;
  std::string header(const char* name) const;  // "" when absent
};

struct HttpResponse {
  int status = 200;
  std::string body;
  std::string content_type;
  std::string file;  // when set, the body is this file, sent from disk
  std::vector<std::pair<std::string, std::string>> headers;

  void set_content(const std::string& text, const char* type) {
    body = text;
    content_type = type;
  }
  void set_header(const std::string& name, const std::string& value) { headers.emplace_back(name, value); }
};

// One request as its handler sees it: `take` receives the body piece by piece
// as it arrives (false: stop reading and answer now, closing the connection);
// `finish` writes the answer once the body is in or was refused. Without
// `take`, small bodies are read and dropped so the connection stays usable.
struct HttpExchange {
  std::function<bool(const char* data, size_t size)> take;
  std::function<void(HttpResponse* res)> finish;
};
using HttpHandler = std::function<HttpExchange(const HttpRequest& req)>;

struct HttpDaemon;

// A running server; stopped when dropped.
struct HttpServer {
  std::unique_ptr<HttpDaemon> daemon;
  int port = 0;
  HttpServer();
  ~HttpServer();
  HttpServer(HttpServer&&) noexcept;
  HttpServer& operator=(HttpServer&&) noexcept;
};

// Listens on host:port (0: any free port) and serves `handler`; false with the
// reason in *error.
bool start_http(const std::string& host, int port, const HttpLimits& limits, HttpHandler handler,
                HttpServer* out, std::string* error);
void stop_http(HttpServer* server);

}  // namespace tessel
