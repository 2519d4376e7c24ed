// The job queue: a fixed number of threads, first come first served, and a
// stop that waits for running jobs after telling them to stop.
#include "server/job_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(JobQueue, RunsEveryJobOnceOnAtMostItsThreads) {
  std::mutex mu;
  std::multiset<std::string> done;
  std::set<std::thread::id> threads;
  std::atomic<int> running{0}, most{0};
  {
    tessel::JobQueue queue(3, [&](const std::string& id, const std::atomic<bool>&) {
      int now = ++running;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(2ms);
      --running;
      std::lock_guard<std::mutex> lock(mu);
      done.insert(id);
      threads.insert(std::this_thread::get_id());
    });
    for (int i = 0; i < 40; ++i) queue.push("job" + std::to_string(i));
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(mu);
        if (done.size() == 40) break;
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_EQ(done.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(done.count("job" + std::to_string(i)), 1u);
  EXPECT_LE(most.load(), 3);
  EXPECT_LE(threads.size(), 3u);
}

TEST(JobQueue, WaitingPositionsAndAStopThatReachesRunningJobs) {
  std::atomic<bool> started{false}, saw_stop{false};
  std::atomic<int> runs{0};
  tessel::JobQueue queue(1, [&](const std::string&, const std::atomic<bool>& stopping) {
    ++runs;
    started = true;
    while (!stopping) std::this_thread::sleep_for(1ms);
    saw_stop = true;
  });
  queue.push("a");
  while (!started) std::this_thread::sleep_for(1ms);
  queue.push("b");
  queue.push("c");
  EXPECT_EQ(queue.position("a"), -1);  // running, not waiting
  EXPECT_EQ(queue.position("b"), 0);
  EXPECT_EQ(queue.position("c"), 1);
  queue.stop();
  EXPECT_TRUE(saw_stop);
  EXPECT_EQ(runs.load(), 1);  // the waiting jobs are dropped, not run
  queue.push("d");
  EXPECT_EQ(queue.position("d"), -1);
}

TEST(JobQueue, CancelStopsThatJobOnlyAndDropsAWaitingOne) {
  std::mutex mu;
  std::vector<std::string> ran;
  std::atomic<bool> a_started{false};
  tessel::JobQueue queue(1, [&](const std::string& id, const std::atomic<bool>& stopping) {
    {
      std::lock_guard<std::mutex> lock(mu);
      ran.push_back(id);
    }
    if (id != "a") return;
    a_started = true;
    while (!stopping) std::this_thread::sleep_for(1ms);
  });
  queue.push("a");
  while (!a_started) std::this_thread::sleep_for(1ms);
  queue.push("b");
  queue.push("c");
  queue.cancel("b");  // waiting: never runs
  EXPECT_EQ(queue.position("c"), 0);
  queue.cancel("zzz");  // unknown: nothing happens
  queue.cancel("a");    // running: told to stop, and the worker goes on with c
  for (int i = 0; i < 2000; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (ran.size() == 2) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  queue.stop();
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "c"}));
}

}  // namespace
