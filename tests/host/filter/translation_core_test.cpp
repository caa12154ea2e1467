// The translation cores on their own: which records a report yields, in which order, and
// what the report looks like afterwards (the bytes the HID stack would receive).
#include <array>
#include <cstdint>
#include <vector>
#include <gtest/gtest.h>

#include "button_translation.h"
#include "keyboard_model.h"
#include "note_translation.h"
#include "reply_translation.h"

using usbsim::KeyboardModel;
using usbsim::NamedButton;
using usbsim::Report;
using Records = std::vector<uint32_t>;

namespace {

constexpr uint32_t Key(uint32_t code) {
    return 0x050000FFu | (code << 16);
}
constexpr uint32_t NoteOn(uint32_t note, uint32_t v) {
    return 0x90u | note << 8 | v << 16;
}
constexpr uint32_t NoteOff(uint32_t note, uint32_t v) {
    return 0x80u | note << 8 | v << 16;
}

// The filter's button state and settings, and one call per report as the completion
// routine makes it.
struct ButtonTranslator {
    uint32_t report1 = 0;
    uint8_t report2 = 0;
    uint32_t report4 = 0;
    std::array<uint8_t, OVTM_KEY_MASK_COUNT> keyMask{};
    int32_t captureCount = 0;

    Records Translate(Report& report) {
        BUTTON_MASK_SETTINGS masks{keyMask.data(), captureCount};
        uint32_t out[BUTTON_RECORDS_MAX];
        size_t n = 0;
        switch (report.empty() ? 0 : report[0]) {
        case 1:
            n = TranslateButtonReport1(report.data(), report.size(), &report1, &masks, out);
            break;
        case 2:
            n = TranslateButtonReport2(report.data(), report.size(), &report2, &masks, out);
            break;
        case 4:
            n = TranslateButtonReport4(report.data(), report.size(), &report4, &masks, out);
            break;
        default:
            break;
        }
        return Records(out, out + n);
    }
};

} // namespace

TEST(ButtonTranslation, PressAndReleaseOfOneButton) {
    ButtonTranslator t;
    Report press{1, 0, 0, 0x80};
    EXPECT_EQ(t.Translate(press), Records{Key(0x2A)});
    Report release{1, 0, 0, 0};
    EXPECT_EQ(t.Translate(release), Records{Key(0x2B)});
    Report octaveUp{4, 0x10, 0, 0};
    EXPECT_EQ(t.Translate(octaveUp), Records{Key(0x08)});
}

TEST(ButtonTranslation, SeveralChangesComeInTableOrder) {
    ButtonTranslator t;
    Report all1{1, 0xFF, 0xFF, 0xFF};
    Records expected1;
    for (uint32_t code = 0x2A; code <= 0x56; code += 2) {
        expected1.push_back(Key(code == 0x4A - 2 ? 0x48 : code));
        if (code == 0x48) {
            expected1.push_back(Key(0x49));
        }
    }
    EXPECT_EQ(t.Translate(all1), expected1);

    Report all4{4, 0xFF, 0xFF, 0xFF};
    Records expected4{Key(0x10)};
    for (uint32_t code = 0x28; code >= 0x12; code -= 2) {
        expected4.push_back(Key(code));
    }
    for (int code = 0x0E; code >= 0; code -= 2) {
        expected4.push_back(Key(static_cast<uint32_t>(code)));
    }
    EXPECT_EQ(t.Translate(all4), expected4);

    Report releaseAll4{4, 0, 0, 0};
    Records released4 = t.Translate(releaseAll4);
    ASSERT_EQ(released4.size(), expected4.size());
    for (size_t i = 0; i < released4.size(); ++i) {
        EXPECT_EQ(released4[i], expected4[i] + 0x10000u) << "row " << i;
    }

    Report all2{2, 0x07};
    EXPECT_EQ(t.Translate(all2), (Records{Key(0x58), Key(0x5A), Key(0x5C)}));
}

TEST(ButtonTranslation, PressOnlyButtonsGiveNoRelease) {
    ButtonTranslator t;
    KeyboardModel kb;
    Report r = kb.PressButton(0x48);
    EXPECT_EQ(t.Translate(r), Records{Key(0x48)});
    r = kb.ReleaseButton(0x48);
    EXPECT_EQ(t.Translate(r), Records{});
    r = kb.PressButton(0x48);
    EXPECT_EQ(t.Translate(r), Records{Key(0x48)});
    r = kb.PressButton(0x49);
    EXPECT_EQ(t.Translate(r), Records{Key(0x49)});
    r = kb.ReleaseButton(0x49);
    EXPECT_EQ(t.Translate(r), Records{});
}

TEST(ButtonTranslation, RepeatedStatePassesUnmasked) {
    ButtonTranslator t;
    t.captureCount = 1;
    t.keyMask[1] = 1;
    Report first{1, 0, 0x40, 0x04};
    EXPECT_EQ(t.Translate(first), (Records{Key(0x34), Key(0x3C)}));
    EXPECT_EQ(first, (Report{1, 0, 0, 0}));
    Report repeat{1, 0, 0x40, 0x04};
    EXPECT_EQ(t.Translate(repeat), Records{});
    EXPECT_EQ(repeat, (Report{1, 0, 0x40, 0x04}));
}

TEST(ButtonTranslation, CaptureHidesOctaveAndSustainButStillReportsThem) {
    ButtonTranslator t;
    t.captureCount = 2;
    KeyboardModel kb;
    Report r = kb.PressButton(NamedButton::OctaveUp);
    EXPECT_EQ(t.Translate(r), Records{Key(0x08)});
    EXPECT_EQ(r, (Report{4, 0, 0, 0}));
    r = kb.PressButton(NamedButton::OctaveDown);
    EXPECT_EQ(t.Translate(r), Records{Key(0x3C)});
    EXPECT_EQ(r, (Report{1, 0, 0, 0}));
    r = kb.PressButton(0x3A); // a neighbour that stays visible
    EXPECT_EQ(t.Translate(r), Records{Key(0x3A)});
    EXPECT_EQ(r, (Report{1, 0, 0x80, 0}));
}

TEST(ButtonTranslation, KeyMaskEntriesHideTheirButtons) {
    struct Case {
        size_t entry;
        uint8_t code;
    } cases[] = {{1, 0x34},  {2, 0x3C},  {4, 0x3A},  {16, 0x3E},
                 {12, 0x50}, {13, 0x52}, {14, 0x54}, {15, 0x56}};
    for (const Case& c : cases) {
        ButtonTranslator t;
        t.keyMask[c.entry] = 1;
        KeyboardModel kb;
        Report r = kb.PressButton(c.code);
        EXPECT_EQ(t.Translate(r), Records{Key(c.code)}) << "entry " << c.entry;
        EXPECT_EQ(r, (Report{1, 0, 0, 0})) << "entry " << c.entry;
    }
    // Entries without a button change nothing.
    ButtonTranslator t;
    for (size_t entry : {0, 3, 5, 6, 7, 8, 9, 10}) {
        t.keyMask[entry] = 1;
    }
    Report r{1, 0xFF, 0xFF, 0xFF};
    t.Translate(r);
    EXPECT_EQ(r, (Report{1, 0xFF, 0xFF, 0xFF}));
}

TEST(ButtonTranslation, Report4BitsWithoutRowsForceMasking) {
    ButtonTranslator t;
    t.captureCount = 1;
    Report press{4, 0x10, 0, 0};
    t.Translate(press);
    Report noisy{4, 0x10, 0, 0x20}; // bit 21: no row, so never part of the state
    EXPECT_EQ(t.Translate(noisy), Records{});
    EXPECT_EQ(noisy, (Report{4, 0, 0, 0x20}));
    Report again{4, 0x10, 0, 0x20};
    EXPECT_EQ(t.Translate(again), Records{});
    EXPECT_EQ(again, (Report{4, 0, 0, 0x20}));
}

TEST(ButtonTranslation, Report2MasksOnlyWhenTheHiddenButtonMoves) {
    ButtonTranslator t;
    t.keyMask[11] = 1;
    KeyboardModel kb;
    Report r = kb.PressButton(0x5A);
    EXPECT_EQ(t.Translate(r), Records{Key(0x5A)});
    EXPECT_EQ(r, (Report{2, 0x00}));
    r = kb.PressButton(0x5C);
    EXPECT_EQ(t.Translate(r), Records{Key(0x5C)});
    EXPECT_EQ(r, (Report{2, 0x03}));
    Report high{2, 0x0B}; // bit 3 yields nothing
    EXPECT_EQ(t.Translate(high), Records{});
}

TEST(ButtonTranslation, ShortReportsAreLeftAlone) {
    ButtonTranslator t;
    t.captureCount = 1;
    Report r1{1, 0xFF, 0xFF};
    EXPECT_EQ(t.Translate(r1), Records{});
    EXPECT_EQ(r1, (Report{1, 0xFF, 0xFF}));
    Report r4{4, 0x10};
    EXPECT_EQ(t.Translate(r4), Records{});
    Report r2{2};
    EXPECT_EQ(t.Translate(r2), Records{});
    // Nothing was remembered: a full report afterwards still reports the press.
    Report full{4, 0x10, 0, 0};
    EXPECT_EQ(t.Translate(full), Records{Key(0x08)});
    EXPECT_EQ(t.report1, 0u);
}

namespace {

struct NoteTranslator {
    std::array<uint8_t, OVTM_VELOCITY_CURVE_SIZE> curve{};
    NoteTranslator() {
        for (size_t i = 0; i < curve.size(); ++i) {
            curve[i] = static_cast<uint8_t>(i);
        }
    }
    // Records per group, as they would be appended.
    std::vector<Records> Translate(const Report& report) {
        NOTE_WORKING_COPY copy;
        PrepareNoteWorkingCopy(report.data(), report.size(), &copy);
        std::vector<Records> groups;
        for (size_t g = 0; g < copy.GroupCount; ++g) {
            uint32_t out[NOTE_RECORDS_PER_GROUP];
            size_t n = TranslateNoteGroup(&copy, g, curve.data(), out);
            groups.emplace_back(out, out + n);
        }
        return groups;
    }
};

} // namespace

TEST(NoteTranslation, PressUsesTheCurveReleaseKeepsVelocity) {
    NoteTranslator t;
    t.curve[100] = 127;
    EXPECT_EQ(t.Translate(KeyboardModel::PressKey(63, 100)),
              std::vector<Records>{Records{NoteOn(0x67, 0x7F)}});
    EXPECT_EQ(t.Translate(KeyboardModel::ReleaseKey(63, 100)),
              std::vector<Records>{Records{NoteOff(0x67, 0x64)}});
}

TEST(NoteTranslation, SlotRules) {
    NoteTranslator t;
    // Slot A with action 00 or 11 releases; slot B with those actions gives nothing.
    Report r{3, 0x05, 10, 0x07, 20, 0xC5, 30, 0xC7, 40};
    EXPECT_EQ(t.Translate(r),
              (std::vector<Records>{Records{NoteOff(45, 10)}, Records{NoteOff(45, 30)}}));
    // An empty slot A silences the whole group, even a press in slot B.
    Report emptyA{3, 0, 0, 0x41, 50};
    EXPECT_EQ(t.Translate(emptyA), std::vector<Records>{Records{}});
    EXPECT_EQ(t.Translate(KeyboardModel::Keys({{true, 0, 1}, {false, 1, 2}})),
              std::vector<Records>{(Records{NoteOn(40, 1), NoteOff(41, 2)})});
}

TEST(NoteTranslation, GroupCountFollowsTheLength) {
    NoteTranslator t;
    EXPECT_EQ(t.Translate(Report{3, 0x41}).size(), 0u);
    EXPECT_EQ(t.Translate(Report{3, 0x41, 9}).size(), 1u);
    EXPECT_EQ(t.Translate(Report{3, 0x41, 9, 0x42}).size(), 1u);
    EXPECT_EQ(t.Translate(Report{3, 0x41, 9, 0x42, 9, 0x43}).size(), 1u);
    // Seven bytes: the second group's slot B lies past the end and reads as empty.
    EXPECT_EQ(
        t.Translate(Report{3, 0x41, 9, 0x42, 9, 0x43, 9}),
        (std::vector<Records>{Records{NoteOn(41, 9), NoteOn(42, 9)}, Records{NoteOn(43, 9)}}));
    EXPECT_EQ(t.Translate(Report{}).size(), 0u);
}

TEST(NoteTranslation, LongReportsStopAtTheWorkingCopy) {
    NoteTranslator t;
    Report r(64, 0);
    r[0] = 3;
    for (size_t k = 1; k + 1 < r.size(); k += 2) {
        r[k] = 0x41;
        r[k + 1] = 5;
    }
    std::vector<Records> groups = t.Translate(r);
    ASSERT_EQ(groups.size(), 10u);
    EXPECT_EQ(groups[8].size(), 2u);
    // The last group's slot B straddles the end of the copy: its velocity reads as zero,
    // as any byte past the end of a short report does.
    EXPECT_EQ(groups[9], (Records{NoteOn(41, 5), NoteOn(41, 0)}));
}

TEST(NoteTranslation, VelocityAbove127CountsAs127) {
    NoteTranslator t;
    t.curve[127] = 99;
    EXPECT_EQ(t.Translate(Report{3, 0x41, 0xFF, 0x81, 0x80}),
              std::vector<Records>{(Records{NoteOn(41, 99), NoteOff(41, 127)})});
}

TEST(ReplyTranslation, OnlyCompleteAnswersToTheTwoQueries) {
    DEVICE_REPLY reply{};
    Report c3 = KeyboardModel::Reply(0xC3, 0xA1B2C3D4);
    ASSERT_TRUE(TranslateReplyReport(c3.data(), c3.size(), &reply));
    EXPECT_EQ(reply.Command, 0xC3);
    EXPECT_EQ(reply.Value, 0xA1B2C3D4u);
    Report c5 = KeyboardModel::Reply(0xC5, 1);
    EXPECT_FALSE(TranslateReplyReport(c5.data(), c5.size(), &reply));
    Report shortC4{5, 0xC4, 1, 2, 3};
    EXPECT_FALSE(TranslateReplyReport(shortC4.data(), shortC4.size(), &reply));
}
