// Ring arithmetic of the per-client event rings.
#include "event_ring.h"

bool EventRingAppend(uint8_t* ring, uint32_t readIndex, uint32_t* writeIndex, uint32_t record) {
    uint32_t at = *writeIndex;
    if (EventRingUnread(readIndex, at) >= EVENT_RING_CAPACITY) {
        return false;
    }
    // The write index is always a multiple of four, so a record never wraps.
    ring[at] = (uint8_t)record;
    ring[at + 1] = (uint8_t)(record >> 8);
    ring[at + 2] = (uint8_t)(record >> 16);
    ring[at + 3] = (uint8_t)(record >> 24);
    *writeIndex = (at + 4) & EVENT_RING_INDEX_MASK;
    return true;
}

size_t EventRingCopyOut(const uint8_t* ring, uint32_t* readIndex, uint32_t writeIndex,
                        uint8_t* output, size_t outputLength) {
    uint32_t at = *readIndex;
    size_t copied = 0;
    while (copied < outputLength && at != writeIndex) {
        output[copied++] = ring[at];
        at = (at + 1) & EVENT_RING_INDEX_MASK;
    }
    *readIndex = at;
    return copied;
}
