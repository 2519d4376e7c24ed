// A scripted HTTP server on 127.0.0.1 for network tests: routes answer each
// case, and every request that reaches the server is recorded in order.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testnet {

struct Recorded {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
  int remote_port = -1;

  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  bool has_header(const std::string& name) const { return headers.count(name) > 0; }
};

class TestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  TestServer() {
    // Without it the header and body writes of an answer wait on delayed ACKs.
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(100000);
    server_.set_keep_alive_timeout(2);
  }
  ~TestServer() { stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Routes are tried in the order added; a request no route takes gets 404.
  void on(const std::string& method, const std::string& pattern, Handler handler) {
    auto wrapped = [this, handler](const httplib::Request& req, httplib::Response& res) {
      record(req);
      handler(req, res);
    };
    if (method == "GET") {
      server_.Get(pattern, wrapped);
    } else if (method == "POST") {
      server_.Post(pattern, wrapped);
    } else if (method == "PUT") {
      server_.Put(pattern, wrapped);
    } else if (method == "DELETE") {
      server_.Delete(pattern, wrapped);
    }
  }

  void start() {
    // Answered unrecorded: start() asks it once, so the server is fully up
    // (its worker threads included) when start() returns.
    server_.Get("/__ready", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    for (const char* method : {"GET", "POST", "PUT", "DELETE"}) {
      on(method, ".*", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    }
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    httplib::Client probe("127.0.0.1", port_);
    probe.Get("/__ready");
  }

  void stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::vector<Recorded> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  std::vector<std::string> lines() const {  // "METHOD path", in arrival order
    std::vector<std::string> out;
    for (const Recorded& r : requests()) {
      out.push_back(r.method + " " + r.path);
    }
    return out;
  }

 private:
  void record(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back({req.method, req.path, req.body, req.headers, req.remote_port});
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  mutable std::mutex mu_;
  std::vector<Recorded> requests_;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace testnet
