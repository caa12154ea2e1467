// How the runner words what the keyboard sends and what requests end with: reports read the
// way the device means them, and status values by name or, failing that, by value.
#include <gtest/gtest.h>

#include "record_text.h"
#include "report_text.h"
#include "status_names.h"

namespace scenario {
namespace {

TEST(ReportText, DescribesEachKindOfReport) {
    struct Case {
        std::vector<uint8_t> report;
        const char* text;
    } cases[] = {
        {{3, 0x7F, 0x64, 0, 0}, "key 63 down, velocity 100"},
        {{3, 0xBF, 0x40, 0x41, 0xFF, 0xC0, 1},
         "key 63 up, velocity 64; key 1 down, velocity 255; key 0 action 3, velocity 1"},
        {{3, 0, 0, 0x45, 9}, "key 5 down, velocity 9"},
        {{3}, "no keys"},
        {{1, 0, 0x40, 0x84}, "buttons held: 2A, 34 sustain, 3C octave-down"},
        {{4, 0x10, 0, 0x10}, "buttons held: 08 octave-up, 10 led-toggle"},
        {{2, 0xF9}, "buttons held: 5C"},
        {{1, 0, 0, 0}, "no buttons held"},
        {{1, 0, 0}, "button report 1, too short"},
        {{5, 0xC3, 4, 3, 2, 1}, "answer to C3: 0x01020304"},
        {{5, 0xC4, 1}, "answer report, too short"},
        {{9, 1, 2}, "report id 9, unknown to the keyboard"},
        {{}, "empty report"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DescribeReport(c.report), c.text) << HexBytes(c.report);
}

TEST(ReportText, WritesBytesAndStatuses) {
    EXPECT_EQ(HexBytes({0x03, 0x7F, 0x0A, 0x00}), "03 7F 0A 00");
    EXPECT_EQ(HexBytes({}), "");
    EXPECT_EQ(StatusName(0xC0000120u), "STATUS_CANCELLED");
    EXPECT_EQ(StatusName(0), "STATUS_SUCCESS");
    EXPECT_EQ(StatusName(0xC0001234u), "0xC0001234");
}

TEST(RecordText, ReadsWholeRecordsAndNothingElse) {
    EXPECT_EQ(records::DescribeRecords({0x90, 0x67, 0x7F, 0x00, 0x80, 0x28, 0x05, 0x00}),
              "note on 103, velocity 127; note off 40, velocity 5");
    EXPECT_EQ(records::DescribeRecords({0xFF, 0, 0x34, 5, 0xFF, 0, 0x2B, 5, 0xFF, 0, 0x49, 5}),
              "sustain pressed; button 2A released; button 49 pressed");
    EXPECT_EQ(records::DescribeRecords({0xFF, 0, 0x5E, 5, 0xFF, 0, 0x60, 5, 0xFF, 0, 0x61, 5}),
              "keyboard removed; capture acquired; capture released");
    EXPECT_EQ(records::DescribeRecords({0x12, 0x34, 0x56, 0x78}), "unknown record 12 34 56 78");
    EXPECT_EQ(records::DescribeRecords({0x90, 0x67, 0x7F}), "");
    EXPECT_EQ(records::DescribeRecords({}), "");
}

} // namespace
} // namespace scenario
