// How the matting processes use the C heap.
#pragma once

namespace tessel {

// Call first thing in main, before any thread starts. Every frame allocates
// and frees the same large image buffers; they are kept in one heap instead
// of being handed back to the system each time.
void keep_image_buffers_in_heap();

}  // namespace tessel
