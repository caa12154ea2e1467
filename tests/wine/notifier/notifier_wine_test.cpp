// OvtmNtfy.exe as the system and a user see it under Wine: which command lines start it, the
// exit codes it ends with, one copy at a time, and what its end of a session does to the
// real filter's clients (on a keyboard of the bench's virtual bus). The test-only recorder
// stands in for the filter only where a count is needed that the filter cannot show: how
// many opens and requests reached the control device.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "control_recorder_client.h"
#include "filter_client.h"
#include "notifier_process.h"
#include "ovtm_control.h"
#include "virtual_bus.h"

using namespace ovtm::notifier_test;

namespace {

constexpr DWORD kExitNoStartupSwitch = 0xFFFFFFFFu;
constexpr DWORD kExitNotStarted = 0xFFFFFFFEu;
constexpr LPARAM kLogoff = static_cast<LPARAM>(ENDSESSION_LOGOFF);

// Starts notifier and expects it to keep running with its window; says how it ended if not.
::testing::AssertionResult StartsRunning(NotifierProcess& notifier, const std::wstring& line) {
    const StartOutcome outcome = notifier.Start(line);
    if (outcome == StartOutcome::Running) {
        return ::testing::AssertionSuccess();
    }
    char text[64];
    std::snprintf(text, sizeof(text), "exit code 0x%08lX",
                  static_cast<unsigned long>(notifier.ExitCode().value_or(0xDEAD)));
    return ::testing::AssertionFailure()
           << "did not run: " << (outcome == StartOutcome::Exited ? text : "hung");
}

// A shutdown or restart query: the notifier ends at once and never answers.
void ShutDownAndExpectExitZero(NotifierProcess& notifier) {
    EXPECT_FALSE(notifier.SendEndSessionQuery(0)) << "the shutdown query must not be answered";
    ASSERT_TRUE(notifier.WaitForExit(kStartLimitMs));
    EXPECT_EQ(notifier.ExitCode(), 0u);
}

// Starts a notifier with this command line and expects it to end with -1, having made nothing.
void ExpectRefused(const std::wstring& commandLine) {
    NotifierProcess notifier;
    ASSERT_EQ(notifier.Start(commandLine), StartOutcome::Exited);
    EXPECT_EQ(notifier.ExitCode(), kExitNoStartupSwitch);
    EXPECT_EQ(notifier.WindowsCreated(), 0);
}

// Starts a notifier with this command line and expects it to run with its one window.
void ExpectRunsThenShutDown(const std::wstring& commandLine) {
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, commandLine));
    EXPECT_EQ(notifier.NotifierWindowsCreated(), 1);
    EXPECT_EQ(CountNotifierWindows(), 1);
    ShutDownAndExpectExitZero(notifier);
}

class NotifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CountNotifierWindows(), 0) << "a notifier of an earlier test still runs";
    }
};

class NotifierWithRecorderTest : public NotifierTest {
  protected:
    void SetUp() override {
        NotifierTest::SetUp();
        ASSERT_TRUE(recorder_.Start()) << "the control-device recorder did not start";
        ASSERT_TRUE(ControlDevicePresent());
        ASSERT_TRUE(recorder_.Reset());
    }

    RECORDER_COUNTS Counts() {
        auto counts = recorder_.Counts();
        EXPECT_TRUE(counts);
        return counts.value_or(RECORDER_COUNTS{-1, -1, -1, -1});
    }

    ControlRecorder recorder_;
};

class NotifierWithFilterTest : public NotifierTest {
  protected:
    void SetUp() override {
        NotifierTest::SetUp();
        ASSERT_TRUE(bus_.IsOpen()) << bus_.LastError();
        keyboard_ = bus_.Plug();
        ASSERT_GT(keyboard_, 0) << bus_.LastError();
        ASSERT_EQ(bus_.ControlDeviceNumber(keyboard_), 1);
    }
    void TearDown() override {
        // The keyboard's stack goes, and with it the hold of every read that release-all left.
        if (keyboard_ > 0) {
            EXPECT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
        }
    }

    ovtm::wine::VirtualBus bus_;
    int keyboard_ = 0;
};

} // namespace

TEST_F(NotifierTest, WithoutTheExactSwitchItEndsWithMinusOne) {
    ExpectRefused(QuotedNotifier());
    ExpectRefused(QuotedNotifier() + L" -Startup");
    ExpectRefused(QuotedNotifier() + L" -STARTUP");
    ExpectRefused(QuotedNotifier() + L" /startup");
    ExpectRefused(QuotedNotifier() + L" -start up");
}

TEST_F(NotifierTest, SwitchCountsAnywhereAlsoInsideALongerWord) {
    ExpectRunsThenShutDown(QuotedNotifier() + L" -startup");
    ExpectRunsThenShutDown(QuotedNotifier() + L" -startupnow");
    ExpectRunsThenShutDown(QuotedNotifier() + L" /quiet x-startup");
}

TEST_F(NotifierTest, OnlyTheFirst255CharactersOfTheCommandLineCount) {
    // Ends at index 254, the last character the notifier keeps.
    const std::wstring lastKept = CommandLineWithWordAt(247, L"-startup");
    ASSERT_EQ(lastKept.find(L"-startup"), 247u);
    ExpectRunsThenShutDown(lastKept);

    // Cut after "-startu".
    const std::wstring straddling = CommandLineWithWordAt(248, L"-startup");
    ASSERT_EQ(straddling.find(L"-startup"), 248u);
    ExpectRefused(straddling);

    // Begins after the 255th character.
    ExpectRefused(CommandLineWithWordAt(255, L"-startup"));
    ExpectRefused(CommandLineWithWordAt(2000, L"-startup"));
}

TEST_F(NotifierTest, SecondCopyEndsWithMinusTwoAndCreatesNoWindow) {
    NotifierProcess first;
    ASSERT_TRUE(StartsRunning(first, QuotedNotifier() + L" -startup"));
    const HWND firstWindow = first.Window();
    ASSERT_EQ(first.NotifierWindowsCreated(), 1) << "the window hook must see the first window";

    NotifierProcess second;
    ASSERT_EQ(second.Start(QuotedNotifier() + L" -startup"), StartOutcome::Exited);
    EXPECT_EQ(second.ExitCode(), kExitNotStarted);
    EXPECT_EQ(second.WindowsCreated(), 0);

    EXPECT_EQ(CountNotifierWindows(), 1);
    EXPECT_EQ(first.Window(), firstWindow);
    ShutDownAndExpectExitZero(first);
}

TEST_F(NotifierTest, ShutdownQueryWithoutControlDeviceStillEndsWithZero) {
    ASSERT_FALSE(ControlDevicePresent());
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    ShutDownAndExpectExitZero(notifier);
}

TEST_F(NotifierTest, ANewCopyStartsOnceTheFirstHasEnded) {
    {
        NotifierProcess first;
        ASSERT_TRUE(StartsRunning(first, QuotedNotifier() + L" -startup"));
        ShutDownAndExpectExitZero(first);
    }
    ExpectRunsThenShutDown(QuotedNotifier() + L" -startup");
}

TEST_F(NotifierWithRecorderTest, ShutdownQuerySendsExactlyOneReleaseAllReaders) {
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    const RECORDER_COUNTS beforeQuery = Counts();
    EXPECT_EQ(beforeQuery.Opens, 0) << "the notifier opens the device only at shutdown";

    ShutDownAndExpectExitZero(notifier);
    const RECORDER_COUNTS counts = Counts();
    EXPECT_EQ(counts.Opens, 1);
    EXPECT_EQ(counts.Requests, 1);
    EXPECT_EQ(counts.ReleaseAllReaders, 1);
    EXPECT_EQ(static_cast<DWORD>(counts.LastCode), IOCTL_OVTM_RELEASE_ALL_READERS);
}

TEST_F(NotifierWithRecorderTest, LogoffQueryLeavesItRunningAndOpensNothing) {
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));

    EXPECT_EQ(notifier.SendEndSessionQuery(kLogoff), TRUE) << "default handling agrees";
    EXPECT_FALSE(notifier.WaitForExit(700));
    EXPECT_NE(notifier.Window(), nullptr);
    const RECORDER_COUNTS afterLogoff = Counts();
    EXPECT_EQ(afterLogoff.Opens, 0);
    EXPECT_EQ(afterLogoff.Requests, 0);

    // The session goes on; a later shutdown still reaches the device exactly once.
    ShutDownAndExpectExitZero(notifier);
    EXPECT_EQ(Counts().ReleaseAllReaders, 1);
}

TEST_F(NotifierWithRecorderTest, RefusedStartsAndSecondCopiesTouchNothing) {
    ExpectRefused(QuotedNotifier() + L" -Startup");
    NotifierProcess first;
    ASSERT_TRUE(StartsRunning(first, QuotedNotifier() + L" -startup"));
    NotifierProcess second;
    ASSERT_EQ(second.Start(QuotedNotifier() + L" -startup"), StartOutcome::Exited);
    EXPECT_EQ(second.ExitCode(), kExitNotStarted);

    const RECORDER_COUNTS counts = Counts();
    EXPECT_EQ(counts.Opens, 0);
    EXPECT_EQ(counts.Requests, 0);
    ShutDownAndExpectExitZero(first);
}

TEST_F(NotifierWithRecorderTest, QuitMessageEndsItWithZeroAndSendsNothing) {
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    ASSERT_TRUE(notifier.Post(WM_QUIT));
    ASSERT_TRUE(notifier.WaitForExit(kStartLimitMs));
    EXPECT_EQ(notifier.ExitCode(), 0u);
    EXPECT_EQ(Counts().Opens, 0);
}

TEST_F(NotifierWithRecorderTest, ClosingItsWindowEndsItInsteadOfLeavingItBehind) {
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    ASSERT_TRUE(notifier.Post(WM_CLOSE));
    ASSERT_TRUE(notifier.WaitForExit(kStartLimitMs));
    EXPECT_EQ(notifier.ExitCode(), 0u);
    EXPECT_EQ(CountNotifierWindows(), 0);
    EXPECT_EQ(Counts().Opens, 0);
}

TEST_F(NotifierWithFilterTest, ShutdownQueryEndsEveryClientsParkedReadAndHoldsTheNext) {
    using ovtm::filter_test::Client;
    Client midi(1), app(1);
    auto midiRead = midi.StartRead();
    auto appRead = app.StartRead();
    ASSERT_TRUE(midiRead->Pending());
    ASSERT_TRUE(appRead->Pending());

    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    EXPECT_FALSE(midiRead->Wait(200)) << "the notifier touches nothing before the session ends";
    ShutDownAndExpectExitZero(notifier);

    ASSERT_TRUE(midiRead->Wait(2000));
    ASSERT_TRUE(appRead->Wait(2000));
    EXPECT_EQ(midiRead->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(appRead->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // From now on reads are held for 100 ms and end cancelled, so no reader waits on a
    // system that is shutting down.
    const DWORD start = GetTickCount();
    auto next = midi.StartRead();
    ASSERT_TRUE(next->Wait(2000));
    EXPECT_GE(GetTickCount() - start, 80u);
    EXPECT_EQ(next->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(NotifierWithFilterTest, LogoffQueryLeavesParkedReadsAloneUntilTheShutdown) {
    using ovtm::filter_test::Client;
    Client midi(1);
    auto read = midi.StartRead();
    NotifierProcess notifier;
    ASSERT_TRUE(StartsRunning(notifier, QuotedNotifier() + L" -startup"));
    EXPECT_EQ(notifier.SendEndSessionQuery(kLogoff), TRUE);
    EXPECT_FALSE(read->Wait(500)) << "a logoff ended a read";
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 63, 100));
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_EQ(read->Records(), (std::vector<uint32_t>{0x00646790u}));

    auto parked = midi.StartRead();
    ShutDownAndExpectExitZero(notifier);
    ASSERT_TRUE(parked->Wait(2000));
    EXPECT_EQ(parked->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}
