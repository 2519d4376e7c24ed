#include "plugin/instance_registry.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

// All of it in one object, so its destructor can stop and join the threads
// before the mutex and the lists they use are torn down.
struct Registry {
  std::mutex mu;
  std::condition_variable wake;
  std::map<OfxImageEffectHandle, uint64_t> live;
  uint64_t next_generation = 1;
  std::atomic<bool> stopping{false};

  std::mutex threads_mu;
  std::list<Worker> threads;

  ~Registry() { stop_all(); }

  void stop_all() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stopping = true;
    }
    wake.notify_all();
    std::list<Worker> ending;
    {
      std::lock_guard<std::mutex> lock(threads_mu);
      ending.swap(threads);
    }
    for (Worker& w : ending) {
      if (w.thread.joinable()) {
        w.thread.join();
      }
    }
    // A plug-in that is loaded again after the unload action starts afresh.
    std::lock_guard<std::mutex> lock(mu);
    stopping = false;
  }

  bool alive_locked(const InstanceToken& token) const {
    if (stopping || token.generation == 0) {
      return false;
    }
    auto it = live.find(token.effect);
    return it != live.end() && it->second == token.generation;
  }
};

Registry gRegistry;

}  // namespace

void instanceCreated(OfxImageEffectHandle effect) {
  std::lock_guard<std::mutex> lock(gRegistry.mu);
  gRegistry.live[effect] = gRegistry.next_generation++;
}

void instanceDestroyed(OfxImageEffectHandle effect) {
  {
    std::lock_guard<std::mutex> lock(gRegistry.mu);
    gRegistry.live.erase(effect);
  }
  gRegistry.wake.notify_all();
}

InstanceToken liveInstance(OfxImageEffectHandle effect) {
  std::lock_guard<std::mutex> lock(gRegistry.mu);
  auto it = gRegistry.live.find(effect);
  return {effect, it == gRegistry.live.end() ? 0 : it->second};
}

bool instanceAlive(const InstanceToken& token) {
  std::lock_guard<std::mutex> lock(gRegistry.mu);
  return gRegistry.alive_locked(token);
}

bool withLiveInstance(const InstanceToken& token, const std::function<void()>& write) {
  std::lock_guard<std::mutex> lock(gRegistry.mu);
  if (!gRegistry.alive_locked(token)) {
    return false;
  }
  write();
  return true;
}

void startBackground(std::function<void()> body) {
  std::lock_guard<std::mutex> lock(gRegistry.threads_mu);
  // Threads that have ended are joined here, so the list stays short.
  for (auto it = gRegistry.threads.begin(); it != gRegistry.threads.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = gRegistry.threads.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  gRegistry.threads.push_back({std::thread(), done});
  try {
    gRegistry.threads.back().thread = std::thread([body = std::move(body), done] {
      try {
        body();
      } catch (...) {
        // Background work reports its own failures; nothing may end the process.
      }
      *done = true;
    });
  } catch (...) {
    gRegistry.threads.pop_back();
    throw;
  }
}

bool stopping() { return gRegistry.stopping.load(); }

bool pauseFor(std::chrono::milliseconds duration, const InstanceToken& token, bool (*cut_short)()) {
  std::unique_lock<std::mutex> lock(gRegistry.mu);
  auto ended = [&] { return !gRegistry.alive_locked(token) || (cut_short && cut_short()); };
  return !gRegistry.wake.wait_for(lock, duration, ended);
}

void wakeBackground() {
  // Taking the lock orders the wake after any waiter's look at its condition.
  { std::lock_guard<std::mutex> lock(gRegistry.mu); }
  gRegistry.wake.notify_all();
}

void stopBackground() { gRegistry.stop_all(); }
