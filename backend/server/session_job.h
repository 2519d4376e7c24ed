// One queued session through the engine: frames from its folder, mattes into it.
#pragma once

#include "session_store.h"

#include <atomic>
#include <string>

namespace tessel {

// The job queue's runner: claims the session, mattes it and records the outcome.
void run_session_job(SessionStore* store, const std::string& id, const std::atomic<bool>& stopping);

}  // namespace tessel
