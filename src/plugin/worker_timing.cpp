// Built into each plug-in module on its own, so that the test build of the
// plug-in can shorten the timing while every other object is shared.
#include "plugin/session_worker.h"

WorkerTiming workerTiming() {
  WorkerTiming timing;
#if defined(MATTIVO_TEST_POLL_MS) && defined(MATTIVO_TEST_LOST_CONTACT_MS)
  // Only the test build of the plug-in; the product polls every 3 s.
  timing.poll_interval = std::chrono::milliseconds(MATTIVO_TEST_POLL_MS);
  timing.lost_contact = std::chrono::milliseconds(MATTIVO_TEST_LOST_CONTACT_MS);
#endif
  return timing;
}
