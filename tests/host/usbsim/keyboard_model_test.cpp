// The keyboard model's reports as the device would send them on the music pipe.
#include <gtest/gtest.h>

#include "keyboard_model.h"

using usbsim::KeyboardModel;
using usbsim::NamedButton;
using usbsim::Report;

TEST(KeyboardModel, ButtonReportsCarryTheWholeHeldState) {
    KeyboardModel kb;
    EXPECT_EQ(kb.PressButton(0x2A), (Report{1, 0x00, 0x00, 0x80}));
    EXPECT_EQ(kb.PressButton(NamedButton::Sustain), (Report{1, 0x00, 0x00, 0x84}));
    EXPECT_EQ(kb.PressButton(NamedButton::OctaveDown), (Report{1, 0x00, 0x40, 0x84}));
    EXPECT_EQ(kb.ReleaseButton(0x2A), (Report{1, 0x00, 0x40, 0x04}));
    EXPECT_EQ(kb.PressButton(NamedButton::OctaveUp), (Report{4, 0x10, 0x00, 0x00}));
    EXPECT_EQ(kb.PressButton(NamedButton::LedToggle), (Report{4, 0x10, 0x00, 0x10}));
    EXPECT_EQ(kb.PressButton(0x00), (Report{4, 0x12, 0x00, 0x10}));
    EXPECT_EQ(kb.PressButton(0x5A), (Report{2, 0x02}));
    EXPECT_EQ(kb.PressButton(0x49), (Report{1, 0x80, 0x40, 0x04}));
    EXPECT_EQ(kb.ButtonState(2), (Report{2, 0x02}));
}

TEST(KeyboardModel, UnknownCodesBuildNothing) {
    KeyboardModel kb;
    EXPECT_TRUE(kb.PressButton(0x5E).empty());
    EXPECT_TRUE(kb.PressButton(0x2B).empty());
    EXPECT_FALSE(usbsim::FindButton(0x61).has_value());
}

TEST(KeyboardModel, KeySlotsPackTwoToAGroup) {
    EXPECT_EQ(KeyboardModel::PressKey(63, 100), (Report{3, 0x7F, 100, 0, 0}));
    EXPECT_EQ(KeyboardModel::ReleaseKey(63, 100), (Report{3, 0xBF, 100, 0, 0}));
    EXPECT_EQ(KeyboardModel::Keys({{true, 0, 1}, {false, 1, 2}, {true, 2, 3}}),
              (Report{3, 0x40, 1, 0x81, 2, 0x42, 3, 0, 0}));
}

TEST(KeyboardModel, ReplyIsLittleEndian) {
    EXPECT_EQ(KeyboardModel::Reply(0xC3, 0x11223344), (Report{5, 0xC3, 0x44, 0x33, 0x22, 0x11}));
}
