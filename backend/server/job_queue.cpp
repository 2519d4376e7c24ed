#include "job_queue.h"

#include <algorithm>

namespace tessel {

JobQueue::JobQueue(int workers, Runner run) : run_(std::move(run)) {
  for (int i = 0; i < std::max(1, workers); ++i) threads_.emplace_back([this] { work(); });
}

JobQueue::~JobQueue() { stop(); }

void JobQueue::push(const std::string& id) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    waiting_.push_back(id);
  }
  wake_.notify_one();
}

int JobQueue::position(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find(waiting_.begin(), waiting_.end(), id);
  return it == waiting_.end() ? -1 : static_cast<int>(it - waiting_.begin());
}

void JobQueue::cancel(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), id), waiting_.end());
  if (auto it = running_.find(id); it != running_.end()) *it->second = true;
}

void JobQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    waiting_.clear();
    for (auto& job : running_) *job.second = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

void JobQueue::work() {
  for (;;) {
    std::string id;
    std::atomic<bool> stop{false};
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      id = waiting_.front();
      waiting_.pop_front();
      running_[id] = &stop;
    }
    run_(id, stop);
    std::lock_guard<std::mutex> lock(mu_);
    // A session started again as soon as this job ended may already run on
    // another worker under the same id: only this job's own entry goes.
    if (auto it = running_.find(id); it != running_.end() && it->second == &stop) running_.erase(it);
  }
}

}  // namespace tessel
