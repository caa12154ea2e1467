// The virtual keyboard and the HID class stand-in as the filter meets them: enumeration in
// both selection shapes and with other ids, reports in the order the HID stack received them,
// commands and lights in keyboard terms, and query answers sent from the device's own thread.
#include <gtest/gtest.h>

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>

#include <thread>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "plugged_keyboard.h"

namespace usbsim {
namespace {

using hostkernel::IoResult;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::KernelTest;

class VirtualKeyboardTest : public KernelTest {
  protected:
    // Plugs a keyboard in and opens a handle on its control device.
    PluggedKeyboard& PlugIn(const KeyboardIdentity& identity = KeyboardIdentity()) {
        plugged_ = std::make_unique<PluggedKeyboard>(driver_->Driver(), identity);
        PluggedKeyboard::Outcome outcome = plugged_->Plug();
        EXPECT_EQ(outcome.status, STATUS_SUCCESS) << outcome.stage;
        EXPECT_EQ(UserHandle::Open(L"\\\\.\\OvtsMelodixSymLk#" +
                                       std::to_wstring(plugged_->ControlDeviceNumber()),
                                   &client_),
                  STATUS_SUCCESS);
        return *plugged_;
    }

    void SetUp() override {
        KernelTest::SetUp();
        driver_ = std::make_unique<DriverUnderTest>(L"OvtmFilt", DriverEntry);
    }
    void TearDown() override {
        client_.Close();
        plugged_.reset();
        driver_.reset();
        KernelTest::TearDown();
    }

    uint8_t Revision() {
        IoResult r = client_.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, 1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.output.at(0);
    }

    std::unique_ptr<DriverUnderTest> driver_;
    std::unique_ptr<PluggedKeyboard> plugged_;
    UserHandle client_;
};

TEST_F(VirtualKeyboardTest, TwoEntrySelectionPollsBothInPipesAndKeepsArrivalOrder) {
    PluggedKeyboard& k = PlugIn();
    HidClassStandIn& hid = *k.Hid();
    EXPECT_EQ(hid.InterfaceEntries(), 2u);
    EXPECT_EQ(hid.TransfersInFlight(0x81), 2u);
    EXPECT_EQ(hid.TransfersInFlight(0x82), 2u);
    EXPECT_NE(hid.PipeOf(0x03), nullptr);
    EXPECT_EQ(Revision(), 5);

    VirtualKeyboard& kb = k.Keyboard();
    ASSERT_TRUE(kb.PressKey(63, 100));
    ASSERT_TRUE(kb.SendTypingReport({0x00, 0x00, 0x04, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(kb.PressButton(NamedButton::Sustain));
    ASSERT_TRUE(kb.ReleaseKey(63, 64));
    std::vector<HidReport> got = hid.Reports();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].endpoint, 0x82);
    EXPECT_EQ(got[0].bytes, (Report{0x03, 0x7F, 0x64, 0, 0}));
    EXPECT_EQ(got[1].endpoint, 0x81);
    EXPECT_EQ(got[1].bytes, (Report{0x00, 0x00, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got[2].bytes, (Report{0x01, 0x00, 0x00, 0x04}));
    EXPECT_EQ(got[3].bytes, (Report{0x03, 0xBF, 0x40, 0, 0}));
    // Each completion was replaced at once: the pipes are still polled twice over.
    EXPECT_EQ(hid.TransfersInFlight(0x81), 2u);
    EXPECT_EQ(hid.TransfersInFlight(0x82), 2u);

    IoResult read = client_.DeviceIoControl(IOCTL_OVTM_READ_EVENTS, {}, 200);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 12u); // note on, sustain pressed, note off
}

TEST_F(VirtualKeyboardTest, OneEntrySelectionPollsTheMusicPipeAndCommandsStillGoOut) {
    KeyboardIdentity identity;
    identity.Shape = InterfaceShape::MusicOnly;
    identity.Revision = 0x0107;
    PluggedKeyboard& k = PlugIn(identity);
    EXPECT_EQ(k.Hid()->InterfaceEntries(), 1u);
    EXPECT_EQ(k.Hid()->PipeOf(0x81), nullptr);
    EXPECT_EQ(k.Hid()->TransfersInFlight(0x81), 0u);
    EXPECT_EQ(k.Hid()->TransfersInFlight(0x82), 2u);
    EXPECT_EQ(Revision(), 0x07); // the low byte of the release number

    EXPECT_EQ(client_.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(k.Keyboard().Commands(), (std::vector<uint8_t>{0xC1}));
    EXPECT_EQ(k.Keyboard().CommandReports(), (std::vector<Report>{{0x06, 0x01, 0xC1}}));
    EXPECT_TRUE(k.Keyboard().PressKey(0, 1));
    EXPECT_EQ(k.Hid()->Reports().size(), 1u);
}

TEST_F(VirtualKeyboardTest, OtherIdsEnumerateButTheFilterDoesNotTakeThemForTheKeyboard) {
    KeyboardIdentity identity;
    identity.VendorId = 0x1234;
    PluggedKeyboard& k = PlugIn(identity);
    EXPECT_EQ(k.Hid()->DeviceDescriptorBytes(), DeviceDescriptor(identity));
    EXPECT_EQ(Revision(), 0);
}

TEST_F(VirtualKeyboardTest, LightsAndSwitchCommandsArriveInKeyboardTerms) {
    PluggedKeyboard& k = PlugIn();
    // Switch bits 0x0F with state 1: command 0xC5, then all three lights on; state 0: 0xC6, off.
    EXPECT_EQ(client_.DeviceIoControl(IOCTL_OVTM_SET_SWITCHES, {}, {0x0F, 1, 0, 0}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(client_.DeviceIoControl(IOCTL_OVTM_SET_SWITCHES, {}, {0x0F, 0, 0, 0}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(k.Keyboard().Commands(), (std::vector<uint8_t>{0xC5, 0xC6}));
    EXPECT_EQ(k.Keyboard().LedValues(), (std::vector<uint8_t>{0x07, 0x00}));
}

// A query call waits in the driver; the answer comes when the keyboard's own delay has passed
// on the kernel's clock, sent by the keyboard's thread while the test thread only moves time.
TEST_F(VirtualKeyboardTest, QueryAnswersComeFromTheDeviceThreadAfterTheirDelayOrNever) {
    PluggedKeyboard& k = PlugIn();
    k.Keyboard().SetAnswer(0xC3, 0x01020304, 20);
    IoResult answered;
    std::thread caller([&] { answered = client_.DeviceIoControl(IOCTL_OVTM_QUERY_C3, {}, 4); });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(19);
    k.Keyboard().CatchUp();
    EXPECT_TRUE(k.Keyboard().AnswersSent().empty());
    hostkernel::AdvanceClockMs(1);
    k.Keyboard().CatchUp();
    caller.join();
    EXPECT_EQ(answered.status, STATUS_SUCCESS);
    EXPECT_EQ(answered.output, (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(k.Keyboard().AnswersSent(), (std::vector<Report>{{5, 0xC3, 4, 3, 2, 1}}));
    EXPECT_EQ(k.Hid()->Reports().back().bytes, (Report{5, 0xC3, 4, 3, 2, 1}));

    // Unanswered, the query ends empty after the filter's 500 ms.
    k.Keyboard().SetAnswer(0xC3, std::nullopt);
    IoResult silent;
    std::thread second([&] { silent = client_.DeviceIoControl(IOCTL_OVTM_QUERY_C3, {}, 4); });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(500);
    second.join();
    EXPECT_EQ(silent.status, STATUS_SUCCESS);
    EXPECT_EQ(silent.information, 0u);
    EXPECT_EQ(k.Keyboard().Commands(), (std::vector<uint8_t>{0xC3, 0xC3}));
    EXPECT_EQ(k.Keyboard().AnswersSent().size(), 1u);
}

TEST_F(VirtualKeyboardTest, ImmediateAnswerReachesTheWaitingQuery) {
    PluggedKeyboard& k = PlugIn();
    k.Keyboard().SetAnswer(0xC4, 0xCAFE);
    IoResult r = client_.DeviceIoControl(IOCTL_OVTM_QUERY_C4, {}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{0xFE, 0xCA, 0, 0}));
}

} // namespace
} // namespace usbsim
