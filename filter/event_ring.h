// A client's event ring: 4096 bytes that writers fill with whole 4-byte records and
// readers drain byte by byte. Plain arithmetic over caller-owned storage, no locking.
#ifndef OVTM_EVENT_RING_H
#define OVTM_EVENT_RING_H

#include <stddef.h>
#include <stdint.h>

enum {
    EVENT_RING_SIZE = 4096,
    EVENT_RING_INDEX_MASK = EVENT_RING_SIZE - 1,
    // One record less than the ring: a fifth byte short of full would make the write index
    // catch up with the read index, and a full ring would then read as empty.
    EVENT_RING_CAPACITY = EVENT_RING_SIZE - 4,
};

// Bytes written and not yet handed out.
inline uint32_t EventRingUnread(uint32_t readIndex, uint32_t writeIndex) {
    return (writeIndex - readIndex) & EVENT_RING_INDEX_MASK;
}

// Stores one record little-endian at writeIndex and advances it. Refuses (returns false,
// ring untouched) when the record would not fit without overwriting unread bytes.
bool EventRingAppend(uint8_t* ring, uint32_t readIndex, uint32_t* writeIndex, uint32_t record);

// Moves up to outputLength unread bytes into output, advancing readIndex; returns the
// number of bytes moved. A reader may stop in the middle of a record and resume there.
size_t EventRingCopyOut(const uint8_t* ring, uint32_t* readIndex, uint32_t writeIndex,
                        uint8_t* output, size_t outputLength);

#endif
