// The identity check on real footage (Debian's opencv-doc videos): whole
// sessions through HTTP as for the generated clips, scored by whether the
// matte stays on the chosen person.
#pragma once

#include <string>
#include <vector>

namespace bench_footage {

// One benchmark per case and quality, "Footage/<quality>/<case>"; says so and
// registers none when the videos are not installed. `backend_args` go to
// every backend started, after its data folder.
void register_footage_benchmarks(const std::vector<std::string>& qualities,
                                 const std::vector<std::string>& backend_args);

// The table of the cases run so far: coverage, leak, distractor, held, fps.
void print_footage_summary();

}  // namespace bench_footage
