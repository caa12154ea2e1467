// The private state channel: notification bytes and the resync sequence a client receives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state_notification.h"

namespace ovtm::midi {
namespace {

// The sequence as text, one entry per message: "B0 40 46" or "open"/"close"/"up"/"down".
std::vector<std::string> Describe(const ResyncSequence& sequence) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < sequence.count; ++i) {
        const ResyncItem& item = sequence.items[i];
        if (item.isShortMessage) {
            lines.push_back(item.shortMessage == kSustainOnMessage    ? "sustain on"
                            : item.shortMessage == kSustainOffMessage ? "sustain off"
                                                                      : "other");
        } else if (item.notification == ResyncBracket(false)) {
            lines.push_back("open");
        } else if (item.notification == ResyncBracket(true)) {
            lines.push_back("close");
        } else if (item.notification == OctaveNotification(OctaveStep::Up)) {
            lines.push_back("up");
        } else if (item.notification == OctaveNotification(OctaveStep::Down)) {
            lines.push_back("down");
        } else {
            lines.push_back("unknown");
        }
    }
    return lines;
}

TEST(StateNotification, BytesFollowTheFormatWithOneManufacturer) {
    const Notification up = OctaveNotification(OctaveStep::Up);
    const Notification down = OctaveNotification(OctaveStep::Down);
    const Notification open = ResyncBracket(false);
    const Notification close = ResyncBracket(true);
    for (const Notification* n : {&up, &down, &open, &close}) {
        EXPECT_EQ((*n)[0], 0xF0);
        EXPECT_EQ((*n)[1], 0x00) << "three-byte manufacturer identifier";
        EXPECT_EQ((*n)[2], up[2]);
        EXPECT_EQ((*n)[3], up[3]);
        EXPECT_EQ((*n)[4], 0x30);
        EXPECT_EQ((*n)[5], 0x04);
        EXPECT_EQ((*n)[8], 0x00);
        EXPECT_EQ((*n)[9], 0xF7);
        for (std::size_t i = 1; i < 9; ++i) {
            EXPECT_LT((*n)[i], 0x80) << "data byte " << i << " inside a system exclusive";
        }
    }
    EXPECT_EQ(up[6], 0x01);
    EXPECT_EQ(up[7], 0x00);
    EXPECT_EQ(down[6], 0x01);
    EXPECT_EQ(down[7], 0x01);
    EXPECT_EQ(open[6], 0x02);
    EXPECT_EQ(open[7], 0x00);
    EXPECT_EQ(close[6], 0x02);
    EXPECT_EQ(close[7], 0x01);
}

TEST(StateNotification, ResyncReportsSustainAndOneNotificationPerOctave) {
    EXPECT_EQ(Describe(BuildResyncSequence(-24, true)),
              (std::vector<std::string>{"open", "sustain on", "down", "down", "close"}));
    EXPECT_EQ(Describe(BuildResyncSequence(0, false)),
              (std::vector<std::string>{"open", "sustain off", "close"}));
    EXPECT_EQ(
        Describe(BuildResyncSequence(60, false)),
        (std::vector<std::string>{"open", "sustain off", "up", "up", "up", "up", "up", "close"}));
    EXPECT_EQ(
        Describe(BuildResyncSequence(-48, false)),
        (std::vector<std::string>{"open", "sustain off", "down", "down", "down", "down", "close"}));
}

TEST(StateNotification, ResyncStaysBoundedAndClosedForAnyTranspose) {
    for (std::int32_t transpose : {-1000, -60, 72, 1000, INT32_MIN + 1, INT32_MAX}) {
        const auto lines = Describe(BuildResyncSequence(transpose, false));
        ASSERT_LE(lines.size(), ResyncSequence::kCapacity);
        EXPECT_EQ(lines.front(), "open");
        EXPECT_EQ(lines.back(), "close") << transpose;
    }
}

} // namespace
} // namespace ovtm::midi
