// The Wine bench's virtual USB bus, as a test drives it: plug keyboards in (the real filter
// loads on each, below the HID class stand-in), play keys and buttons, make queries answered,
// and read back what the keyboard received on its command pipe and LED request and what the
// HID stack above the filter received. Needs the bench drivers installed in the prefix (a test
// declared with ovtm_wine_test(... NEEDS_FILTER)).
//
//   ovtm::wine::VirtualBus bus;
//   int k = bus.Plug();                          // 5E3A:1C07 revision 0005, two interface entries
//   // \\.\OvtsMelodixSymLk#<bus.ControlDeviceNumber(k)> now exists
//   bus.KeyDown(k, 63, 100);
//   bus.Unplug(k);                               // returns once the stack is gone
#ifndef OVTM_WINE_TESTKIT_VIRTUAL_BUS_H
#define OVTM_WINE_TESTKIT_VIRTUAL_BUS_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "keyboard_model.h"

namespace ovtm::wine {

struct KeyboardSpec {
    uint16_t vendor = 0x5E3A;
    uint16_t product = 0x1C07;
    uint16_t revision = 0x0005;
    bool twoInterfaces = true; // the typing keyboard's interface before the music interface
};

// One thing that happened at a keyboard, in the order of all keyboards' events.
struct BusEvent {
    enum class Kind { Command = 1, Led = 2, DeviceSent = 3, HidReport = 4 };
    uint32_t sequence;
    Kind kind;
    uint8_t endpoint; // DeviceSent, HidReport: 0x81 or 0x82; Command: 0x03
    long status;      // HidReport: the transfer's NTSTATUS
    std::vector<uint8_t> bytes;
};

struct HidReport {
    uint8_t endpoint;
    long status;
    std::vector<uint8_t> bytes;
};

struct KeyboardState {
    enum class Life { Plugging = 1, Started, Failed, Unplugging, Removed };
    Life life;
    long startStatus;
    unsigned transfersPending81;
    unsigned transfersPending82;
    unsigned interfaceEntries;
    unsigned instanceNumber;
    bool addFailed; // startStatus is the failure of adding the devices, before any start
};

class VirtualBus {
  public:
    VirtualBus();  // opens \\.\OvtmVirtualBus
    ~VirtualBus(); // unplugs the keyboards it plugged that are still in
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    bool IsOpen() const { return bus_ != INVALID_HANDLE_VALUE; }
    // Why the last call failed, in words (with the Windows error or NTSTATUS).
    const std::string& LastError() const { return lastError_; }

    // Plugs a keyboard in and returns its id once the HID stand-in polls it and the filter's
    // control device exists; -1 when anything fails (see LastError(); a keyboard whose start
    // failed is removed again, as PnP does, and its id is in FailedKeyboard()).
    int Plug(const KeyboardSpec& spec = {});
    int FailedKeyboard() const { return failedKeyboard_; }
    // N of \\.\OvtsMelodixSymLk#N for a plugged keyboard (0 for the one plugged while #1 to #8
    // were taken), -1 for a keyboard that is not plugged.
    int ControlDeviceNumber(int keyboard) const;
    // Surprise removal and removal; returns once the stack and its control device are gone.
    // The keyboard's device instance then leaves the registry too, so that programs listing
    // the system's devices find the prefix as it was.
    bool Unplug(int keyboard);

    // Reports on the music pipe (0x82); each returns once a transfer carried it.
    bool KeyDown(int keyboard, uint8_t key, uint8_t velocity = 100);
    bool KeyUp(int keyboard, uint8_t key, uint8_t velocity = 100);
    bool Press(int keyboard, uint8_t buttonPressCode);
    bool Release(int keyboard, uint8_t buttonPressCode);
    bool SendReport(int keyboard, const std::vector<uint8_t>& bytes);
    // A report on the typing keyboard's pipe (0x81), for a keyboard with two interface entries.
    bool SendTypingReport(int keyboard, const std::vector<uint8_t>& bytes);
    // Up to kMaxReportsPerSend reports on the music pipe in one request, carried in order;
    // returns once the last one was. For timing: `issuedAt` gets the performance counter
    // just before the request goes to the bus, `carriedAt` the bus's reading of the same
    // clock just before it completed the transfer with the last report.
    static constexpr size_t kMaxReportsPerSend = 256;
    bool SendReports(int keyboard, const std::vector<std::vector<uint8_t>>& reports,
                     LONGLONG* issuedAt = nullptr, LONGLONG* carriedAt = nullptr);

    // The keyboard answers query command 0xC3 or 0xC4 with report 5 carrying `value`,
    // `delayMs` after the command (from the bus's own thread); or never (the default).
    bool SetAnswer(int keyboard, uint8_t command, uint32_t value, uint32_t delayMs = 1);
    bool SetNoAnswer(int keyboard, uint8_t command);

    // Every report the filter wrote to the command pipe 0x03, as written.
    std::vector<std::vector<uint8_t>> Commands(int keyboard);
    // The codes of the 06 01 xx command reports among them.
    std::vector<uint8_t> CommandCodes(int keyboard);
    // The lock-key light values of the LED requests.
    std::vector<uint8_t> LedReports(int keyboard);
    // What the HID stand-in received, in completion order (failed transfers included).
    std::vector<HidReport> HidReports(int keyboard);
    // Everything above, with what the keyboard sent, in the order it happened.
    std::vector<BusEvent> Events(int keyboard);
    std::optional<KeyboardState> State(int keyboard);

  private:
    bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned, const char* what);
    bool Send(int keyboard, uint8_t endpoint, const std::vector<uint8_t>& bytes);
    bool WaitForState(int keyboard, KeyboardState::Life until, KeyboardState* state);

    HANDLE bus_ = INVALID_HANDLE_VALUE;
    std::string lastError_;
    int failedKeyboard_ = 0;
    std::map<int, KeyboardSpec> specs_;
    std::map<int, usbsim::KeyboardModel> models_;
    std::map<int, int> controlNumbers_;
};

// Whether \\.\OvtsMelodixSymLk#N exists, found without opening it (an open is a client).
bool ControlDeviceExists(int number);

} // namespace ovtm::wine

#endif
