// Whether the filter still has to be put into a music interface's filter list: the walk over
// the interface's device instances in the registry.
#pragma once

#include <cstdint>
#include <string>

namespace ovtm::appapi {

// Registry statuses the walk distinguishes (their Windows values).
inline constexpr long kRegistryOk = 0;
inline constexpr long kRegistryFileNotFound = 2;
inline constexpr long kRegistryMoreData = 234;
inline constexpr long kRegistryNoMoreItems = 259;

// What the walk asks of the registry: the key of the music interface's instances, one
// instance name by index, and whether an instance's "LowerFilters" value can be read.
class InstanceRegistry {
  public:
    virtual ~InstanceRegistry() = default;
    virtual bool OpenInstances() = 0;
    // A status as RegEnumKeyEx answers; on kRegistryOk or kRegistryMoreData, name is set.
    virtual long EnumerateInstance(std::uint32_t index, std::string* name) = 0;
    // The status of reading the instance's "LowerFilters" (opening the instance included).
    virtual long QueryLowerFilters(const std::string& instance) = 0;
    virtual void CloseInstances() = 0;
};

// True when some instance has no "LowerFilters" value. Every other registry failure means no
// injection is needed.
bool NeedsInjection(InstanceRegistry& registry);

} // namespace ovtm::appapi
