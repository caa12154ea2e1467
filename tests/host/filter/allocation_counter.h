// Counts heap allocations made by this process while a counter is armed, so that a test or
// benchmark can prove a code path allocates nothing.
#ifndef OVTM_TEST_ALLOCATION_COUNTER_H
#define OVTM_TEST_ALLOCATION_COUNTER_H

#include <cstddef>

namespace alloc_count {

// Number of operator new and malloc-family calls the calling thread has made. Only counted
// where the counter can replace the allocator (not under the sanitizers).
size_t HeapAllocations();
bool Counting();

} // namespace alloc_count

#endif
