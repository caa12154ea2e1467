// Checks of the values in the shared section (see shared_values.h).
#include "shared_values.h"

#include "record_conversion.h"

namespace ovtm::midi {

std::int32_t ValidTranspose(std::int32_t stored) {
    // The range is checked before the remainder, so no stored value reaches any arithmetic
    // that could overflow.
    if (stored < kTransposeLowest || stored > kTransposeHighest || stored % kTransposeStep != 0) {
        return 0;
    }
    return stored;
}

std::int32_t ValidOpenCount(std::int32_t stored) {
    if (stored < 0) {
        return 0;
    }
    return stored > kOpenCountLimit ? kOpenCountLimit : stored;
}

std::int32_t OpenCountAfterOpen(std::int32_t stored) {
    const std::int32_t count = ValidOpenCount(stored);
    return count == kOpenCountLimit ? count : count + 1;
}

std::int32_t OpenCountAfterClose(std::int32_t stored) {
    const std::int32_t count = ValidOpenCount(stored);
    return count == 0 ? 0 : count - 1;
}

} // namespace ovtm::midi
