// The winmm spy's functions (winmm_observer.h) and its log (winmm_log.h).
#define OVTM_WINMM_OBSERVER_ITSELF
#include "winmm_observer.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

#include "winmm_log.h"

namespace ovtm::thirdparty_test {
namespace {

using InputCallback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct Spy {
    std::mutex lock;
    std::vector<WinmmCall> calls;
    // What each queued buffer held when it was added.
    std::map<const MIDIHDR*, std::vector<char>> addedContent;
    // The library's callback and instance, by the handle winmm gave it.
    InputCallback libraryCallback = nullptr;
    DWORD_PTR libraryInstance = 0;
};

Spy& TheSpy() {
    static Spy spy;
    return spy;
}

void Log(const char* what, MMRESULT result, const MIDIHDR* header, bool contentKept = true) {
    Spy& spy = TheSpy();
    std::lock_guard<std::mutex> hold(spy.lock);
    spy.calls.push_back({what, result, header, contentKept});
}

// Sits between winmm and the library's callback: notes each buffer that comes back before
// the library sees it.
void CALLBACK SpyCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR parameter1,
                          DWORD_PTR parameter2) {
    Spy& spy = TheSpy();
    InputCallback library = nullptr;
    DWORD_PTR libraryInstance = 0;
    {
        std::lock_guard<std::mutex> hold(spy.lock);
        library = spy.libraryCallback;
        libraryInstance = spy.libraryInstance;
        if (message == MIM_LONGDATA || message == MIM_LONGERROR) {
            const auto* header = reinterpret_cast<const MIDIHDR*>(parameter1);
            bool kept = false;
            auto added = spy.addedContent.find(header);
            if (added != spy.addedContent.end() && header->dwBufferLength == added->second.size()) {
                kept = std::equal(added->second.begin(), added->second.end(), header->lpData);
            }
            spy.calls.push_back({"returned", header->dwBytesRecorded, header, kept});
        }
    }
    (void)instance;
    if (library != nullptr) {
        library(handle, message, libraryInstance, parameter1, parameter2);
    }
}

} // namespace

std::vector<WinmmCall> WinmmCalls() {
    Spy& spy = TheSpy();
    std::lock_guard<std::mutex> hold(spy.lock);
    return spy.calls;
}

void ForgetWinmmCalls() {
    Spy& spy = TheSpy();
    std::lock_guard<std::mutex> hold(spy.lock);
    spy.calls.clear();
}

std::string Describe(const std::vector<WinmmCall>& calls) {
    std::ostringstream text;
    for (const WinmmCall& call : calls) {
        text << call.what << " " << call.header << " " << call.result
             << (call.contentKept ? "" : " (written into)") << "\n";
    }
    return text.str();
}

} // namespace ovtm::thirdparty_test

using namespace ovtm::thirdparty_test;

extern "C" MMRESULT WINAPI ObservedMidiInOpen(LPHMIDIIN handle, UINT device, DWORD_PTR callback,
                                              DWORD_PTR instance, DWORD flags) {
    Spy& spy = TheSpy();
    if ((flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION) {
        {
            std::lock_guard<std::mutex> hold(spy.lock);
            spy.libraryCallback = reinterpret_cast<InputCallback>(callback);
            spy.libraryInstance = instance;
        }
        callback = reinterpret_cast<DWORD_PTR>(&SpyCallback);
    }
    const MMRESULT result = midiInOpen(handle, device, callback, instance, flags);
    Log("open", result, nullptr);
    return result;
}

extern "C" MMRESULT WINAPI ObservedMidiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header,
                                                       UINT size) {
    const MMRESULT result = midiInPrepareHeader(handle, header, size);
    Log("prepare", result, header);
    return result;
}

extern "C" MMRESULT WINAPI ObservedMidiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header,
                                                         UINT size) {
    const MMRESULT result = midiInUnprepareHeader(handle, header, size);
    Log("unprepare", result, header);
    return result;
}

extern "C" MMRESULT WINAPI ObservedMidiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Spy& spy = TheSpy();
    {
        std::lock_guard<std::mutex> hold(spy.lock);
        spy.addedContent[header].assign(header->lpData, header->lpData + header->dwBufferLength);
    }
    const MMRESULT result = midiInAddBuffer(handle, header, size);
    Log("add", result, header);
    return result;
}

extern "C" MMRESULT WINAPI ObservedMidiInReset(HMIDIIN handle) {
    Log("reset", MMSYSERR_NOERROR, nullptr);
    const MMRESULT result = midiInReset(handle);
    Log("reset done", result, nullptr);
    return result;
}

extern "C" MMRESULT WINAPI ObservedMidiInClose(HMIDIIN handle) {
    const MMRESULT result = midiInClose(handle);
    Log("close", result, nullptr);
    return result;
}
