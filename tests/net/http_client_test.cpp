#include "net/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testing/http_test_server.h"

namespace {

using testnet::Recorded;
using testnet::TestServer;
using namespace std::chrono_literals;

void reply(httplib::Response& res, int status, const std::string& body,
           const std::string& type = "text/plain") {
  res.status = status;
  res.set_content(body, type);
}

std::vector<unsigned char> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// Holds a chunked answer open after its first piece until released (or 3 s pass).
struct SlowAnswer {
  std::atomic<bool> released{false};
  void install(TestServer& server, const std::string& path) {
    server.on("GET", path, [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) {
          sink.write("partial-", 8);
          return true;
        }
        for (int i = 0; i < 300 && !released; ++i) {
          std::this_thread::sleep_for(10ms);
        }
        sink.write("rest", 4);
        sink.done();
        return true;
      });
    });
  }
};

TEST(HttpClient, EachShapeSendsItsMethodHeadersAndBody) {
  TestServer server;
  server.on("POST", "/json", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 201, R"({"ok":true})", "application/json");
  });
  server.on("PUT", "/frame",
            [](const httplib::Request&, httplib::Response& res) { reply(res, 200, "stored"); });
  server.on("GET", "/text", [](const httplib::Request&, httplib::Response& res) { reply(res, 202, "poll"); });
  server.on("GET", "/bin", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, std::string("\x89PNG\0\x01", 6), "image/png");
  });
  server.start();

  tessel::HttpClient client;
  const std::string json = R"({"fps":25.0,"source":"plugin"})";
  tessel::HttpResponse posted = client.post_json(server.url() + "/json", json);
  EXPECT_EQ(posted.code, 201);
  EXPECT_EQ(posted.body, R"({"ok":true})");

  const std::vector<unsigned char> jpeg = {0xFF, 0xD8, 0x00, 0x7F, 0xFF, 0xD9};
  tessel::HttpResponse put = client.put_bytes(server.url() + "/frame", jpeg, "image/jpeg");
  EXPECT_EQ(put.code, 200);
  EXPECT_EQ(put.body, "stored");

  tessel::HttpResponse got = client.get(server.url() + "/text");
  EXPECT_EQ(got.code, 202);
  EXPECT_EQ(got.body, "poll");

  std::vector<unsigned char> out;
  EXPECT_TRUE(client.get_bytes(server.url() + "/bin", &out));
  EXPECT_EQ(out, bytes_of(std::string("\x89PNG\0\x01", 6)));

  const std::vector<Recorded> seen = server.requests();
  ASSERT_EQ(seen.size(), 4u);
  for (const Recorded& r : seen) {
    EXPECT_EQ(r.header("User-Agent"), "CorvaneMattivo-OFX/1.1") << r.path;
    EXPECT_FALSE(r.has_header("Expect")) << r.path;
  }
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, json);
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("Accept"), "application/json");

  // The second request carries nothing of the first: its own method, type and body.
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(seen[1].body, std::string(jpeg.begin(), jpeg.end()));
  EXPECT_EQ(seen[1].header("Content-Type"), "image/jpeg");
  EXPECT_NE(seen[1].header("Accept"), "application/json");

  for (int i : {2, 3}) {
    EXPECT_EQ(seen[i].method, "GET");
    EXPECT_TRUE(seen[i].body.empty());
    EXPECT_FALSE(seen[i].has_header("Content-Type"));
    EXPECT_FALSE(seen[i].has_header("Content-Length") && seen[i].header("Content-Length") != "0");
  }
  // One handle, one connection for the whole sequence.
  for (const Recorded& r : seen) {
    EXPECT_EQ(r.remote_port, seen[0].remote_port);
  }
}

TEST(HttpClient, FollowsRedirectsExceptForUploads) {
  TestServer server;
  for (const char* method : {"GET", "POST", "PUT"}) {
    server.on(method, "/old", [](const httplib::Request&, httplib::Response& res) {
      res.status = 307;
      res.set_header("Location", "/new");
      res.set_content("moved", "text/plain");
    });
    server.on(method, "/new", [](const httplib::Request& req, httplib::Response& res) {
      reply(res, 200, "arrived by " + req.method);
    });
  }
  server.start();

  tessel::HttpClient client;
  tessel::HttpResponse posted = client.post_json(server.url() + "/old", "{}");
  EXPECT_EQ(posted.code, 200);
  EXPECT_EQ(posted.body, "arrived by POST");

  tessel::HttpResponse got = client.get(server.url() + "/old");
  EXPECT_EQ(got.code, 200);
  EXPECT_EQ(got.body, "arrived by GET");

  std::vector<unsigned char> out;
  EXPECT_TRUE(client.get_bytes(server.url() + "/old", &out));
  EXPECT_EQ(out, bytes_of("arrived by GET"));

  tessel::HttpResponse put = client.put_bytes(server.url() + "/old", bytes_of("x"), "image/jpeg");
  EXPECT_EQ(put.code, 307);
  EXPECT_EQ(put.body, "moved");
  EXPECT_EQ(server.lines().back(), "PUT /old");
}

// A bare TCP listener: tells whether anything connected to it, whatever the protocol.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 8);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd); }
  bool connected() const {
    int c = ::accept(fd, nullptr, nullptr);
    if (c < 0) {
      return false;
    }
    ::close(c);
    return true;
  }
};

TEST(HttpClient, OnlyHttpIsSpokenAndRedirectsAreBounded) {
  Listener ftp;
  const std::string ftp_url = "ftp://127.0.0.1:" + std::to_string(ftp.port) + "/x";
  TestServer server;
  server.on("GET", "/to-ftp", [ftp_url](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", ftp_url);
  });
  server.on("GET", R"(/loop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/loop/" + std::to_string(std::stoi(req.matches[1]) + 1));
  });
  server.start();

  tessel::HttpOptions options;
  options.get_timeout_ms = options.bytes_timeout_ms = options.post_timeout_ms = 300;
  tessel::HttpClient client(options);
  EXPECT_EQ(client.get(server.url() + "/to-ftp").code, -1);
  std::vector<unsigned char> out;
  EXPECT_FALSE(client.get_bytes(server.url() + "/to-ftp", &out));
  EXPECT_EQ(client.post_json(ftp_url, "{}").code, -1);
  EXPECT_EQ(client.get("file:///etc/hostname").code, -1);
  EXPECT_FALSE(ftp.connected());

  EXPECT_EQ(client.get(server.url() + "/loop/0").code, -1);
  size_t loops = 0;
  for (const std::string& line : server.lines()) {
    loops += line.rfind("GET /loop/", 0) == 0;
  }
  EXPECT_GE(loops, 2u);
  EXPECT_LE(loops, 11u);
}

TEST(HttpClient, GetBytesJudgesTheStatusAndAppends) {
  TestServer server;
  server.on("GET", "/missing",
            [](const httplib::Request&, httplib::Response& res) { reply(res, 404, "no such matte"); });
  server.on("GET", "/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  server.on("GET", "/data", [](const httplib::Request&, httplib::Response& res) { reply(res, 200, "DEF"); });
  server.start();

  tessel::HttpClient client;
  std::vector<unsigned char> out = bytes_of("ABC");
  EXPECT_FALSE(client.get_bytes(server.url() + "/missing", &out));
  EXPECT_EQ(out, bytes_of("ABCno such matte"));

  out = bytes_of("ABC");
  EXPECT_TRUE(client.get_bytes(server.url() + "/empty", &out));
  EXPECT_EQ(out, bytes_of("ABC"));

  EXPECT_TRUE(client.get_bytes(server.url() + "/data", &out));
  EXPECT_EQ(out, bytes_of("ABCDEF"));

  // Error statuses are answers, not failures, for the other shapes.
  tessel::HttpResponse got = client.get(server.url() + "/missing");
  EXPECT_EQ(got.code, 404);
  EXPECT_EQ(got.body, "no such matte");
}

TEST(HttpClient, UnreachableHostFailsEveryShape) {
  const std::string url = "http://127.0.0.1:" + std::to_string(testnet::closed_port()) + "/x";
  tessel::HttpClient client;
  EXPECT_EQ(client.post_json(url, "{}").code, -1);
  EXPECT_EQ(client.put_bytes(url, bytes_of("x"), "image/jpeg").code, -1);
  EXPECT_EQ(client.get(url).code, -1);
  std::vector<unsigned char> out;
  EXPECT_FALSE(client.get_bytes(url, &out));
  EXPECT_TRUE(out.empty());
}

TEST(HttpClient, TimeOutKeepsWhatArrived) {
  TestServer server;
  SlowAnswer slow;
  slow.install(server, "/slow");
  server.start();

  tessel::HttpOptions options;
  options.get_timeout_ms = 200;
  options.bytes_timeout_ms = 200;
  tessel::HttpClient client(options);
  tessel::HttpResponse got = client.get(server.url() + "/slow");
  EXPECT_EQ(got.code, -1);
  EXPECT_EQ(got.body, "partial-");

  std::vector<unsigned char> out;
  EXPECT_FALSE(client.get_bytes(server.url() + "/slow", &out));
  EXPECT_EQ(out, bytes_of("partial-"));
  slow.released = true;
}

TEST(HttpClient, CancelEndsARunningTransfer) {
  TestServer server;
  SlowAnswer slow;
  slow.install(server, "/slow");
  server.start();

  std::atomic<bool> cancel{false};
  tessel::HttpOptions options;
  options.cancelled = [&cancel] { return cancel.load(); };
  tessel::HttpClient client(options);
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(100ms);
    cancel = true;
  });
  tessel::HttpResponse got = client.get(server.url() + "/slow");
  canceller.join();
  slow.released = true;
  // Without the cancel the server would have finished the answer with 200.
  EXPECT_EQ(got.code, -1);
  EXPECT_EQ(got.body, "partial-");
}

TEST(HttpClient, OversizedAnswersFailTheTransfer) {
  TestServer server;
  server.on("GET", "/big",
            [](const httplib::Request&, httplib::Response& res) { reply(res, 200, std::string(5000, 'x')); });
  server.on("GET", "/fits",
            [](const httplib::Request&, httplib::Response& res) { reply(res, 200, std::string(1000, 'y')); });
  server.start();

  tessel::HttpOptions options;
  options.text_body_limit = 1000;
  options.bytes_body_limit = 1000;
  tessel::HttpClient client(options);
  EXPECT_EQ(client.get(server.url() + "/big").code, -1);
  std::vector<unsigned char> out;
  EXPECT_FALSE(client.get_bytes(server.url() + "/big", &out));
  EXPECT_LE(out.size(), 1000u);

  tessel::HttpResponse fits = client.get(server.url() + "/fits");
  EXPECT_EQ(fits.code, 200);
  EXPECT_EQ(fits.body.size(), 1000u);
  out.clear();
  EXPECT_TRUE(client.get_bytes(server.url() + "/fits", &out));
  EXPECT_EQ(out.size(), 1000u);
}

TEST(HttpClient, ClientsOnManyThreadsInitialiseOnce) {
  TestServer server;
  server.on("GET", "/ping", [](const httplib::Request&, httplib::Response& res) { reply(res, 200, "pong"); });
  server.start();

  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      tessel::HttpClient client;
      for (int i = 0; i < 5; ++i) {
        tessel::HttpResponse r = client.get(server.url() + "/ping");
        answered += r.code == 200 && r.body == "pong";
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(answered.load(), 20);
}

}  // namespace
