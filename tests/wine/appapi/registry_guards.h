// Registry state that starting the injection command changes, kept for the length of a test
// and given back afterwards, so that tests sharing the bench prefix do not see each other.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wine_registry.h"

namespace ovtm::appapi_test {

// The multimedia driver list ("midi", "midi1".."midi9" of Drivers32), which the injection
// command writes.
class Drivers32Snapshot {
  public:
    Drivers32Snapshot();
    ~Drivers32Snapshot();
    Drivers32Snapshot(const Drivers32Snapshot&) = delete;
    Drivers32Snapshot& operator=(const Drivers32Snapshot&) = delete;

  private:
    std::vector<std::optional<ovtm::wine::RegistryValue>> saved_;
};

// The instances of the music interface in the prefix (the bench's virtual keyboard leaves one)
// other than exceptInstance are given a filter list for the test, so that the library starts
// no injection for them; their own lists come back afterwards.
class OtherInstancesFiltered {
  public:
    explicit OtherInstancesFiltered(const std::string& exceptInstance = "");
    ~OtherInstancesFiltered();
    OtherInstancesFiltered(const OtherInstancesFiltered&) = delete;
    OtherInstancesFiltered& operator=(const OtherInstancesFiltered&) = delete;

  private:
    struct Saved {
        std::string instance;
        std::optional<ovtm::wine::RegistryValue> lowerFilters;
    };
    std::vector<Saved> saved_;
};

} // namespace ovtm::appapi_test
