// Replacement operator new and malloc family that count every call before handing over to
// the C library's own allocator.
#include "allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {
// Counted per thread, so that what other threads of the kernel do meanwhile is not charged to
// the code path under measurement.
thread_local size_t allocations = 0;
} // namespace

namespace alloc_count {

size_t HeapAllocations() {
    return allocations;
}

#if defined(OVTM_COUNT_ALLOCATIONS)
bool Counting() {
    return true;
}
#else
bool Counting() {
    return false;
}
#endif

} // namespace alloc_count

#if defined(OVTM_COUNT_ALLOCATIONS)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
    ++allocations;
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    ++allocations;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return 12; // ENOMEM
    }
    *out = p;
    return 0;
}
void* aligned_alloc(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
void free(void* p) {
    __libc_free(p);
}
}
#endif
