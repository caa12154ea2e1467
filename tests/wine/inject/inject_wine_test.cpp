// The injection command as Windows runs it: "rundll32 OvtmAddf,InjectFilter ..." against fake
// device instances in the registry, proven by the lower filter lists and the Drivers32 values
// it leaves behind.
#include <windows.h>

#include <gtest/gtest.h>

#include "fake_device.h"
#include "process_runner.h"
#include "wine_registry.h"

#include <map>
#include <string>
#include <vector>

using namespace ovtm::wine;
using namespace std::string_literals;

namespace {

const char kDrivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const char kMusicInterface[] = "USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01";
const char kStandardArguments[] = "USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01 OvtmFilt -add -lower";
const char kOurDriver[] = "OvtmMidi.dll";
// Every fake of these tests lives below Enum\USB\VID_0BEC&PID_F00D...
const char kFakeEnumerator[] = "USB";
const char kFakePrefix[] = "VID_0BEC&PID_F00D";

using Names = std::vector<std::string>;
using Slots = std::map<int, std::string>; // slot number to text; missing: absent value

std::string SlotName(int slot) {
    return slot == 0 ? "midi"s : "midi" + std::to_string(slot);
}

std::string FakeId(const std::string& name) {
    return std::string(kFakeEnumerator) + "\\" + kFakePrefix + "_" + name + "\\1";
}

class InjectFilterUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveFakeDevices(kFakeEnumerator, kFakePrefix);
        SetSlots({});
    }
    void TearDown() override {
        RemoveFakeDevices(kFakeEnumerator, kFakePrefix);
        SetSlots({});
    }

    // Runs the command through the real rundll32, from the folder OvtmAddf.dll was installed in.
    void Inject(const std::string& arguments) {
        ProcessResult result = RunProcess("rundll32.exe OvtmAddf,InjectFilter " + arguments);
        ASSERT_TRUE(result.started) << result.Why();
        ASSERT_FALSE(result.timedOut) << arguments;
    }

    static std::string Device(const std::string& name, FakeDevice device) {
        device.instanceId = FakeId(name);
        EXPECT_TRUE(CreateFakeDevice(device));
        return device.instanceId;
    }

    static std::string DeviceWithList(const std::string& name, const std::string& friendlyName,
                                      std::vector<BYTE> lowerFilters) {
        FakeDevice device;
        device.friendlyName = friendlyName;
        device.hardwareIds = {"USB\\VID_0BEC&PID_F00D"};
        device.lowerFilters = std::move(lowerFilters);
        return Device(name, device);
    }

    static std::optional<Names> LowerFilters(const std::string& instanceId) {
        auto value = ReadDeviceValue(instanceId, "LowerFilters");
        if (!value) {
            return std::nullopt;
        }
        return value->Strings();
    }

    // Replaces the ten midi values by slots; the key itself is kept.
    static void SetSlots(const Slots& slots) {
        for (int slot = 0; slot < 10; ++slot) {
            DeleteRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32, SlotName(slot));
        }
        for (const auto& [slot, text] : slots) {
            ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, kDrivers32, SlotName(slot), text));
        }
    }

    // The present midi values; a cleared slot reads as an empty text.
    static Slots ReadSlots() {
        Slots slots;
        for (int slot = 0; slot < 10; ++slot) {
            if (auto value = ReadRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32, SlotName(slot))) {
                slots[slot] = value->Text();
            }
        }
        return slots;
    }

    static Slots FullOfOthers() {
        Slots slots;
        for (int slot = 0; slot < 10; ++slot) {
            slots[slot] = "other" + std::to_string(slot) + ".drv";
        }
        return slots;
    }

    // One device whose friendly name is "Slot Keyboard"; registers or unregisters once per run.
    void RunWithOneDevice(const char* modeSwitch) {
        DeviceWithList("slots", "Slot Keyboard", MultiStringBytes({"OvtmFilt"}));
        Inject("\"Slot Keyboard\" OvtmFilt "s + modeSwitch);
    }
};

struct PropertyCase {
    const char* name;
    FakeDevice device;
};

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

TEST_F(InjectFilterUnderWine, EachOfTheFourPropertiesMatchesInAnyLetterCase) {
    const std::string id = kMusicInterface;
    FakeDevice byFriendlyName;
    byFriendlyName.friendlyName = Upper(id);
    byFriendlyName.description = "Orvane keyboard";
    FakeDevice byDescription;
    byDescription.description = Lower(id);
    FakeDevice byLocation;
    byLocation.location = "usb\\VID_5e3a&pid_1C07&rev_0005&mi_01";
    FakeDevice byHardwareId;
    byHardwareId.hardwareIds = {id, "USB\\Vid_5e3a&Pid_1c07&MI_01"};
    byHardwareId.lowerFilters = MultiStringBytes({"kbdhid"});

    for (const auto& [name, device] : std::vector<PropertyCase>{{"friendly", byFriendlyName},
                                                                {"desc", byDescription},
                                                                {"location", byLocation},
                                                                {"hwid", byHardwareId}}) {
        SCOPED_TRACE(name);
        RemoveFakeDevices(kFakeEnumerator, kFakePrefix);
        SetSlots({});
        const std::string matching = Device(name, device);
        Inject(kStandardArguments);
        const Names expected =
            device.lowerFilters ? Names{"OvtmFilt", "kbdhid"} : Names{"OvtmFilt"};
        EXPECT_EQ(LowerFilters(matching), expected);
        EXPECT_EQ(ReadSlots(), (Slots{{9, kOurDriver}}));
    }
}

TEST_F(InjectFilterUnderWine, DevicesThatDoNotMatchAreLeftAlone) {
    FakeDevice secondHardwareId; // only the first entry of the hardware ids counts
    secondHardwareId.hardwareIds = {"USB\\VID_0BEC&PID_F00D", kMusicInterface};
    FakeDevice prefixOnly;
    prefixOnly.friendlyName = "USB\\Vid_5e3a&Pid_1c07";
    FakeDevice longer;
    longer.description = kMusicInterface + " "s;
    FakeDevice compatibleOnly; // no matching property at all
    compatibleOnly.lowerFilters = MultiStringBytes({"a"});
    const std::vector<std::string> decoys = {Device("second", secondHardwareId),
                                             Device("prefix", prefixOnly), Device("longer", longer),
                                             Device("none", compatibleOnly)};

    Inject(kStandardArguments);

    EXPECT_FALSE(LowerFilters(decoys[0]));
    EXPECT_FALSE(LowerFilters(decoys[1]));
    EXPECT_FALSE(LowerFilters(decoys[2]));
    EXPECT_EQ(LowerFilters(decoys[3]), (Names{"a"}));
    EXPECT_EQ(ReadSlots(), Slots{}) << "no match, no registration";
}

TEST_F(InjectFilterUnderWine, AddModesInsertWhereTheySayAndOnlyOnce) {
    const auto list = MultiStringBytes({"a", "b"});
    const std::string first = DeviceWithList("first", "Dev First", list);
    const std::string last = DeviceWithList("last", "Dev Last", list);
    const std::string before = DeviceWithList("before", "Dev Before", list);
    const std::string after = DeviceWithList("after", "Dev After", list);
    const std::string named =
        DeviceWithList("named", "Dev Named", MultiStringBytes({"x", "OVTMFILT"}));

    Inject("\"Dev First\" OvtmFilt -first");
    Inject("\"Dev Last\" OvtmFilt -la");
    Inject("\"Dev Before\" OvtmFilt -b B");
    Inject("\"Dev After\" OvtmFilt -af A");
    Inject("\"Dev Named\" OvtmFilt -add");

    EXPECT_EQ(LowerFilters(first), (Names{"OvtmFilt", "a", "b"}));
    EXPECT_EQ(LowerFilters(last), (Names{"a", "b", "OvtmFilt"}));
    EXPECT_EQ(LowerFilters(before), (Names{"a", "OvtmFilt", "b"}));
    EXPECT_EQ(LowerFilters(after), (Names{"a", "OvtmFilt", "b"}));
    EXPECT_EQ(ReadDeviceValue(named, "LowerFilters")->data,
              (std::vector<BYTE>{'x', 0, 'O', 'V', 'T', 'M', 'F', 'I', 'L', 'T', 0, 0}))
        << "a list naming the service is not rewritten";
    EXPECT_EQ(ReadSlots(), (Slots{{9, kOurDriver}})) << "registered once, rewritten in place";
}

TEST_F(InjectFilterUnderWine, RemoveModeOnTheThreeKindsOfList) {
    const std::string alone =
        DeviceWithList("alone", "Remove Alone", MultiStringBytes({"OvtmFilt"}));
    const std::string three =
        DeviceWithList("three", "Remove Three", MultiStringBytes({"a", "ovtmfilt", "b"}));
    const std::string without =
        DeviceWithList("without", "Remove Without", MultiStringBytes({"a", "b"}));

    Inject("\"Remove Alone\" OvtmFilt -remove");
    Inject("\"Remove Three\" OvtmFilt -remove");
    SetSlots({{9, kOurDriver}});
    Inject("\"Remove Without\" OvtmFilt -r");

    auto aloneValue = ReadDeviceValue(alone, "LowerFilters");
    ASSERT_TRUE(aloneValue);
    EXPECT_TRUE(aloneValue->data.empty()) << "written with size 0";
    auto threeValue = ReadDeviceValue(three, "LowerFilters");
    ASSERT_TRUE(threeValue);
    EXPECT_EQ(threeValue->data, (std::vector<BYTE>{'a', 0, 'b', 0, 0})) << "14 bytes less 9";
    EXPECT_EQ(LowerFilters(without), (Names{"a", "b"}));
    EXPECT_EQ(ReadSlots(), (Slots{{9, ""}})) << "unregistered although nothing was removed";
}

TEST_F(InjectFilterUnderWine, ListsLongerThan512BytesAndMalformedListsAreEditedWhole) {
    Names names;
    for (int i = 0; i < 80; ++i) {
        names.push_back("filter" + std::to_string(1000 + i));
    }
    const std::string longList = DeviceWithList("long", "Long List", MultiStringBytes(names));
    // No final double zero: written as binary, since Wine would complete a string type.
    FakeDevice malformed;
    malformed.friendlyName = "Malformed List";
    malformed.instanceId = FakeId("malformed");
    ASSERT_TRUE(CreateFakeDevice(malformed));
    ASSERT_TRUE(WriteRegistryValue(HKEY_LOCAL_MACHINE, DeviceKeyPath(malformed.instanceId),
                                   "LowerFilters", REG_BINARY,
                                   {'a', 0, 'O', 'v', 't', 'm', 'F', 'i', 'l', 't', 0, 'b'}));

    Inject("\"Long List\" OvtmFilt -after filter1070");
    Inject("\"Malformed List\" OvtmFilt -remove");

    Names expected = names;
    expected.insert(expected.begin() + 71, "OvtmFilt");
    EXPECT_EQ(LowerFilters(longList), expected);
    EXPECT_EQ(ReadDeviceValue(malformed.instanceId, "LowerFilters")->data,
              (std::vector<BYTE>{'a', 0, 'b', 0, 0}));
}

TEST_F(InjectFilterUnderWine, QuotedHardwareIdWithASpaceMatchesAFriendlyName) {
    const std::string device = DeviceWithList("quoted", "My Keyboard", MultiStringBytes({"a"}));
    const std::string other = DeviceWithList("other", "My", MultiStringBytes({"a"}));
    Inject("\"My Keyboard\" OvtmFilt -last");
    EXPECT_EQ(LowerFilters(device), (Names{"a", "OvtmFilt"}));
    EXPECT_EQ(LowerFilters(other), (Names{"a"}));
}

TEST_F(InjectFilterUnderWine, ArgumentErrorsChangeNothing) {
    const std::string device = DeviceWithList("errors", "Errkbd", MultiStringBytes({"OvtmFilt"}));
    // A device whose friendly name is empty: an empty id must not find it.
    const std::string nameless = DeviceWithList("nameless", "", MultiStringBytes({"a"}));
    SetSlots({{9, kOurDriver}});
    for (const char* arguments :
         {"", "Errkbd", "Errkbd OvtmFilt extra -remove", "Errkbd OvtmFilt -remove -before",
          "Errkbd OvtmFilt -upper foo -r", "-remove -lower", "\"\" OvtmFilt -last",
          "\"\" a -remove", "Errkbd ..\\OvtmFilt -last", "Errkbd a/b -first",
          "Errkbd \"\" -last"}) {
        SCOPED_TRACE(arguments);
        Inject(arguments);
        EXPECT_EQ(LowerFilters(device), (Names{"OvtmFilt"}));
        EXPECT_EQ(LowerFilters(nameless), (Names{"a"}));
        EXPECT_EQ(ReadSlots(), (Slots{{9, kOurDriver}}));
    }
}

TEST_F(InjectFilterUnderWine, RegistrationTakesTheHighestFreeSlot) {
    RunWithOneDevice("-add");
    EXPECT_EQ(ReadSlots(), (Slots{{9, kOurDriver}}));

    SetSlots({{9, "other.drv"}});
    RunWithOneDevice("-add");
    EXPECT_EQ(ReadSlots(), (Slots{{9, "other.drv"}, {8, kOurDriver}}));
}

TEST_F(InjectFilterUnderWine, RegistrationRewritesAnExistingEntry) {
    Slots slots{{3, kOurDriver}};
    for (int slot = 4; slot <= 9; ++slot) {
        slots[slot] = "other" + std::to_string(slot) + ".drv";
    }
    SetSlots(slots);
    RunWithOneDevice("-last");
    EXPECT_EQ(ReadSlots(), slots);
    auto entry = ReadRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32, "midi3");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->type, static_cast<DWORD>(REG_SZ));
}

TEST_F(InjectFilterUnderWine, FullTableReplacesADuplicateOrStaysAsItIs) {
    Slots full = FullOfOthers();
    SetSlots(full);
    RunWithOneDevice("-add");
    EXPECT_EQ(ReadSlots(), full) << "ten distinct drivers: nothing written";

    Slots duplicates = FullOfOthers();
    duplicates[5] = duplicates[2];
    SetSlots(duplicates);
    RunWithOneDevice("-add");
    Slots expected = duplicates;
    expected[5] = kOurDriver;
    EXPECT_EQ(ReadSlots(), expected);
}

TEST_F(InjectFilterUnderWine, UnregistrationClearsOnlyTheHighestEntry) {
    Slots slots{{7, kOurDriver}, {2, kOurDriver}, {9, "other.drv"}};
    SetSlots(slots);
    RunWithOneDevice("-remove");
    slots[7] = "";
    EXPECT_EQ(ReadSlots(), slots);
}

TEST_F(InjectFilterUnderWine, UnregistrationReachesTheEntryInPlainMidi) {
    Slots slots = FullOfOthers();
    slots[0] = kOurDriver;
    SetSlots(slots);
    RunWithOneDevice("-remove");
    slots[0] = "";
    EXPECT_EQ(ReadSlots(), slots);
}
