#include "http_server.h"

#include <microhttpd.h>

#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace tessel {

// A connection waiting for its next request's headers, and since when.
struct Waiting {
  int fd = -1;
  std::chrono::steady_clock::time_point since;
  bool in_request = false;  // its headers are in: the deadline does not apply
  bool cut = false;
};

struct HttpDaemon {
  MHD_Daemon* mhd = nullptr;
  HttpLimits limits;
  HttpHandler handler;
  std::mutex mu;
  std::map<MHD_Connection*, Waiting> connections;
  std::condition_variable wake;
  bool stopping = false;
  std::thread reaper;
  ~HttpDaemon() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stopping = true;
    }
    wake.notify_all();
    if (reaper.joinable()) reaper.join();
    if (mhd) MHD_stop_daemon(mhd);
  }
};

namespace {

// Bodies up to this size are read and dropped when a request is refused, so
// that the connection stays usable; larger ones close it instead.
constexpr long long kDrainBytes = 4LL << 20;

// One request between its headers and its answer.
struct Pending {
  HttpExchange exchange;
  long long dropped = 0;
  bool refused = false;  // the handler wants no more of the body: the rest is dropped
  bool answered = false;
};

MHD_Result collect_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpRequest*>(cls)->headers.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

HttpResponse text_response(int status, const char* text) {
  HttpResponse res;
  res.status = status;
  res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
  return res;
}

MHD_Result send(MHD_Connection* c, const HttpResponse& res, bool close) {
  MHD_Response* r = nullptr;
  if (!res.file.empty()) {
    int fd = ::open(res.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      r = MHD_create_response_from_fd(static_cast<uint64_t>(st.st_size), fd);  // owns fd from here
    } else if (fd >= 0) {
      ::close(fd);
    }
    if (!r) return send(c, text_response(404, "file gone"), close);
  } else {
    r = MHD_create_response_from_buffer(res.body.size(), const_cast<char*>(res.body.data()),
                                        MHD_RESPMEM_MUST_COPY);
  }
  if (!r) return MHD_NO;
  if (!res.content_type.empty()) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type.c_str());
  bool closing = close;
  for (const auto& [name, value] : res.headers) {
    closing = closing || (strcasecmp(name.c_str(), "Connection") == 0 && strcasecmp(value.c_str(), "close") == 0);
    if (strcasecmp(name.c_str(), "Connection") != 0) MHD_add_response_header(r, name.c_str(), value.c_str());
  }
  if (closing) MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(res.status), r);
  MHD_destroy_response(r);
  return ok;
}

// The handler's answer; a handler that throws answers 500 with a short text.
MHD_Result finish(MHD_Connection* c, Pending* p, bool close) {
  p->answered = true;
  HttpResponse res;
  try {
    if (p->exchange.finish) p->exchange.finish(&res);
  } catch (...) {
    res = text_response(500, "internal error");
  }
  return send(c, res, close);
}

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                      const char* data, size_t* size, void** state) {
  HttpDaemon* d = static_cast<HttpDaemon*>(cls);
  Pending* p = static_cast<Pending*>(*state);
  if (!p) {
    p = new Pending;
    *state = p;
    {
      std::lock_guard<std::mutex> lock(d->mu);
      if (auto it = d->connections.find(c); it != d->connections.end()) it->second.in_request = true;
    }
    HttpRequest req;
    req.method = method;
    req.path = url;
    MHD_get_connection_values(c, MHD_HEADER_KIND, collect_header, &req);
    long long header_bytes = 0;
    for (const auto& [name, value] : req.headers) header_bytes += static_cast<long long>(name.size() + value.size() + 4);
    // The connection's memory is larger than these limits, so they are held here.
    if (static_cast<long long>(req.path.size()) > d->limits.header_bytes) {
      p->answered = true;
      return send(c, text_response(414, "request line too long"), true);
    }
    if (static_cast<int>(req.headers.size()) > d->limits.max_headers ||
        header_bytes + static_cast<long long>(req.path.size()) > d->limits.header_bytes) {
      p->answered = true;
      return send(c, text_response(431, "request headers too large"), true);
    }
    std::string length = req.header(MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length.empty()) req.content_length = std::strtoll(length.c_str(), nullptr, 10);
    req.chunked = strcasestr(req.header(MHD_HTTP_HEADER_TRANSFER_ENCODING).c_str(), "chunked") != nullptr;
    try {
      p->exchange = d->handler(req);
    } catch (...) {
      p->exchange = {};
      p->exchange.finish = [](HttpResponse* res) { *res = text_response(500, "internal error"); };
    }
    // A refusal with a large body unread is answered at once, and the connection closed.
    if (!p->exchange.take && req.content_length > kDrainBytes) return finish(c, p, true);
    return MHD_YES;
  }
  if (*size > 0) {
    const size_t n = *size;
    *size = 0;
    if (p->answered) return MHD_YES;
    if (!p->refused && p->exchange.take) {
      try {
        p->refused = !p->exchange.take(data, n);
      } catch (...) {
        p->exchange.finish = [](HttpResponse* res) { *res = text_response(500, "internal error"); };
        p->refused = true;
      }
      return MHD_YES;
    }
    // An answer cannot go out while the body is still coming, so the rest of
    // a refused body is dropped; past a few megabytes the connection is cut.
    p->dropped += static_cast<long long>(n);
    return p->dropped <= kDrainBytes ? MHD_YES : MHD_NO;
  }
  if (p->answered) return MHD_YES;
  return finish(c, p, p->refused);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent escapes decoded in place, except "%00": a path is a C string to
// the handler, and a NUL would cut it short into another path.
size_t unescape(void*, MHD_Connection*, char* s) {
  char* out = s;
  for (const char* in = s; *in;) {
    int hi = in[0] == '%' ? hex_value(in[1]) : -1;
    int lo = hi >= 0 ? hex_value(in[2]) : -1;
    if (lo >= 0 && (hi | lo) != 0) {
      *out++ = static_cast<char>(hi * 16 + lo);
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
  return static_cast<size_t>(out - s);
}

// Dropping the request's state also drops what its handler held, e.g. an
// upload cut short, whose temporary file goes with it.
void on_completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode) {
  delete static_cast<Pending*>(*state);
  *state = nullptr;
  HttpDaemon* d = static_cast<HttpDaemon*>(cls);
  std::lock_guard<std::mutex> lock(d->mu);
  if (auto it = d->connections.find(c); it != d->connections.end()) {
    it->second.in_request = false;
    it->second.since = std::chrono::steady_clock::now();
  }
}

// The library tells of a connection's end before it closes the socket, so a
// socket the reaper finds in the table is still this connection's.
void on_connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  HttpDaemon* d = static_cast<HttpDaemon*>(cls);
  std::lock_guard<std::mutex> lock(d->mu);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    d->connections.erase(c);
    return;
  }
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info) d->connections[c] = Waiting{info->connect_fd, std::chrono::steady_clock::now()};
}

// Cuts connections whose request headers trickle in past the deadline: the
// idle time-out alone never ends a client that sends a byte a second.
void reap(HttpDaemon* d) {
  const auto deadline = std::chrono::seconds(std::max(1, d->limits.request_timeout_seconds));
  std::unique_lock<std::mutex> lock(d->mu);
  while (!d->stopping) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [connection, w] : d->connections) {
      if (!w.in_request && !w.cut && now - w.since > deadline) {
        ::shutdown(w.fd, SHUT_RDWR);  // the event loop sees the end and closes it
        w.cut = true;
      }
    }
    d->wake.wait_for(lock, std::chrono::milliseconds(250), [d] { return d->stopping; });
  }
}

}  // namespace

bool HttpRequest::has_header(const char* name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name) == 0) return true;
  return false;
}

std::string HttpRequest::header(const char* name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name) == 0) return h.second;
  return "";
}

HttpServer::HttpServer() = default;
HttpServer::~HttpServer() { stop_http(this); }
HttpServer::HttpServer(HttpServer&&) noexcept = default;
HttpServer& HttpServer::operator=(HttpServer&&) noexcept = default;

bool start_http(const std::string& host, int port, const HttpLimits& limits, HttpHandler handler,
                HttpServer* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
    *error = "cannot listen on " + host + ": unknown address";
    return false;
  }
  sockaddr_storage where{};
  std::memcpy(&where, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof where));
  const bool v6 = found->ai_family == AF_INET6;
  freeaddrinfo(found);
  const sockaddr* addr = reinterpret_cast<const sockaddr*>(&where);
  // poll(), not epoll: with epoll a client that half-closed mid-body was at
  // times not noticed until its idle time-out, keeping its upload open.
  unsigned flags = MHD_USE_POLL_INTERNAL_THREAD | (v6 ? MHD_USE_IPv6 : 0);
  auto d = std::make_unique<HttpDaemon>();
  d->limits = limits;
  d->handler = std::move(handler);
  // The connection's memory holds the request line and headers; what is left
  // of it buffers the body, so it is given twice the header limit.
  d->mhd = MHD_start_daemon(
      flags, static_cast<uint16_t>(port), nullptr, nullptr, on_request, d.get(), MHD_OPTION_SOCK_ADDR, addr,
      MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(std::max(1, limits.threads)),
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits.max_connections), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(limits.idle_timeout_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(2 * limits.header_bytes), MHD_OPTION_LISTEN_BACKLOG_SIZE,
      static_cast<unsigned>(limits.listen_backlog), MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
      MHD_OPTION_NOTIFY_COMPLETED, on_completed, d.get(), MHD_OPTION_NOTIFY_CONNECTION, on_connection, d.get(),
      MHD_OPTION_UNESCAPE_CALLBACK, unescape, nullptr,
      MHD_OPTION_END);
  if (!d->mhd) {
    *error = "cannot listen on " + host + ":" + std::to_string(port);
    return false;
  }
  HttpDaemon* raw = d.get();
  d->reaper = std::thread([raw] { reap(raw); });
  const MHD_DaemonInfo* info = MHD_get_daemon_info(d->mhd, MHD_DAEMON_INFO_BIND_PORT);
  out->port = info ? info->port : port;
  out->daemon = std::move(d);
  return true;
}

void stop_http(HttpServer* server) { server->daemon.reset(); }

}  // namespace tessel
