// A control request sent through a real handle, as an application thread sends it: an
// overlapped DeviceIoControl on a thread of its own, which then waits for the request to end.
// The thread stays until then because Windows (and Wine) end the I/O of a thread that exits,
// and because the completion of an overlapped request is delivered to the thread that issued it.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "world.h"

namespace scenario {

class WineRequest : public Request {
  public:
    // Issues the call and returns once it came back, or after `limitMs` if it did not (then it
    // waits inside the driver).
    WineRequest(HANDLE handle, uint32_t code, std::vector<uint8_t> input,
                std::vector<uint8_t> output, DWORD limitMs);
    // Frees the request once its thread is gone; a request still in flight is left to it.
    ~WineRequest() override;
    WineRequest(const WineRequest&) = delete;
    WineRequest& operator=(const WineRequest&) = delete;

    Start HowItStarted() const override;
    // Ended, and shown to the runner by the world (which may hold an end back until the
    // scenario's time has come for it).
    bool IsDone() const override;
    uint32_t Status() const override;
    std::vector<uint8_t> Bytes() const override;

    // The request has ended, shown or not.
    bool Finished() const;
    void Show();
    // The request ended before its call came back, but by something the world holds back
    // (a keyboard's answer before the scenario's time for it): the call counts as one that came
    // back with the request pending, and the world shows its end later.
    void EndedLater();
    // When the call began, and when the request ended (real time).
    std::chrono::steady_clock::time_point IssuedAt() const;
    std::chrono::steady_clock::time_point FinishedAt() const;

    // Waits in real time for the request to end; true if it has.
    bool WaitDone(DWORD limitMs) const;
    // The request's thread stops waiting for it (the request may stay in flight).
    void Abandon();

  private:
    static DWORD WINAPI Thread(void* self);
    void Call();

    HANDLE handle_;
    uint32_t code_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    OVERLAPPED overlapped_{};
    HANDLE abandon_ = nullptr;
    HANDLE returned_ = nullptr; // set once the call came back
    HANDLE done_ = nullptr;     // set once the request ended
    HANDLE thread_ = nullptr;

    mutable std::mutex mutex_;
    Start start_ = Start::Waiting;
    bool startSeen_ = false; // the runner has taken start_ as it was
    bool isDone_ = false;
    bool shown_ = false;
    std::chrono::steady_clock::time_point issuedAt_;
    std::chrono::steady_clock::time_point finishedAt_;
    uint32_t status_ = 0;
    std::vector<uint8_t> bytes_;
};

} // namespace scenario
