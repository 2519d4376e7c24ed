#include "plugin/pull_job.h"

std::atomic<bool> gBusy{false};
