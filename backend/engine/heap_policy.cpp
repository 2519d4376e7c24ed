#include "heap_policy.h"

#include <malloc.h>

namespace tessel {

void keep_image_buffers_in_heap() {
  // Returning large buffers to the system and faulting them in again costs
  // more than the matting itself.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  // One arena: the engine runs on a worker thread, and glibc's per-thread
  // arenas give such buffers back on every free regardless of the settings
  // above (2.6 times slower and half again the memory in "fine").
  mallopt(M_ARENA_MAX, 1);
}

}  // namespace tessel
