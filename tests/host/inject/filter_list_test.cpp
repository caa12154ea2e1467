// Lower filter lists as the registry holds them: what the add modes and remove mode would
// write back, byte for byte, and how malformed or long lists are read.
#include "device_match.h"
#include "filter_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ovtm::inject;

namespace {

using Names = std::vector<std::string>;

// The registry bytes of a list, given as the text between the quotes with \0 spelled out.
FilterListBytes Bytes(const std::string& text) {
    return FilterListBytes(text.begin(), text.end());
}

Names Decoded(const std::string& text) {
    FilterListBytes bytes = Bytes(text);
    return DecodeFilterList(bytes.data(), bytes.size());
}

std::optional<FilterListBytes> Added(const Names& names, InjectMode mode,
                                     const std::string& reference = "") {
    return ListWithServiceAdded(names, mode, reference, "OvtmFilt");
}

using namespace std::string_literals;

} // namespace

TEST(DecodeFilterList, WellFormedEmptyAndMalformedLists) {
    EXPECT_EQ(Decoded("a\0ovtmfilt\0b\0\0"s), (Names{"a", "ovtmfilt", "b"}));
    EXPECT_EQ(Decoded("\0"s), Names{});
    EXPECT_EQ(Decoded(""s), Names{});
    EXPECT_EQ(DecodeFilterList(nullptr, 0), Names{});
    // No final double zero: the names it holds, nothing read past its size.
    EXPECT_EQ(Decoded("a\0b"s), (Names{"a", "b"}));
    EXPECT_EQ(Decoded("a\0b\0"s), (Names{"a", "b"}));
    EXPECT_EQ(Decoded("single"s), (Names{"single"}));
    // The first empty name closes the list.
    EXPECT_EQ(Decoded("a\0\0ghost\0\0"s), (Names{"a"}));
}

TEST(RemoveFilterEntry, ServiceAloneLeavesAListOfSizeZero) {
    auto edited = ListWithEntryRemoved(Decoded("OvtmFilt\0\0"s), "OvtmFilt");
    ASSERT_TRUE(edited);
    EXPECT_TRUE(edited->empty());
}

TEST(RemoveFilterEntry, MiddleEntryGoesAndTheSizeDropsByItsLength) {
    const FilterListBytes before = Bytes("a\0ovtmfilt\0b\0\0"s);
    auto edited = ListWithEntryRemoved(DecodeFilterList(before.data(), before.size()), "OvtmFilt");
    ASSERT_TRUE(edited);
    EXPECT_EQ(*edited, Bytes("a\0b\0\0"s));
    EXPECT_EQ(before.size() - edited->size(), 9u);
}

TEST(RemoveFilterEntry, AbsentNameWritesNothing) {
    EXPECT_FALSE(ListWithEntryRemoved(Decoded("a\0b\0\0"s), "OvtmFilt"));
    EXPECT_FALSE(ListWithEntryRemoved(Names{}, "OvtmFilt"));
    EXPECT_FALSE(ListWithEntryRemoved(Names{"OvtmFiltX"}, "OvtmFilt")) << "whole names only";
}

TEST(RemoveFilterEntry, OnlyTheFirstOfRepeatedNamesGoes) {
    Names names{"x", "OVTMFILT", "y", "ovtmfilt"};
    auto once = ListWithEntryRemoved(names, "OvtmFilt");
    ASSERT_TRUE(once);
    EXPECT_EQ(*once, Bytes("x\0y\0ovtmfilt\0\0"s));
    auto twice = ListWithEntryRemoved(DecodeFilterList(once->data(), once->size()), "OvtmFilt");
    ASSERT_TRUE(twice);
    EXPECT_EQ(*twice, Bytes("x\0y\0\0"s));
}

TEST(RemoveFilterEntry, MalformedListIsWrittenBackWellFormed) {
    auto edited = ListWithEntryRemoved(Decoded("a\0OvtmFilt\0b"s), "ovtmfilt");
    ASSERT_TRUE(edited);
    EXPECT_EQ(*edited, Bytes("a\0b\0\0"s));
}

TEST(AddFilterEntry, EmptyListGetsTheServiceAlone) {
    EXPECT_EQ(Added(Names{}, InjectMode::Add), Bytes("OvtmFilt\0\0"s));
    EXPECT_EQ(Added(Names{}, InjectMode::After, "x"), Bytes("OvtmFilt\0\0"s));
}

TEST(AddFilterEntry, PositionOfEachAddMode) {
    const Names names{"a", "b"};
    EXPECT_EQ(Added(names, InjectMode::Add), Bytes("OvtmFilt\0a\0b\0\0"s));
    EXPECT_EQ(Added(names, InjectMode::Last), Bytes("a\0b\0OvtmFilt\0\0"s));
    EXPECT_EQ(Added(names, InjectMode::Before, "B"), Bytes("a\0OvtmFilt\0b\0\0"s));
    EXPECT_EQ(Added(names, InjectMode::After, "A"), Bytes("a\0OvtmFilt\0b\0\0"s));
    EXPECT_EQ(Added(names, InjectMode::After, "b"), Bytes("a\0b\0OvtmFilt\0\0"s));
    // A reference the list lacks: before means the start, after the end.
    EXPECT_EQ(Added(names, InjectMode::Before, "zz"), Bytes("OvtmFilt\0a\0b\0\0"s));
    EXPECT_EQ(Added(names, InjectMode::After, "zz"), Bytes("a\0b\0OvtmFilt\0\0"s));
}

TEST(AddFilterEntry, RepeatedReferenceMeansItsFirstEntry) {
    const Names names{"r", "x", "r"};
    EXPECT_EQ(InsertionPosition(names, InjectMode::Before, "r"), 0u);
    EXPECT_EQ(InsertionPosition(names, InjectMode::After, "R"), 1u);
}

TEST(AddFilterEntry, ListNamingTheServiceIsLeftAlone) {
    EXPECT_FALSE(Added(Names{"a", "ovtmfilt"}, InjectMode::Last));
    EXPECT_FALSE(Added(Names{"OVTMFILT"}, InjectMode::Add));
}

TEST(AddFilterEntry, EmptyServiceNameIsNeverInserted) {
    // It would close the list before the names behind it.
    EXPECT_FALSE(ListWithServiceAdded(Names{"a", "b"}, InjectMode::Last, "", ""));
    EXPECT_FALSE(ListWithServiceAdded(Names{}, InjectMode::Add, "", ""));
}

TEST(AddFilterEntry, ListLongerThan512BytesIsEditedWhole) {
    Names names;
    for (int i = 0; i < 80; ++i) {
        names.push_back("filter" + std::to_string(1000 + i));
    }
    FilterListBytes original = EncodeFilterList(names);
    ASSERT_GT(original.size(), 512u);

    auto added =
        Added(DecodeFilterList(original.data(), original.size()), InjectMode::After, "filter1070");
    ASSERT_TRUE(added);
    Names expected = names;
    expected.insert(expected.begin() + 71, "OvtmFilt");
    EXPECT_EQ(*added, EncodeFilterList(expected));
    EXPECT_EQ(added->size(), original.size() + 9);

    auto removed = ListWithEntryRemoved(DecodeFilterList(added->data(), added->size()), "ovtmfilt");
    ASSERT_TRUE(removed);
    EXPECT_EQ(*removed, original);
}

TEST(DeviceMatch, FirstTextOfAPropertyIsComparedWholeAndCaseBlind) {
    const std::string id = "USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01";
    EXPECT_TRUE(PropertyMatches(Bytes("usb\\VID_5E3A&PID_1C07&REV_0005&mi_01\0"s), id));
    EXPECT_TRUE(PropertyMatches(Bytes("USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01\0USB\\x\0\0"s), id));
    EXPECT_FALSE(PropertyMatches(Bytes("USB\\x\0USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01\0\0"s), id))
        << "only the first entry of a multi-string takes part";
    EXPECT_FALSE(PropertyMatches(Bytes("USB\\Vid_5e3a&Pid_1c07\0"s), id)) << "no prefix match";
    EXPECT_FALSE(PropertyMatches(std::nullopt, id)) << "an unreadable property never matches";
    EXPECT_FALSE(PropertyMatches(Bytes(""s), id));
    EXPECT_TRUE(PropertyMatches(Bytes("My Keyboard"s), "my keyboard")) << "no terminator";
}
