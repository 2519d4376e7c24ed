// mattivo-backend as an object: the store, the job queue and the HTTP server
// put together, so that tests can run it inside their own process.
#pragma once

#include "http_server.h"
#include "job_queue.h"
#include "session_store.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tessel {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  std::string data_dir;
  std::string prefix;  // "" or "/k/<token>"
  std::string node;    // "" or a valid_node_name: the start of new session ids
  int workers = 1;
  StoreLimits limits;
  HttpLimits http;
  int janitor_seconds = 60;  // how often expired sessions are looked for
};

// True for "" and for paths like "/k/abc123": no trailing slash, no dots
// segments, only characters that need no escaping in a URL.
bool valid_prefix(const std::string& prefix);

class BackendServer {
 public:
  explicit BackendServer(ServerOptions options);
  ~BackendServer();
  BackendServer(const BackendServer&) = delete;
  BackendServer& operator=(const BackendServer&) = delete;

  // Opens the store, binds the port, requeues unfinished sessions and starts serving.
  bool start(std::string* error);
  // Stops serving; running jobs stop between frames and stay queued on disk.
  void stop();
  // "http://host:port" + prefix: the base URL the plug-in is given.
  std::string base_url() const;

 private:
  void janitor();

  ServerOptions options_;
  std::unique_ptr<SessionStore> store_;
  std::unique_ptr<JobQueue> queue_;
  HttpServer http_;
  std::thread janitor_;
  std::mutex janitor_mu_;
  std::condition_variable janitor_wake_;
  bool stopping_ = false;
  int port_ = 0;
};

}  // namespace tessel
