// The command table as the application sees it: which operation each command code reaches, with
// which arguments, and which result comes back.
#include "command_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "api_codes.h"

namespace {

using namespace ovtm::appapi;

// A device object that writes down every operation called on it and answers with kAnswer.
class RecordingDevice : public DeviceApi {
  public:
    static constexpr std::uint32_t kAnswer = 0x6104;
    std::vector<std::string> calls;

    void ClearNotifyWindow(CommandArgument, CommandArgument) override { Note("Clear", 0, 0); }
    void SetNotifyWindow(CommandArgument w, CommandArgument) override { Note("SetWindow", w, 0); }
    std::uint32_t GetDeviceRevision(std::uint32_t* p, CommandArgument) override {
        return Note("Revision", Address(p), 0);
    }
    std::uint32_t Open(CommandArgument, CommandArgument) override { return Note("Open", 0, 0); }
    std::uint32_t Close(CommandArgument, CommandArgument) override { return Note("Close", 0, 0); }
    void SendCommandC1() override { Note("C1", 0, 0); }
    void SendCommandC2() override { Note("C2", 0, 0); }
    std::uint32_t SetLeds(std::uint32_t m, std::uint32_t s) override { return Note("Leds", m, s); }
    std::uint32_t GetDriverVersion(std::uint32_t* p) override {
        return Note("Version", Address(p), 0);
    }
    std::uint32_t QueryDeviceC3(std::uint32_t* p) override { return Note("C3", Address(p), 0); }
    std::uint32_t QueryDeviceC4(std::uint32_t* p) override { return Note("C4", Address(p), 0); }
    std::uint32_t GetDeviceName(char* p) override { return Note("Name", Address(p), 0); }
    std::uint32_t SetKeyMask(std::uint32_t i, std::uint32_t s) override {
        return Note("KeyMask", i, s);
    }
    std::uint32_t SetVelocityCurve(const std::uint8_t* p) override {
        return Note("Curve", Address(p), 0);
    }

  private:
    static CommandArgument Address(const void* p) { return reinterpret_cast<CommandArgument>(p); }
    std::uint32_t Note(const char* what, CommandArgument a, CommandArgument b) {
        calls.push_back(std::string(what) + "(" + std::to_string(a) + "," + std::to_string(b) +
                        ")");
        return kAnswer;
    }
};

class RecordingHost : public ObjectHost {
  public:
    RecordingDevice device;
    bool hasObject = true;
    int creates = 0;
    int destroys = 0;

    std::uint32_t CreateObject() override { return ++creates, 0x1205; }
    std::uint32_t DestroyObject() override { return ++destroys, 0x1206; }
    DeviceApi* Object() override { return hasObject ? &device : nullptr; }
    void LockShared() override { lock_.lock_shared(); }
    void UnlockShared() override { lock_.unlock_shared(); }
    void LockExclusive() override { lock_.lock(); }
    void UnlockExclusive() override { lock_.unlock(); }

  private:
    std::shared_mutex lock_;
};

struct CommandRow {
    std::uint32_t code;
    const char* call; // with the arguments 7 and 9 given to every command
    bool resultPassedOn;
};

TEST(AppApiCommandTable, EveryCommandReachesItsOperationWithItsArguments) {
    const CommandRow rows[] = {
        {0x201, "Open(0,0)", true},       {0x202, "Close(0,0)", true},
        {0x203, "SetWindow(7,0)", false}, {0x204, "Clear(0,0)", false},
        {0x207, "Revision(7,0)", true},   {0x208, "C1(0,0)", false},
        {0x209, "C2(0,0)", false},        {0x20A, "Version(7,0)", false},
        {0x20B, "C3(7,0)", false},        {0x20C, "C4(7,0)", false},
        {0x20D, "Name(7,0)", false},      {0x20E, "Leds(7,9)", false},
        {0x20F, "KeyMask(7,9)", true},    {0x210, "Curve(7,0)", true},
    };
    for (const CommandRow& row : rows) {
        RecordingHost host;
        std::uint32_t result = RunCommand(host, row.code, 7, 9);
        SCOPED_TRACE(row.call);
        ASSERT_EQ(host.device.calls, std::vector<std::string>{row.call});
        EXPECT_EQ(result, row.resultPassedOn ? RecordingDevice::kAnswer : kResultOk);
        EXPECT_EQ(host.creates + host.destroys, 0);
    }
}

TEST(AppApiCommandTable, CreateAndDestroyGoToTheLibraryEvenWithoutAnObject) {
    RecordingHost host;
    host.hasObject = false;
    EXPECT_EQ(RunCommand(host, kCommandCreateObject, 1, 2), 0x1205u);
    EXPECT_EQ(RunCommand(host, kCommandDestroyObject, 1, 2), 0x1206u);
    EXPECT_EQ(host.creates, 1);
    EXPECT_EQ(host.destroys, 1);
}

TEST(AppApiCommandTable, UnknownCodesAnswer6100AndTouchNothing) {
    for (std::uint32_t code : {0x0u, 0x200u, 0x211u, 0x1201u, 0x80000201u, 0xFFFFFFFFu}) {
        RecordingHost host;
        EXPECT_EQ(RunCommand(host, code, 7, 9), kResultUnknownCommand) << std::hex << code;
        EXPECT_TRUE(host.device.calls.empty());
        EXPECT_EQ(host.creates + host.destroys, 0);
    }
}

TEST(AppApiCommandTable, CommandsWithoutAnObjectAnswer6101) {
    RecordingHost host;
    host.hasObject = false;
    for (std::uint32_t code = 0x201; code <= 0x210; ++code) {
        if (code == kCommandCreateObject || code == kCommandDestroyObject) {
            continue;
        }
        EXPECT_EQ(RunCommand(host, code, 7, 9), kResultFailed) << std::hex << code;
    }
    EXPECT_TRUE(host.device.calls.empty());
    EXPECT_EQ(host.creates + host.destroys, 0);
}

// Where a command waits until the test lets it go on; it outlives the device object.
class Gate {
  public:
    void Enter() {
        std::unique_lock<std::mutex> hold(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(hold, [this] { return goOn_; });
    }
    void WaitUntilEntered() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return entered_; });
    }
    void LetGoOn() {
        std::lock_guard<std::mutex> hold(mutex_);
        goOn_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool goOn_ = false;
};

// A device object whose Open waits at the gate, counts who is inside and answers from its own
// memory (a freed object is a finding under AddressSanitizer).
class WaitingDevice : public DeviceApi {
  public:
    WaitingDevice(Gate& gate, std::atomic<int>& inside) : gate_(gate), inside_(inside) {}
    std::uint32_t Open(CommandArgument, CommandArgument) override {
        ++inside_;
        gate_.Enter();
        --inside_;
        return answer_;
    }

  private:
    Gate& gate_;
    std::atomic<int>& inside_;
    std::uint32_t answer_ = 0x77;
};

// The library's host as the real one is: destruction frees the object.
class FreeingHost : public ObjectHost {
  public:
    Gate gate;
    std::atomic<int> inside{0};
    std::unique_ptr<WaitingDevice> object = std::make_unique<WaitingDevice>(gate, inside);
    int insideAtDestroy = -1;

    std::uint32_t CreateObject() override { return 0; }
    std::uint32_t DestroyObject() override {
        insideAtDestroy = inside.load();
        object.reset();
        return 0;
    }
    DeviceApi* Object() override { return object.get(); }
    void LockShared() override { lock_.lock_shared(); }
    void UnlockShared() override { lock_.unlock_shared(); }
    void LockExclusive() override { lock_.lock(); }
    void UnlockExclusive() override { lock_.unlock(); }

  private:
    std::shared_mutex lock_;
};

// 0x206 on one thread while another thread is inside a command: the object goes only once the
// command has returned, and later commands find none.
TEST(AppApiCommandTable, DestroyWaitsForACommandInProgressOnAnotherThread) {
    FreeingHost host;
    std::uint32_t opened = 0;
    std::thread command([&] { opened = RunCommand(host, kCommandOpen, 0, 0); });
    host.gate.WaitUntilEntered();
    std::atomic<bool> destroyed{false};
    std::thread destroy([&] {
        EXPECT_EQ(RunCommand(host, kCommandDestroyObject, 0, 0), kResultOk);
        destroyed = true;
    });
    // Time for the destroy to reach the object if nothing stopped it (only the fault's
    // detection depends on it, never the pass).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed.load()) << "destroy did not wait for the command";
    host.gate.LetGoOn();
    command.join();
    destroy.join();
    EXPECT_EQ(opened, 0x77u) << "the command ran to its end on a live object";
    EXPECT_EQ(host.insideAtDestroy, 0);
    EXPECT_EQ(RunCommand(host, kCommandOpen, 0, 0), kResultFailed);
}

} // namespace
