// Random command lines through the real rundll32: the DLL never hangs or crashes it, and each
// run leaves the device's lower filter list exactly as the parsed command says (unchanged for an
// argument error or another device), so quoting and long lines survive the trip through Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include "command_line.h"
#include "fake_device.h"
#include "filter_list.h"
#include "process_runner.h"
#include "text_compare.h"
#include "wine_registry.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace ovtm::wine;
using namespace ovtm::inject;

namespace {

const char kFuzzDevice[] = "USB\\VID_0BEC&PID_F022_FUZZ\\1";
const char kFriendlyName[] = "FuzzKbd";

int Pick(std::mt19937& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

std::string RandomLine(std::mt19937& random) {
    static const char* const kTokens[] = {
        "FuzzKbd", "fuzzKBD", "\"FuzzKbd\"", "\"Fuzz Kbd\"", "OvtmFilt", "ovtmfilt", "Other",
        "a",       "b",       "-add",        "-remove",      "/r",       "-first",   "-last",
        "-la",     "-before", "-b",          "-after",       "-af",      "-lower",   "-",
        "/",       "-upper",  "\"",          "\"unclosed x", "-x",       "\"\"",     "\tb"};
    static const char* const kDevices[] = {"FuzzKbd", "FUZZKBD", "\"fuzzkbd\"", "Fuzz"};
    static const char* const kServices[] = {"OvtmFilt", "ovtmfilt", "Other", "\"a\""};
    std::string line;
    int count = Pick(random, 0, 7);
    // Half the lines start well formed, so that edits are common enough to be checked.
    if (Pick(random, 0, 1) == 0) {
        line =
            std::string(kDevices[Pick(random, 0, 3)]) + " " + kServices[Pick(random, 0, 3)] + " ";
        count = Pick(random, 0, 3);
    }
    for (int i = 0; i < count; ++i) {
        if (Pick(random, 0, 19) == 0) {
            line += std::string(Pick(random, 1000, 4000), 'L');
        } else {
            line += kTokens[Pick(random, 0, 27)];
        }
        line += Pick(random, 0, 3) == 0 ? "\t" : " ";
    }
    return line;
}

std::optional<std::vector<std::string>> RandomList(std::mt19937& random) {
    switch (Pick(random, 0, 3)) {
    case 0:
        return std::nullopt;
    case 1:
        return std::vector<std::string>{"a", "b"};
    case 2:
        return std::vector<std::string>{"a", "OvtmFilt", "b"};
    default:
        return std::vector<std::string>{"OvtmFilt"};
    }
}

// What the device's LowerFilters value holds after the command, by the pure core's rules.
std::optional<std::vector<BYTE>> ExpectedList(const std::string& line,
                                              const std::optional<std::vector<std::string>>& list) {
    std::optional<std::vector<BYTE>> unchanged;
    if (list) {
        unchanged = MultiStringBytes(*list);
    }
    InjectArguments arguments;
    if (ParseCommandLine(line.c_str(), arguments) != kArgumentsOk ||
        !EqualIgnoringCase(arguments.hardwareId, kFriendlyName)) {
        return unchanged;
    }
    const std::vector<std::string> names = list.value_or(std::vector<std::string>{});
    std::optional<FilterListBytes> edited =
        arguments.mode == InjectMode::Remove
            ? ListWithEntryRemoved(names, arguments.reference)
            : ListWithServiceAdded(names, arguments.mode, arguments.reference, arguments.service);
    if (!edited) {
        return unchanged;
    }
    return std::vector<BYTE>(edited->begin(), edited->end());
}

} // namespace

TEST(InjectFilterFuzzUnderWine, EveryRunEndsWithTheListItsCommandDefines) {
    std::mt19937 random(7);
    int edits = 0;
    for (int round = 0; round < 100; ++round) {
        const std::string line = RandomLine(random);
        const auto list = RandomList(random);
        FakeDevice device;
        device.instanceId = kFuzzDevice;
        device.friendlyName = kFriendlyName;
        if (list) {
            device.lowerFilters = MultiStringBytes(*list);
        }
        ASSERT_TRUE(CreateFakeDevice(device));

        ProcessResult result = RunProcess("rundll32.exe OvtmAddf,InjectFilter " + line);
        ASSERT_TRUE(result.started) << result.Why();
        ASSERT_FALSE(result.timedOut) << line;

        auto value = ReadDeviceValue(kFuzzDevice, "LowerFilters");
        std::optional<std::vector<BYTE>> actual;
        if (value) {
            actual = value->data;
        }
        const auto expected = ExpectedList(line, list);
        EXPECT_EQ(actual, expected) << "command line: [" << line << "]";
        edits += expected != device.lowerFilters ? 1 : 0;
    }
    RemoveFakeDevice(kFuzzDevice);
    // The run means something only if some lines edit and some do not.
    EXPECT_GE(edits, 5);
    EXPECT_LE(edits, 95);
    std::printf("%d of 100 random command lines edited the list\n", edits);
}
