#include "engine_request.h"

#include <algorithm>

namespace tessel {

bool has_positive_dab(const EngineRequest& request) {
  return std::any_of(request.dabs.begin(), request.dabs.end(),
                     [](const protocol::Dab& d) { return d.r > 0; });
}

}  // namespace tessel
