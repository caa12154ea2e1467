// The scenario language as a script author meets it: what each line becomes, and the
// message that stops a script with a mistake before anything runs.
#include <gtest/gtest.h>

#include "script.h"

namespace scenario {
namespace {

TEST(ScenarioScript, ReadsEveryKindOfStep) {
    auto result = ParseScript(R"(# a comment line
open A
read A            # default length
read B 3
capture A acquire
capture A 7
press sustain octave-down 0x2A
key-down 63 127
key-up 0
report 03 7f 64 0x00
ioctl A 0x22201A in 0f 01 00 00 out 4
ioctl A 0x222039 in
wait 100
say hello   world
unplug
plug 0x1234 0x5678 7
answer 0xC4 0x01020304
answer 0xC3 none
)");
    ASSERT_EQ(result.error, "");
    ASSERT_EQ(result.steps.size(), 17u);
    EXPECT_EQ(result.steps[0].verb, Verb::Open);
    EXPECT_EQ(result.steps[0].line, 2);
    EXPECT_EQ(result.steps[1].number, kDefaultReadLength);
    EXPECT_EQ(result.steps[2].client, "B");
    EXPECT_EQ(result.steps[2].number, 3u);
    EXPECT_EQ(result.steps[3].number, 1u);
    EXPECT_EQ(result.steps[4].number, 7u);
    EXPECT_EQ(result.steps[5].names, (std::vector<std::string>{"sustain", "octave-down", "0x2A"}));
    EXPECT_EQ(result.steps[6].number, 63u);
    EXPECT_EQ(result.steps[6].second, 127u);
    EXPECT_EQ(result.steps[7].second, kDefaultVelocity);
    EXPECT_EQ(result.steps[8].bytes, (std::vector<uint8_t>{0x03, 0x7F, 0x64, 0x00}));
    EXPECT_EQ(result.steps[9].number, 0x22201Au);
    EXPECT_EQ(result.steps[9].bytes, (std::vector<uint8_t>{0x0F, 0x01, 0x00, 0x00}));
    EXPECT_EQ(result.steps[9].second, 4u);
    EXPECT_TRUE(result.steps[10].hasInput);
    EXPECT_TRUE(result.steps[10].bytes.empty());
    EXPECT_EQ(result.steps[11].number, 100u);
    EXPECT_EQ(result.steps[12].text, "hello world");
    EXPECT_EQ(result.steps[13].verb, Verb::Unplug);
    EXPECT_EQ(result.steps[14].number, 0x1234u);
    EXPECT_EQ(result.steps[14].second, 0x5678u);
    EXPECT_EQ(result.steps[14].third, 7u);
    EXPECT_EQ(result.steps[15].number, 0xC4u);
    EXPECT_EQ(result.steps[15].second, 0x01020304u);
    EXPECT_FALSE(result.steps[15].none);
    EXPECT_TRUE(result.steps[16].none);
}

TEST(ScenarioScript, StopsAtTheFirstMistakeWithItsLine) {
    struct Case {
        const char* script;
        const char* error;
    } cases[] = {
        {"open A\nfly A\n", "line 2: unknown step 'fly'"},
        {"open\n", "line 1: name the client"},
        {"read A lots\n", "line 1: bad length 'lots'"},
        {"read A 1 2\n", "line 1: unexpected '2'"},
        {"report 03 1FF\n", "line 1: bad byte '1FF'"},
        {"report\n", "line 1: give the report's bytes in hex"},
        {"wait\n", "line 1: missing milliseconds"},
        {"wait 0x100000000\n", "line 1: bad milliseconds '0x100000000'"},
        {"capture A grab\n", "line 1: bad capture operation 'grab'"},
        {"ioctl A 0x222007 sideways\n", "line 1: expected 'in' or 'out', found 'sideways'"},
        {"press\n", "line 1: name at least one button"},
        {"key-down 64\n", "line 1: music key 64 is above 63"},
        {"plug 0x5E3A\n", "line 1: give both the vendor and the product id"},
        {"plug 1 0x10000\n", "line 1: product id 65536 is above 65535"},
        {"unplug K1 now\n", "line 1: unexpected 'now'"},
        {"keyboard\n", "line 1: name the keyboard"},
        {"plug K2 1 2 3 4\n", "line 1: unexpected '4'"},
        {"plug K2 0x5E3A three-interfaces\n", "line 1: bad product id 'three-interfaces'"},
        {"open A 9\n", "line 1: control-device number 9 is above 8"},
        {"answer 0xC3 1 after 0\n",
         "line 1: a keyboard answers 1 ms after the command at the soonest"},
        {"answer 0xC3 1 later 5\n", "line 1: expected 'after', found 'later'"},
        {"ioctl A 0x22201A out 2 with 01 02 03\n", "line 1: more bytes than the output buffer's 2"},
        {"ioctl A 0x222035 in 7F*0\n", "line 1: bad repeat count in '7F*0'"},
        {"ioctl A 0x222035 in 7F*65537\n", "line 1: more than 65536 bytes"},
        {"report 03*65\n", "line 1: a report has at most 64 bytes"},
        {"wait 3600001\n", "line 1: milliseconds 3600001 is above 3600000"},
        {"answer 0x1C3 1\n", "line 1: command 451 is above 255"},
        {"answer 0xC3\n", "line 1: missing answer"},
        {"answer 0xC3 none 1\n", "line 1: unexpected '1'"},
        {"key-up 0 256\n", "line 1: velocity 256 is above 255"},
        {"read A 65537\n", "line 1: length 65537 is above 65536"},
        {"ioctl A 0x22202E out 0x100000\n", "line 1: output length 1048576 is above 65536"},
    };
    std::string longReport = "report";
    for (int i = 0; i < 65; ++i)
        longReport += " 03";
    auto tooLong = ParseScript(longReport);
    EXPECT_EQ(tooLong.error, "line 1: a report has at most 64 bytes");
    for (const auto& c : cases) {
        auto result = ParseScript(c.script);
        EXPECT_EQ(result.error, c.error) << c.script;
        EXPECT_TRUE(result.steps.empty()) << c.script;
    }
}

TEST(ScenarioScript, ReadsKeyboardsControlDevicesOutputBuffersAndRepeatedBytes) {
    auto result = ParseScript(R"(plug K2 one-interface
plug K3 0x1234 0x5678 two-interfaces
plug
keyboard K2
unplug K3
open B 2
ioctl B 0x22201A out 4 with 0F 01
ioctl B 0x222035 in 00 7F*127 out 2
answer 0xC3 9 after 20
answer 0xC4 9
)");
    ASSERT_EQ(result.error, "");
    ASSERT_EQ(result.steps.size(), 10u);
    EXPECT_EQ(result.steps[0].keyboard, "K2");
    EXPECT_TRUE(result.steps[0].singleInterface);
    EXPECT_EQ(result.steps[0].number, kDefaultVendorId);
    EXPECT_EQ(result.steps[1].keyboard, "K3");
    EXPECT_FALSE(result.steps[1].singleInterface);
    EXPECT_EQ(result.steps[1].second, 0x5678u);
    EXPECT_EQ(result.steps[1].third, kDefaultRevision);
    EXPECT_EQ(result.steps[2].keyboard, "");
    EXPECT_EQ(result.steps[3].verb, Verb::Keyboard);
    EXPECT_EQ(result.steps[3].keyboard, "K2");
    EXPECT_EQ(result.steps[4].keyboard, "K3");
    EXPECT_EQ(result.steps[5].fourth, 2u);
    EXPECT_EQ(result.steps[6].outputBytes, (std::vector<uint8_t>{0x0F, 0x01}));
    EXPECT_EQ(result.steps[6].second, 4u);
    ASSERT_EQ(result.steps[7].bytes.size(), 128u);
    EXPECT_EQ(result.steps[7].bytes[0], 0x00);
    EXPECT_EQ(result.steps[7].bytes[127], 0x7F);
    EXPECT_EQ(result.steps[7].second, 2u);
    EXPECT_EQ(result.steps[8].fourth, 20u);
    EXPECT_EQ(result.steps[9].fourth, kDefaultAnswerDelayMs);
    EXPECT_EQ(ParseScript("open A\n").steps[0].fourth, kDefaultControlDevice);
}

} // namespace
} // namespace scenario
