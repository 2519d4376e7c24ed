#include "backend_server.h"

#include "http_api.h"
#include "session_job.h"

#include <algorithm>
#include <cctype>

namespace tessel {

bool valid_prefix(const std::string& prefix) {
  if (prefix.empty()) return true;
  if (prefix[0] != '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) return false;
  if (prefix.find("/./") != std::string::npos || prefix.find("/../") != std::string::npos) return false;
  if (prefix.size() >= 2 && prefix.compare(prefix.size() - 2, 2, "/.") == 0) return false;
  if (prefix.size() >= 3 && prefix.compare(prefix.size() - 3, 3, "/..") == 0) return false;
  return std::all_of(prefix.begin(), prefix.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
  });
}

BackendServer::BackendServer(ServerOptions options) : options_(std::move(options)) {}

BackendServer::~BackendServer() { stop(); }

std::string BackendServer::base_url() const {
  return "http://" + options_.host + ":" + std::to_string(port_) + options_.prefix;
}

bool BackendServer::start(std::string* error) {
  if (!valid_prefix(options_.prefix)) {
    *error = "the prefix must look like /k/<token>";
    return false;
  }
  if (!options_.node.empty() && !valid_node_name(options_.node)) {
    *error = "the node name must be 1 to 16 lowercase letters and digits";
    return false;
  }
  store_ = std::make_unique<SessionStore>(options_.data_dir, options_.limits, options_.node);
  std::vector<std::string> requeue;
  if (!store_->open(&requeue, error)) return false;
  SessionStore* store = store_.get();
  queue_ = std::make_unique<JobQueue>(options_.workers,
                                      [store](const std::string& id, const std::atomic<bool>& stopping) {
                                        run_session_job(store, id, stopping);
                                      });
  for (const std::string& id : requeue) queue_->push(id);

  if (!start_http(options_.host, options_.port, options_.http,
                  api_handler(ApiContext{store, queue_.get(), options_.prefix, options_.node}), &http_,
                  error)) {
    queue_->stop();
    return false;
  }
  port_ = http_.port;
  janitor_ = std::thread([this] { janitor(); });
  return true;
}

void BackendServer::janitor() {
  std::unique_lock<std::mutex> lock(janitor_mu_);
  while (!stopping_) {
    lock.unlock();
    store_->expire(std::time(nullptr));
    lock.lock();
    janitor_wake_.wait_for(lock, std::chrono::seconds(std::max(1, options_.janitor_seconds)),
                           [this] { return stopping_; });
  }
}

void BackendServer::stop() {
  {
    std::lock_guard<std::mutex> lock(janitor_mu_);
    stopping_ = true;
  }
  janitor_wake_.notify_all();
  stop_http(&http_);
  if (janitor_.joinable()) janitor_.join();
  if (queue_) queue_->stop();
}

}  // namespace tessel
