// One fire-and-forget post per created instance. The thread keeps only its
// copy of the URL, never the instance, so it may outlive the instance freely.
#include "plugin/beacon.h"

#include <string>
#include <utility>

#include "net/http_client.h"
#include "plugin/instance_registry.h"
#include "protocol/api.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

void postBeacon(const std::string& backend_url) {
  tessel::HttpOptions options;
  options.cancelled = [] { return stopping(); };
  const tessel::HttpClient http(options);
  http.post_json(protocol::beacon_url(backend_url), protocol::beacon_body());
}

}  // namespace

void beaconToBackend(OfxImageEffectHandle effect) {
  std::string url = get_string(effect, params::kBackendUrl);
  if (url.compare(0, 4, "http") != 0) {
    return;
  }
  try {
    startBackground([url = std::move(url)] { postBeacon(url); });
  } catch (...) {
    // No thread to be had: the beacon is only a courtesy, so it is dropped.
  }
}
