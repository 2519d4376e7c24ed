// A matting backend on 127.0.0.1 whose every answer a test scripts: the
// create, upload, start, poll, download and cancel answers, holds that keep a phase
// running until the test releases it, and a record of every request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/http_test_server.h"

namespace testpull {

struct Answer {
  int status = 200;
  std::string body;
  std::string type = "application/json";
};

class ScriptedBackend {
 public:
  // What the backend answers; change any of it before or during a pull.
  struct Script {
    Answer create{201, R"({"session_id":"sess-1"})"};
    // Upload answer for frame `index` at its `attempt`-th try (1-based).
    std::function<int(int index, int attempt)> upload = [](int, int) { return 200; };
    Answer start{200, R"({"status":"RUNNING"})"};
    // Start answers of particular sessions, by id, before `start`.
    std::map<std::string, Answer> start_of;
    // Poll answers in order; the last one repeats.
    std::vector<Answer> polls{{200, R"({"status":"COMPLETED"})"}};
    // Matte bytes of frame `index`, and the status that goes with them.
    std::function<Answer(int index)> matte = [](int index) {
      return Answer{200, "matte-" + std::to_string(index), "image/png"};
    };
    // A backend that predates cancelling answers 404 or 405 here.
    Answer cancel{200, R"({"status":"CANCELLED"})"};
  };

  template <class F>
  auto locked(F f) -> decltype(f(std::declval<Script&>())) {
    std::lock_guard<std::mutex> lock(mu_);
    return f(script_);
  }

  ScriptedBackend() {
    using httplib::Request;
    using httplib::Response;
    server_.on("POST", "/api/beacon", [this](const Request&, Response& res) {
      wait_if_held("beacon");
      res.status = 204;
    });
    server_.on("POST", "/api/matte/sessions", [this](const Request&, Response& res) {
      send(res, locked([&](Script& s) { return s.create; }));
    });
    server_.on("PUT", R"(/api/matte/sessions/([^/]*)/frames/(\d+))",
               [this](const Request& req, Response& res) {
                 const int index = std::stoi(req.matches[2]);
                 int attempt = 0;
                 {
                   std::lock_guard<std::mutex> lock(mu_);
                   attempt = ++attempts_[index];
                   frames_[index] = req.body;
                 }
                 wait_if_held("upload");
                 res.status = locked([&](Script& s) { return s.upload(index, attempt); });
               });
    server_.on("POST", R"(/api/matte/sessions/([^/]*)/start)", [this](const Request& req, Response& res) {
      send(res, locked([&](Script& s) {
             const auto it = s.start_of.find(req.matches[1]);
             return it == s.start_of.end() ? s.start : it->second;
           }));
    });
    server_.on("POST", R"(/api/matte/sessions/([^/]*)/cancel)", [this](const Request&, Response& res) {
      send(res, locked([&](Script& s) { return s.cancel; }));
    });
    server_.on("GET", R"(/api/matte/sessions/([^/]*)/alpha/(\d+)\.png)",
               [this](const Request& req, Response& res) {
                 const int index = std::stoi(req.matches[2]);
                 wait_if_held("download");
                 send(res, locked([&](Script& s) { return s.matte(index); }));
               });
    server_.on("GET", R"(/api/matte/sessions/([^/]*))", [this](const Request&, Response& res) {
      Answer answer = locked([&](Script& s) {
        const size_t i = std::min(polls_answered_, s.polls.size() - 1);
        ++polls_answered_;
        return s.polls[i];
      });
      wait_if_held("poll");
      send(res, answer);
    });
    server_.start();
  }
  ~ScriptedBackend() {
    release_all();
    server_.stop();
  }

  std::string url() const { return server_.url(); }
  void stop() {
    release_all();
    server_.stop();
  }

  void set(std::function<void(Script&)> change) {
    std::lock_guard<std::mutex> lock(mu_);
    change(script_);
  }

  // Requests of a phase ("beacon", "upload", "download", "poll") wait until released.
  void hold(const std::string& phase, bool on) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      held_[phase] = on;
    }
    changed_.notify_all();
  }
  void release_all() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      held_.clear();
      closing_ = true;
    }
    changed_.notify_all();
  }
  // Number of requests of that phase now waiting on a hold.
  int waiting(const std::string& phase) {
    std::lock_guard<std::mutex> lock(mu_);
    return waiting_[phase];
  }

  std::vector<testnet::Recorded> requests() const { return server_.requests(); }
  std::vector<std::string> lines() const { return server_.lines(); }
  int attempts(int index) {
    std::lock_guard<std::mutex> lock(mu_);
    return attempts_[index];
  }
  std::string frame(int index) {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_[index];
  }

 private:
  static void send(httplib::Response& res, const Answer& answer) {
    res.status = answer.status;
    if (!answer.body.empty()) {
      res.set_content(answer.body, answer.type.c_str());
    }
  }

  // A held phase waits, at most 20 s, so a broken test cannot hang the suite.
  void wait_if_held(const std::string& phase) {
    std::unique_lock<std::mutex> lock(mu_);
    ++waiting_[phase];
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return closing_ || !held_[phase]; });
    --waiting_[phase];
  }

  std::mutex mu_;
  std::condition_variable changed_;
  Script script_;
  size_t polls_answered_ = 0;
  std::map<int, int> attempts_;
  std::map<int, std::string> frames_;
  std::map<std::string, bool> held_;
  std::map<std::string, int> waiting_;
  bool closing_ = false;
  testnet::TestServer server_;
};

// Waits, at most `limit`, until `done` holds; the deadline keeps a broken pull from hanging a test.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testpull
