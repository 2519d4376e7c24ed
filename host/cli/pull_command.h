// `mattivo pull`: drives the plug-in through one whole pull, as a user would.
#pragma once

#include "options.h"

namespace mattivo {

// Returns the process exit code: 0 done, 1 the pull or its outputs failed.
int run_pull(const PullOptions& options);

}  // namespace mattivo
