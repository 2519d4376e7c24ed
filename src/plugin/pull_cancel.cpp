#include "plugin/pull_cancel.h"

#include <atomic>
#include <mutex>

#include "plugin/instance_registry.h"

namespace {

struct PullRecord {
  std::mutex mu;
  bool active = false;
  OfxImageEffectHandle owner = nullptr;
  // Read without the lock by transfers and waits; set only under it.
  std::atomic<bool> cancel{false};
};

PullRecord gPull;

}  // namespace

void pullBegins(OfxImageEffectHandle effect) {
  std::lock_guard<std::mutex> lock(gPull.mu);
  gPull.active = true;
  gPull.owner = effect;
  gPull.cancel = false;
}

void pullEnds() {
  std::lock_guard<std::mutex> lock(gPull.mu);
  gPull.active = false;
  gPull.owner = nullptr;
}

bool cancelPull(OfxImageEffectHandle effect) {
  {
    std::lock_guard<std::mutex> lock(gPull.mu);
    // A press on another instance must not stop a pull the user cannot see there.
    if (!gPull.active || gPull.owner != effect) {
      return false;
    }
    gPull.cancel = true;
  }
  wakeBackground();
  return true;
}

bool pullCancelRequested() { return gPull.cancel.load(); }
