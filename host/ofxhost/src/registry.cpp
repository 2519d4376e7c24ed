// Live handles: a plug-in's own threads may outlive the instance they write to.
#include <unordered_map>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

struct Registry {
  std::shared_mutex mu;
  std::unordered_map<const void*, Kind> live;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: plug-in threads may call late
  return *r;
}

}  // namespace

void register_handle(const void* handle, Kind kind) {
  Registry& r = registry();
  std::unique_lock<std::shared_mutex> lock(r.mu);
  r.live[handle] = kind;
}

void unregister_handles(const std::vector<const void*>& handles) {
  Registry& r = registry();
  std::unique_lock<std::shared_mutex> lock(r.mu);
  for (const void* h : handles) r.live.erase(h);
}

LiveLock::LiveLock(const void* handle, Kind kind) : lock_(registry().mu) {
  if (!handle) return;
  auto it = registry().live.find(handle);
  live_ = it != registry().live.end() && it->second == kind;
}

}  // namespace ofxhost::detail
