// A MIDI application's view of the driver through winmm: the device, an open input with one
// of the four callback kinds, and everything the callback received.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ovtm::midi_test {

// Name under HKCU\Software\Wine\Drivers "Audio" that makes winmm load the shim.
constexpr const char* kShimDriverName = "melodixmidi";

// Registers the shim before winmm looks at the registry (first use in the process).
void RegisterShimDriver();
void UnregisterShimDriver();

// The winmm id of the driver's input device, or -1.
int FindMelodixInput();

enum class CallbackKind { Function, Window, Thread, Event };

// One message as the client received it. For MIM_LONGDATA the header's bytes are copied
// when the message arrives.
struct Received {
    UINT message = 0;
    DWORD_PTR parameter1 = 0;
    DWORD_PTR parameter2 = 0; // the timestamp; posted callbacks do not carry it
    std::vector<std::uint8_t> bytes;
    DWORD flags = 0;
};

class MidiClient {
  public:
    explicit MidiClient(CallbackKind kind);
    ~MidiClient();
    MidiClient(const MidiClient&) = delete;
    MidiClient& operator=(const MidiClient&) = delete;

    MMRESULT Open(UINT device, DWORD_PTR instance = 0x1234);
    MMRESULT Close();
    HMIDIIN Handle() const { return handle_; }

    // Messages received so far (posted ones are pumped first); Wait* polls up to a time limit.
    std::vector<Received> Messages();
    std::vector<Received> WaitForMessages(std::size_t count, DWORD timeoutMs = 3000);
    void Clear();

    // The event the event callback sets.
    HANDLE Event() const { return event_; }

  private:
    static void CALLBACK FunctionCallback(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    static DWORD WINAPI ThreadMain(LPVOID);
    void Record(UINT message, DWORD_PTR parameter1, DWORD_PTR parameter2);
    void Pump();

    CallbackKind kind_;
    HMIDIIN handle_ = nullptr;
    HWND window_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HANDLE threadReady_ = nullptr;
    HANDLE event_ = nullptr;
    std::mutex mutex_;
    std::vector<Received> received_;
};

std::string Describe(const Received& received);

// MIM_DATA as "data 00643C90"; messages as such lines, notifications reduced to what follows
// their manufacturer identifier ("long 30 04 01 00 00 F7").
std::string Data(std::uint32_t message);
std::vector<std::string> Lines(const std::vector<Received>& messages);

// The notifications' bytes after the manufacturer identifier.
extern const std::string kBracketOpen;
extern const std::string kBracketClose;
extern const std::string kOctaveUpNote;
extern const std::string kOctaveDownNote;

// The driver's hidden window, or null.
HWND DriverWindow();

// Threads and handles of this process, for leak checks.
int ThreadCount();
DWORD HandleCount();

} // namespace ovtm::midi_test
