// One fire-and-forget post per backend URL per process. The thread keeps only
// its copy of the URL, never the instance, so it may outlive the instance freely.
#include "plugin/beacon.h"

#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "net/http_client.h"
#include "plugin/instance_registry.h"
#include "protocol/api.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

// Some hosts make a fresh instance for every frame they render: without
// these, a long render would start a thread and a DNS look-up per frame.
// One beacon is on its way at a time; a URL that comes meanwhile waits for
// it (the latest such URL only), so it is neither lost nor sent twice.
std::mutex gSentMu;
std::set<std::string> gSent;
bool gInFlight = false;
std::string gNext;

void postBeacon(const std::string& backend_url) {
  tessel::HttpOptions options;
  options.cancelled = [] { return stopping(); };
  const tessel::HttpClient http(options);
  http.post_json(protocol::beacon_url(backend_url), protocol::beacon_body());
}

void sendBeacons(std::string url) {
  for (;;) {
    try {
      postBeacon(url);
    } catch (...) {
      // Whatever became of the post, the next URL may have its beacon.
    }
    std::lock_guard<std::mutex> lock(gSentMu);
    if (gNext.empty() || stopping()) {
      gNext.clear();
      gInFlight = false;
      return;
    }
    url = std::move(gNext);
    gNext.clear();
    gSent.insert(url);
  }
}

}  // namespace

void beaconToBackend(OfxImageEffectHandle effect) {
  std::string url = get_string(effect, params::kBackendUrl);
  if (url.compare(0, 4, "http") != 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(gSentMu);
  if (gSent.count(url) != 0) {
    return;
  }
  if (gInFlight) {
    gNext = std::move(url);
    return;
  }
  try {
    gSent.insert(url);
    gInFlight = true;
    startBackground([url = std::move(url)] { sendBeacons(url); });
  } catch (...) {
    // No thread to be had: the beacon is only a courtesy, so it is dropped.
    gInFlight = false;
  }
}
