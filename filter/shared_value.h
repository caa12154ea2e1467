// Whole reads and writes of values that one processor changes while another reads them
// without a lock: key masks and the velocity curve (control requests against report
// translation), the pipe handles and the revision (completions against dispatch).
#ifndef OVTM_SHARED_VALUE_H
#define OVTM_SHARED_VALUE_H

#include <stdint.h>

// The translation must see either the old or the new value of each byte; nothing more is
// promised, so no fence is needed, only an access the compiler keeps whole and unmerged.
inline uint8_t ReadSharedByte(const volatile uint8_t* byte) {
#if defined(__GNUC__) || defined(__clang__)
    return __atomic_load_n(byte, __ATOMIC_RELAXED);
#else
    return *byte;
#endif
}

inline void WriteSharedByte(volatile uint8_t* byte, uint8_t value) {
#if defined(__GNUC__) || defined(__clang__)
    __atomic_store_n(byte, value, __ATOMIC_RELAXED);
#else
    *byte = value;
#endif
}

// Pointer-sized handles stored by one completion and compared by every dispatch.
template <typename T> inline T ReadSharedPointer(T const volatile* slot) {
#if defined(__GNUC__) || defined(__clang__)
    return __atomic_load_n(slot, __ATOMIC_RELAXED);
#else
    return *slot;
#endif
}

template <typename T> inline void WriteSharedPointer(T volatile* slot, T value) {
#if defined(__GNUC__) || defined(__clang__)
    __atomic_store_n(slot, value, __ATOMIC_RELAXED);
#else
    *slot = value;
#endif
}

#endif
