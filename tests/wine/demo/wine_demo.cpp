// The demo's act under Wine: the package installed into a fresh prefix, a short tune played on
// the bench's virtual keyboard while ovtm-record records it as its own process and a stand-in
// of the companion application counts its events, the keyboard pulled out and plugged in again
// halfway through, and the notifier's shutdown request at the end. Prints what happened and a
// summary; tools/wine-demo-act.sh sets the prefix up, runs this and checks the recording.
//
// Usage: ovtm_wine_demo.exe TUNE.txt PACKAGE   (run in the folder that holds the demo's files;
//        ovtm-record writes demo.mid there; PACKAGE is the package folder OvtmSetup runs from)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "companion_thread.h"
#include "filter_client.h"
#include "ovtm_control.h"
#include "process_runner.h"
#include "product_setup.h"
#include "tune.h"
#include "virtual_bus.h"

namespace ovtm::demo {
namespace {

constexpr uint32_t kKeyboardArrived = 0x055F00FF;
constexpr uint32_t kKeyboardRemoved = 0x055E00FF;
constexpr DWORD kReconnectWaitMs = 10000;

void Say(const char* format, const std::string& text = "") {
    std::printf(format, text.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

bool Fail(const std::string& why) {
    std::printf("demo: %s\n", why.c_str());
    std::fflush(stdout);
    return false;
}

std::string Folder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

size_t CountC1(ovtm::wine::VirtualBus& bus, int keyboard) {
    std::vector<uint8_t> codes = bus.CommandCodes(keyboard);
    return static_cast<size_t>(std::count(codes.begin(), codes.end(), 0xC1));
}

// Waits until the keyboard has received at least `count` C1 commands (a MIDI open sends one,
// and so do the library's open and the reconnections after a replug).
bool WaitForC1(ovtm::wine::VirtualBus& bus, int keyboard, size_t count, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (CountC1(bus, keyboard) < count) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool IsKeyEvent(uint32_t value) {
    const uint32_t status = value & 0xF0;
    return (value & 0xFF) != 0xFF && (status == 0x90 || status == 0x80);
}

class Demo {
  public:
    Demo(std::vector<TuneNote> tune, std::string package)
        : tune_(std::move(tune)), package_(std::move(package)) {}
    bool Run();

  private:
    bool SetUp();
    bool PlayWhileRecording();
    bool Play(size_t from, size_t to);
    bool ShutDown();
    void Summary();

    std::vector<TuneNote> tune_;
    std::string folder_ = Folder();
    std::string package_;
    ovtm::wine::VirtualBus bus_;
    CompanionThread application_;
    HANDLE notifier_ = nullptr;
    int keyboard_ = -1;
    ovtm::wine::ProcessResult recorder_;
    size_t notesPlayed_ = 0;
    bool shutdownEndedRead_ = false;
    DWORD notifierExit_ = 0xFFFFFFFF;
};

bool Demo::SetUp() {
    std::string output;
    Say("OvtmSetup install, from the package folder %s:", package_);
    const DWORD exitCode = RunPackageSetup(package_, "install", &output);
    std::printf("%s", output.c_str());
    if (exitCode != 0) {
        return Fail("OvtmSetup install failed with exit code " + std::to_string(exitCode));
    }
    RegisterMidiShim();
    notifier_ = OpenNotifierProcess();
    if (notifier_ == nullptr) {
        return Fail("the notifier OvtmSetup started is not running");
    }
    if (!bus_.IsOpen()) {
        return Fail("no virtual USB bus: " + bus_.LastError());
    }
    if (!application_.Start()) {
        return Fail("the application stand-in could not load OvtmApi.dll");
    }
    Say("application stand-in: OvtmApi.dll loaded, window registered, open before any keyboard");
    keyboard_ = bus_.Plug();
    if (keyboard_ < 0) {
        return Fail("plugging the keyboard failed: " + bus_.LastError());
    }
    Say("keyboard plugged in: control device \\\\.\\OvtsMelodixSymLk#%s",
        std::to_string(bus_.ControlDeviceNumber(keyboard_)));
    if (!application_.WaitForEvent(kKeyboardArrived, 0, 10000)) {
        return Fail("the application heard no arrival");
    }
    // The library starts the injection when the keyboard's interface has no filter list. On
    // Windows the INF's hardware section has written one; under Wine the bench's HID stand-in
    // is the keyboard's driver and no INF writes it, so the injection runs here.
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while ((LowerFiltersOfMusicInterface().find("OvtmFilt") == std::string::npos ||
            Drivers32EntryOfMidiDriver().empty()) &&
           GetTickCount64() < deadline) {
        Sleep(100);
    }
    Say("injection started by the library: LowerFilters = %s",
        LowerFiltersOfMusicInterface().empty() ? "(none)" : LowerFiltersOfMusicInterface());
    Say("injection: Drivers32 %s",
        Drivers32EntryOfMidiDriver().empty() ? "(no entry)" : Drivers32EntryOfMidiDriver());
    return true;
}

bool Demo::Play(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        const uint8_t key = static_cast<uint8_t>(tune_[i].note - 40);
        if (!bus_.KeyDown(keyboard_, key, tune_[i].velocity)) {
            return Fail("key-down failed: " + bus_.LastError());
        }
        Sleep(tune_[i].lengthMs);
        if (!bus_.KeyUp(keyboard_, key, 0)) {
            return Fail("key-up failed: " + bus_.LastError());
        }
        ++notesPlayed_;
    }
    return true;
}

bool Demo::PlayWhileRecording() {
    DWORD tuneMs = 0;
    for (const TuneNote& note : tune_) {
        tuneMs += note.lengthMs;
    }
    // Room for the replug and a busy machine; the recorder stops by itself.
    const DWORD seconds = (tuneMs + 12000) / 1000;
    const size_t c1Before = CountC1(bus_, keyboard_);
    const std::string command =
        "\"" + folder_ + "\\ovtm-record.exe\" --seconds " + std::to_string(seconds) + " demo.mid";
    Say("recording: %s", command);
    const ULONGLONG recordingStart = GetTickCount64();
    std::thread recorder(
        [&] { recorder_ = ovtm::wine::RunProcess(command, folder_, (seconds + 30) * 1000); });
    bool ok = WaitForC1(bus_, keyboard_, c1Before + 1, 20000) ||
              Fail("ovtm-record did not open the MIDI input");
    if (ok) {
        Sleep(500); // from its open to its start
        const size_t half = tune_.size() / 2;
        Say("playing %s notes", std::to_string(half));
        ok = Play(0, half);
        if (ok) {
            ok = bus_.Unplug(keyboard_) || Fail("unplugging failed: " + bus_.LastError());
            keyboard_ = -1;
        }
        if (ok) {
            Say("keyboard unplugged");
            Sleep(1000); // the MIDI driver lets the old device go 500 ms after its removal
            keyboard_ = bus_.Plug();
            ok = keyboard_ >= 0 || Fail("plugging again failed: " + bus_.LastError());
        }
        if (ok) {
            // The MIDI driver and the library each send C1 once they have reconnected.
            WaitForC1(bus_, keyboard_, 2, kReconnectWaitMs);
            Say("keyboard plugged in again; playing the other %s notes",
                std::to_string(tune_.size() - half));
            ok = Play(half, tune_.size());
        }
        if (ok && GetTickCount64() - recordingStart > seconds * 1000ull) {
            ok = Fail("the tune ended after the recording: the machine is too busy");
        }
    }
    recorder.join();
    std::string output;
    for (char c : recorder_.output) {
        if (c != '\r') {
            output += c;
        }
    }
    std::printf("ovtm-record (exit code %lu):\n", static_cast<unsigned long>(recorder_.exitCode));
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        std::printf("  %s\n", output.substr(start, end - start).c_str());
        start = end + 1;
    }
    return ok && recorder_.started && !recorder_.timedOut && recorder_.exitCode == 0;
}

// The notifier's end of a session as the system would cause it: every client's parked read on
// the filter ends at once. A read parked here shows it.
bool Demo::ShutDown() {
    const int device = bus_.ControlDeviceNumber(keyboard_);
    ovtm::filter_test::Client client(device);
    std::unique_ptr<ovtm::filter_test::Request> read;
    if (client.IsOpen()) {
        read = client.StartRead();
    }
    if (!SendShutdownQuery()) {
        return Fail("the notifier's window is gone");
    }
    if (WaitForSingleObject(notifier_, 10000) != WAIT_OBJECT_0) {
        return Fail("the notifier did not end at the shutdown query");
    }
    GetExitCodeProcess(notifier_, &notifierExit_);
    shutdownEndedRead_ =
        read && read->Pending() && read->Wait(2000) && read->Error() == ERROR_OPERATION_ABORTED;
    Say("shutdown query sent to the notifier: it ended with exit code %s",
        std::to_string(notifierExit_));
    Say("a read parked on the control device %s",
        shutdownEndedRead_ ? "ended at once (aborted), as every client's does"
                           : "did not end as it should");
    return notifierExit_ == 0 && shutdownEndedRead_;
}

void Demo::Summary() {
    const std::vector<uint32_t> events = application_.Events();
    const size_t keyEvents =
        static_cast<size_t>(std::count_if(events.begin(), events.end(), IsKeyEvent));
    std::printf("\nSummary\n");
    std::printf("  notes played on the keyboard:          %zu of the tune's %zu\n", notesPlayed_,
                tune_.size());
    std::printf("  ovtm-record:                           %s\n",
                recorder_.exitCode == 0 ? "wrote demo.mid (checked note for note below)"
                                        : "failed");
    const auto count = [&](uint32_t value) {
        return static_cast<size_t>(std::count(events.begin(), events.end(), value));
    };
    std::printf("  0x626 events the application received: %zu: %zu key events for %zu key presses "
                "and releases; arrivals %zu, removals %zu, other %zu\n",
                events.size(), keyEvents, 2 * notesPlayed_, count(kKeyboardArrived),
                count(kKeyboardRemoved),
                events.size() - keyEvents - count(kKeyboardArrived) - count(kKeyboardRemoved));
    std::printf("  latency from key to MIDI message:      measured by the end-to-end benchmark "
                "(tools/run-bench.sh), not here\n");
    std::fflush(stdout);
}

bool Demo::Run() {
    bool ok = SetUp() && PlayWhileRecording();
    if (notifier_ != nullptr && keyboard_ >= 0) {
        ok = ShutDown() && ok;
    }
    application_.Stop();
    if (keyboard_ >= 0) {
        bus_.Unplug(keyboard_);
    }
    Summary();
    std::string output;
    Say("OvtmSetup uninstall:");
    const DWORD exitCode = RunPackageSetup(package_, "uninstall", &output);
    std::printf("%s", output.c_str());
    std::fflush(stdout);
    ok = exitCode == 0 && ok;
    if (notifier_ != nullptr) {
        if (WaitForSingleObject(notifier_, 0) != WAIT_OBJECT_0) {
            TerminateProcess(notifier_, 1);
        }
        CloseHandle(notifier_);
    }
    return ok;
}

} // namespace
} // namespace ovtm::demo

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ovtm_wine_demo TUNE.txt PACKAGE-FOLDER\n");
        return 1;
    }
    std::string problem;
    std::vector<ovtm::demo::TuneNote> tune = ovtm::demo::ReadTune(argv[1], &problem);
    if (tune.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    ovtm::demo::Demo demo(std::move(tune), argv[2]);
    return demo.Run() ? 0 : 1;
}
