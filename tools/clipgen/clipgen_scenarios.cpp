// The named scenarios of the generated suite and the seeds each is run with.
#include "clipgen.h"

namespace tessel {

bool scenario_spec(const std::string& name, ClipSpec* spec) {
  spec->dance = name == "dance";
  spec->occluder = name == "occluder" || name == "mixed";
  spec->distractor = name == "distractor" || name == "mixed";
  spec->still_limb = name == "still-limb";
  spec->zoom = name == "zoom";
  spec->shade_off = name == "shade-off";
  spec->close_up = name == "close-up";
  spec->crossing = name == "crossing";
  spec->long_occluder = name == "long-occluder";
  for (const std::string& n : scenario_names()) {
    if (n == name) return true;
  }
  return false;
}

std::vector<std::string> scenario_names() {
  // New scenarios go at the end: a scenario's place fixes its seeds.
  return {"walk", "dance",     "occluder", "distractor", "mixed",        "still-limb",
          "zoom", "shade-off", "close-up", "crossing",   "long-occluder"};
}

std::vector<std::uint64_t> scenario_seeds(const std::string& name, bool held) {
  const std::vector<std::string> names = scenario_names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] != name) continue;
    const std::uint64_t n = i + 1;
    // The tuning seed is the one each scenario has always had in the suite.
    if (!held) return {n};
    return {1000 + 10 * n + 1, 1000 + 10 * n + 2, 1000 + 10 * n + 3};
  }
  return {};
}

}  // namespace tessel
