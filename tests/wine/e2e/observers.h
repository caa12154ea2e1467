// The three kinds of client whose arrival times the benchmark takes, each on the thread the
// package delivers on: a MIDI application's function callback (OvtmMidi's reader thread, via
// winmm), a raw control-device client reading event records itself (the filter's hop alone),
// and the companion application's window receiving 0x626 through OvtmApi.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <string>

#include "arrival_log.h"

namespace ovtm::e2e {

// "Orvane Tessaro Melodix" opened through winmm with a function callback; every MIM_DATA
// lands in the log.
class MidiObserver {
  public:
    explicit MidiObserver(std::size_t capacity) : log_(capacity) {}
    ~MidiObserver();
    MMRESULT Open(UINT device);
    ArrivalLog& Log() { return log_; }

  private:
    static void CALLBACK Callback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR parameter1,
                                  DWORD_PTR);
    HMIDIIN input_ = nullptr;
    ArrivalLog log_;
};

// A client of \\.\OvtsMelodixSymLk#1 that keeps one 200-byte read pending on a time-critical
// thread, as the package's own readers do, and logs each record as its read ends.
class RawRecordReader {
  public:
    explicit RawRecordReader(std::size_t capacity) : log_(capacity) {}
    ~RawRecordReader();
    bool Start(std::string* error);
    ArrivalLog& Log() { return log_; }

  private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void ReadLoop();
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    ArrivalLog log_;
};

// The companion application: a thread of its own that loads OvtmApi.dll, creates the
// library's object and window, registers its own window and opens the device (0x205, 0x203,
// 0x201), then runs its message loop; every 0x626 lands in the log.
class ApplicationObserver {
  public:
    explicit ApplicationObserver(std::size_t capacity) : log_(capacity) {}
    ~ApplicationObserver();
    // The result of 0x201 (0 when the device opened), or a message why it could not start.
    bool Start(std::string* error);
    ArrivalLog& Log() { return log_; }

  private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Run();
    HANDLE stop_ = nullptr;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    std::string startError_;
    ArrivalLog log_;
};

} // namespace ovtm::e2e
