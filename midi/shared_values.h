// The values every process that loads the driver shares (open count and transpose), checked
// each time they are read: any process may have written anything into the shared section.
#ifndef OVTM_MIDI_SHARED_VALUES_H
#define OVTM_MIDI_SHARED_VALUES_H

#include <cstdint>

namespace ovtm::midi {

// More opens than this at once cannot happen (one open per process); a stored count above it
// was not written by the driver and is taken as this.
constexpr std::int32_t kOpenCountLimit = 0x10000;

// The stored transpose when it is one the octave buttons can reach (a multiple of an octave
// within the limits), otherwise 0.
std::int32_t ValidTranspose(std::int32_t stored);

// The stored open count within 0..kOpenCountLimit.
std::int32_t ValidOpenCount(std::int32_t stored);

// The count to store after one more open, and after one close (never below 0).
std::int32_t OpenCountAfterOpen(std::int32_t stored);
std::int32_t OpenCountAfterClose(std::int32_t stored);

} // namespace ovtm::midi

#endif
