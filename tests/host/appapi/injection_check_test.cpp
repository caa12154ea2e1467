// NeedsInjection's answer as a function of what the registry says about the music interface's
// device instances.
#include "injection_check.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using namespace ovtm::appapi;

constexpr long kAccessDenied = 5;

struct Instance {
    std::string name;
    long enumStatus = kRegistryOk;   // what enumeration answers at this index
    long filterStatus = kRegistryOk; // what reading its LowerFilters answers
};

class FakeRegistry : public InstanceRegistry {
  public:
    bool opens = true;
    std::vector<Instance> instances;
    std::vector<std::string> queried;
    int closes = 0;

    bool OpenInstances() override { return opens; }
    long EnumerateInstance(std::uint32_t index, std::string* name) override {
        if (index >= instances.size()) {
            return kRegistryNoMoreItems;
        }
        *name = instances[index].name;
        return instances[index].enumStatus;
    }
    long QueryLowerFilters(const std::string& instance) override {
        queried.push_back(instance);
        for (const Instance& i : instances) {
            if (i.name == instance) {
                return i.filterStatus;
            }
        }
        return kRegistryFileNotFound;
    }
    void CloseInstances() override { ++closes; }
};

TEST(AppApiNeedsInjection, MissingKeyOrEveryInstanceFilteredNeedsNothing) {
    FakeRegistry missing;
    missing.opens = false;
    EXPECT_FALSE(NeedsInjection(missing));
    EXPECT_EQ(missing.closes, 0);

    FakeRegistry empty;
    EXPECT_FALSE(NeedsInjection(empty));
    EXPECT_EQ(empty.closes, 1);

    FakeRegistry filtered;
    filtered.instances = {{"6&1"}, {"6&2"}};
    EXPECT_FALSE(NeedsInjection(filtered));
    EXPECT_EQ(filtered.queried, (std::vector<std::string>{"6&1", "6&2"}));
    EXPECT_EQ(filtered.closes, 1);
}

TEST(AppApiNeedsInjection, FirstInstanceWithoutFiltersEndsTheWalk) {
    FakeRegistry registry;
    registry.instances = {{"6&1"}, {"6&2", kRegistryOk, kRegistryFileNotFound}, {"6&3"}};
    EXPECT_TRUE(NeedsInjection(registry));
    EXPECT_EQ(registry.queried, (std::vector<std::string>{"6&1", "6&2"}));
    EXPECT_EQ(registry.closes, 1);
}

TEST(AppApiNeedsInjection, OtherFailuresOfAnInstanceMoveOnToTheNext) {
    FakeRegistry registry;
    registry.instances = {{"6&1", kRegistryOk, kAccessDenied},
                          {"6&2", kRegistryMoreData, kRegistryFileNotFound}};
    EXPECT_TRUE(NeedsInjection(registry));
    EXPECT_EQ(registry.queried, (std::vector<std::string>{"6&1", "6&2"}));
}

TEST(AppApiNeedsInjection, EnumerationFailureEndsWithNoInjection) {
    FakeRegistry registry;
    registry.instances = {{"6&1"}, {"6&2", kAccessDenied, kRegistryFileNotFound}};
    EXPECT_FALSE(NeedsInjection(registry));
    EXPECT_EQ(registry.queried, std::vector<std::string>{"6&1"});
    EXPECT_EQ(registry.closes, 1);
}

} // namespace
