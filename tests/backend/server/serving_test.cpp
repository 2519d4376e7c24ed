// Serving under hostile or merely many clients: idle and slow connections
// leave room for others, bursts of connects are all taken, and every client
// mistake is answered with a clear 4xx.
#include "backend_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <sstream>

namespace mattivo_test {
namespace {

using Clock = std::chrono::steady_clock;

int port_of(const std::string& url) { return std::atoi(url.c_str() + url.rfind(':') + 1); }

// One client socket on the loopback, closed with its owner.
struct Conn {
  int fd = -1;
  explicit Conn(int port, bool blocking = true) {
    fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  ~Conn() { ::close(fd); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until `until` appears, the peer closes or the time is up; false
  // when the peer closed.
  bool read(std::string* got, const std::string& until, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end && (until.empty() || got->find(until) == std::string::npos)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[8192];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      got->append(buf, static_cast<size_t>(n));
    }
    return true;
  }
};

const std::string kHealth = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";

// A newcomer's /healthz on a fresh connection, answered within the time or not.
bool newcomer_served(const LocalBackend& backend, int timeout_ms) {
  Conn c(port_of(backend.url));
  std::string got;
  c.send(kHealth);
  c.read(&got, "\"status\":\"ok\"", timeout_ms);
  return got.rfind("HTTP/1.1 200", 0) == 0 && got.find("\"status\":\"ok\"") != std::string::npos;
}

long long listen_overflows() {
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ListenOverflows") return std::stoll(value);
  }
  return -1;
}

TEST(Serving, IdleAndSlowConnectionsLeaveRoomForNewcomers) {
  LocalBackend backend;
  const int port = port_of(backend.url);
  // Pollers between two polls: each connection has had its answer and stays open.
  std::vector<std::unique_ptr<Conn>> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<Conn>(port));
    std::string got;
    ASSERT_TRUE(idle.back()->send(kHealth));
    idle.back()->read(&got, "\"status\":\"ok\"", 5000);
    ASSERT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << "poller " << i;
  }
  // Clients that send their headers a little at a time, and a body that stalls.
  std::vector<std::unique_ptr<Conn>> slow;
  for (int i = 0; i < 20; ++i) {
    slow.push_back(std::make_unique<Conn>(port));
    slow.back()->send(i % 2 ? "GET /healthz HTTP/1.1\r\nHo" : "PUT /api/matte/sessions HTTP/1.1\r\nHost: x\r\n"
                                                              "Content-Length: 1000\r\n\r\n{\"fps\"");
  }
  EXPECT_TRUE(newcomer_served(backend, 2000));
  // The idle ones are still served on their kept-alive connections.
  for (int i = 0; i < 40; i += 13) {
    std::string got;
    ASSERT_TRUE(idle[i]->send(kHealth));
    idle[i]->read(&got, "\"status\":\"ok\"", 2000);
    EXPECT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << "poller " << i;
  }
}

TEST(Serving, SilentConnectionsAreClosedAfterTheIdleTimeout) {
  tessel::ServerOptions options;
  options.http.idle_timeout_seconds = 1;
  LocalBackend backend(options);
  Conn kept(port_of(backend.url)), stalled(port_of(backend.url));
  std::string got;
  kept.send(kHealth);
  stalled.send("GET /healthz HTTP/1.1\r\nHost");
  EXPECT_TRUE(kept.read(&got, "\"status\":\"ok\"", 2000));
  // Both are closed within a few seconds: read() answers false once the peer closed.
  EXPECT_FALSE(kept.read(&got, "", 6000));
  std::string none;
  EXPECT_FALSE(stalled.read(&none, "", 6000));
  EXPECT_EQ(none, "");
}

// A byte every 100 ms never looks idle; the request deadline ends it.
TEST(Serving, TricklingHeadersAreCutAtTheRequestDeadline) {
  tessel::ServerOptions options;
  options.http.request_timeout_seconds = 1;
  LocalBackend backend(options);
  Conn slow(port_of(backend.url));
  const std::string head = "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: ";
  bool closed = false;
  std::string got;
  for (int i = 0; i < 60 && !closed; ++i) {
    closed = !slow.send(std::string(1, i < static_cast<int>(head.size()) ? head[i] : 'a')) ||
             !slow.read(&got, "", 100);
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(got, "");
  EXPECT_TRUE(newcomer_served(backend, 2000));
}

TEST(Serving, ABurstOfConnectsIsAllTaken) {
  LocalBackend backend;
  const int port = port_of(backend.url);
  long long before = listen_overflows();
  std::vector<std::unique_ptr<Conn>> burst;
  for (int i = 0; i < 256; ++i) burst.push_back(std::make_unique<Conn>(port, false));
  int answered = 0;
  for (auto& c : burst) {
    std::string got;
    if (c->send(kHealth)) c->read(&got, "\"status\":\"ok\"", 3000);
    answered += got.rfind("HTTP/1.1 200", 0) == 0;
  }
  EXPECT_EQ(answered, 256);
  if (before >= 0) {
    EXPECT_EQ(listen_overflows() - before, 0) << "connects overflowed the listen queue";
  }
}

// The first line of the answer to `request` sent on a fresh connection.
std::string status_line(const LocalBackend& backend, const std::string& request) {
  Conn c(port_of(backend.url));
  c.send(request);
  std::string got;
  c.read(&got, "\r\n\r\n", 5000);
  return got.substr(0, got.find("\r\n"));
}

TEST(Serving, ClientMistakesAreClear4xx) {
  LocalBackend backend;
  PluginClient client;
  std::string id = create_session(client, backend.url);
  const std::string session = "/api/matte/sessions/" + id;
  const std::string multipart =
      "--XyZ\r\nContent-Disposition: form-data; name=\"fps\"\r\n\r\n24\r\n--XyZ--\r\n";
  auto with_body = [](const std::string& head, const std::string& type, const std::string& body) {
    return head + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  std::string many_headers = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 5000; ++i) many_headers += "X-" + std::to_string(i) + ": y\r\n";
  struct Case {
    const char* what;
    std::string request;
    const char* status;
  };
  const std::string form = "multipart/form-data; boundary=XyZ";
  const std::vector<Case> cases = {
      {"multipart create", with_body("POST /api/matte/sessions", form, multipart), "HTTP/1.1 400"},
      {"multipart start", with_body("POST " + session + "/start", form, multipart), "HTTP/1.1 400"},
      {"multipart frame", with_body("PUT " + session + "/frames/0", form, multipart), "HTTP/1.1 400"},
      {"multipart beacon", with_body("POST /api/beacon", form, multipart), "HTTP/1.1 400"},
      {"multipart to no route", with_body("POST /api/nothing", form, multipart), "HTTP/1.1 404"},
      {"multipart to a GET route", with_body("POST /healthz", form, multipart), "HTTP/1.1 405"},
      {"too many headers", many_headers + "\r\n", "HTTP/1.1 431"},
      {"one huge header", "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n",
       "HTTP/1.1 431"},
      {"headers just over their limit",
       "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(33 * 1024, 'b') + "\r\n\r\n", "HTTP/1.1 431"},
      {"huge request line", "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
       "HTTP/1.1 414"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(status_line(backend, c.request).substr(0, 12), c.status);
  }
  EXPECT_TRUE(newcomer_served(backend, 2000));
  EXPECT_EQ(parse(client.get(backend.url + session).body)["frames"], 0);
}

}  // namespace
}  // namespace mattivo_test
