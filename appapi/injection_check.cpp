// The walk over the music interface's device instances.
#include "injection_check.h"

namespace ovtm::appapi {

bool NeedsInjection(InstanceRegistry& registry) {
    if (!registry.OpenInstances()) {
        return false;
    }
    bool needed = false;
    for (std::uint32_t index = 0;; ++index) {
        std::string name;
        long status = registry.EnumerateInstance(index, &name);
        if (status != kRegistryOk && status != kRegistryMoreData) {
            break; // the end of the list, or a failure: nothing found
        }
        if (registry.QueryLowerFilters(name) == kRegistryFileNotFound) {
            needed = true;
            break;
        }
    }
    registry.CloseInstances();
    return needed;
}

} // namespace ovtm::appapi
