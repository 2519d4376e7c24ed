// A first-in first-out queue of session ids served by a fixed number of threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessel {

class JobQueue {
 public:
  // `run` is called on a worker thread for each id; it should return soon
  // after `stopping` turns true (on stop(), or on cancel() of that id).
  using Runner = std::function<void(const std::string& id, const std::atomic<bool>& stopping)>;

  JobQueue(int workers, Runner run);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  void push(const std::string& id);
  // How many jobs wait before this one; -1 when it is not waiting.
  int position(const std::string& id);
  // Drops the job if it waits, and tells it to stop if it runs.
  void cancel(const std::string& id);
  // Stops taking jobs, tells running ones to stop and joins every thread.
  void stop();

 private:
  void work();

  Runner run_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::string> waiting_;
  // The stop flag of each running job, on its worker's stack.
  std::map<std::string, std::atomic<bool>*> running_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

}  // namespace tessel
