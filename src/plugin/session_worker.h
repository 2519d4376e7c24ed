// The background thread of one pull: create a backend session, upload the
// frames, start tracking, poll, download the mattes, publish the session.
#pragma once

#include <chrono>

#include "plugin/pull_job.h"

struct WorkerTiming {
  std::chrono::milliseconds poll_interval{3000};
  // A backend unreachable for this long in a row ends the pull.
  std::chrono::milliseconds lost_contact{10 * 60 * 1000};
};

// The product's timing; a test build of the plug-in shortens it.
WorkerTiming workerTiming();

// Thread body: owns the job, ends the pull (status, message, gBusy) on every path.
void runSession(PullJob job);
