// What the winmm spy (winmm_observer.h) saw a third-party library do with its MIDI input:
// the calls in order, and each system-exclusive buffer's way through the driver.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovtm::thirdparty_test {

struct WinmmCall {
    std::string what;    // "open", "prepare", "add", "unprepare", "reset", "close", "returned"
    MMRESULT result = 0; // the call's result; for "returned" the header's dwBytesRecorded
    const MIDIHDR* header = nullptr;
    bool contentKept = true; // "returned": the buffer's bytes are as they were when it was added
};

// Everything seen since the last Forget, in order.
std::vector<WinmmCall> WinmmCalls();
void ForgetWinmmCalls();

// The calls as words, for messages: "add 0x...=0", "returned 0x... 0 bytes".
std::string Describe(const std::vector<WinmmCall>& calls);

} // namespace ovtm::thirdparty_test
