// The diagnostic command's words: what each verb sends is read right, and every wrong word is
// refused with a message before anything reaches a keyboard.
#include <gtest/gtest.h>

#include "command_line.h"

namespace ovtmctl {
namespace {

Invocation Parse(std::vector<std::string> args) {
    Parsed parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.invocation) << parsed.error;
    return parsed.invocation.value_or(Invocation{});
}

TEST(OvtmctlCommandLine, ReadsEachVerbsParameters) {
    Invocation q = Parse({"query", "c4"});
    EXPECT_EQ(q.verb, Verb::Query);
    EXPECT_EQ(q.code, 0xC4);
    EXPECT_EQ(q.device, 1);

    Invocation c = Parse({"--device", "2", "command", "0xC2"});
    EXPECT_EQ(c.verb, Verb::Command);
    EXPECT_EQ(c.code, 0xC2);
    EXPECT_EQ(c.device, 2);

    Invocation l = Parse({"leds", "0x0F", "on"});
    EXPECT_EQ(l.verb, Verb::Leds);
    EXPECT_EQ(l.bits, 0x0F);
    EXPECT_TRUE(l.on);

    Invocation m = Parse({"mask", "16", "off"});
    EXPECT_EQ(m.verb, Verb::Mask);
    EXPECT_EQ(m.index, 16);
    EXPECT_FALSE(m.on);

    EXPECT_EQ(Parse({"curve", "C:\\curves\\mine.bin"}).curveName, "C:\\curves\\mine.bin");

    Invocation mon = Parse({"monitor", "--count", "3", "--seconds", "10"});
    EXPECT_EQ(mon.verb, Verb::Monitor);
    EXPECT_EQ(mon.count, 3u);
    EXPECT_EQ(mon.seconds, 10u);
    EXPECT_FALSE(Parse({"monitor"}).count);
}

TEST(OvtmctlCommandLine, HelpForTheProgramAndForEachVerb) {
    EXPECT_EQ(Parse({"--help"}).verb, Verb::Help);
    EXPECT_FALSE(Parse({"--help"}).helpFor);
    Invocation verbHelp = Parse({"leds", "--help"});
    EXPECT_EQ(verbHelp.verb, Verb::Help);
    EXPECT_EQ(verbHelp.helpFor, Verb::Leds);
    EXPECT_EQ(Parse({"help", "monitor"}).helpFor, Verb::Monitor);
    EXPECT_NE(HelpText(Verb::Leds).find("0x08"), std::string::npos);
    EXPECT_NE(HelpText(std::nullopt).find("Exit codes"), std::string::npos);
}

TEST(OvtmctlCommandLine, RefusesWrongWordsWithAReason) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"blink"},
        {"query"},
        {"query", "c5"},
        {"command", "c3"},
        {"leds", "256", "on"},
        {"leds", "-1", "on"},
        {"leds", "0x0F", "maybe"},
        {"leds", "0x0F"},
        {"mask", "17", "on"},
        {"mask", "1x", "on"},
        {"mask", "3", "on", "extra"},
        {"curve"},
        {"monitor", "--seconds"},
        {"monitor", "--seconds", "0"},
        {"monitor", "--forever"},
        {"list", "now"},
        {"--device", "0", "list"},
        {"--device", "9", "list"},
        {"--device"},
        {"--verbose", "list"},
        {"help", "blink"},
    };
    for (const auto& args : wrong) {
        Parsed parsed = ParseCommandLine(args);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_FALSE(parsed.invocation) << joined;
        EXPECT_FALSE(parsed.error.empty()) << joined;
    }
}

TEST(OvtmctlCommandLine, NamedCurvesRiseFromSilenceToFullAndKeepStruckKeysAudible) {
    auto linear = NamedCurve("linear");
    auto soft = NamedCurve("soft");
    auto hard = NamedCurve("hard");
    ASSERT_TRUE(linear && soft && hard);
    EXPECT_FALSE(NamedCurve("medium"));
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ((*linear)[i], i);
        EXPECT_GE((*soft)[i], (*linear)[i]) << i;
        EXPECT_LE((*hard)[i], (*linear)[i]) << i;
        if (i > 0) {
            EXPECT_GE((*soft)[i], (*soft)[i - 1]) << i;
            EXPECT_GE((*hard)[i], (*hard)[i - 1]) << i;
            EXPECT_GE((*hard)[i], 1) << i;
        }
    }
    EXPECT_EQ((*soft)[0], 0);
    EXPECT_EQ((*hard)[0], 0);
    EXPECT_EQ((*soft)[127], 127);
    EXPECT_EQ((*hard)[127], 127);
}

} // namespace
} // namespace ovtmctl
