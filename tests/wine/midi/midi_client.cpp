// A winmm MIDI input client with each callback kind (see midi_client.h).
#include "midi_client.h"

#include <cstdio>

#include <tlhelp32.h>

#include "ovtm_ui.h"

#include "wine_registry.h"

namespace ovtm::midi_test {

namespace {

constexpr wchar_t kClientWindowClass[] = L"OVTM_MIDI_TEST_CLIENT";

bool IsMidiInMessage(UINT message) {
    return message == MM_MIM_OPEN || message == MM_MIM_CLOSE || message == MM_MIM_DATA ||
           message == MM_MIM_LONGDATA || message == MM_MIM_ERROR || message == MM_MIM_LONGERROR ||
           message == MM_MIM_MOREDATA;
}

// Posted messages carry the MM_MIM_* numbers; function callbacks the MIM_* ones. Both are
// recorded as MIM_*.
UINT AsCallbackMessage(UINT message) {
    switch (message) {
    case MM_MIM_OPEN:
        return MIM_OPEN;
    case MM_MIM_CLOSE:
        return MIM_CLOSE;
    case MM_MIM_DATA:
        return MIM_DATA;
    case MM_MIM_LONGDATA:
        return MIM_LONGDATA;
    default:
        return message;
    }
}

} // namespace

void RegisterShimDriver() {
    ovtm::wine::WriteRegistryString(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio",
                                    kShimDriverName);
}

void UnregisterShimDriver() {
    ovtm::wine::DeleteRegistryValue(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio");
}

int FindMelodixInput() {
    const UINT count = midiInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR &&
            wcscmp(caps.szPname, L"Orvane Tessaro Melodix") == 0) {
            return static_cast<int>(id);
        }
    }
    return -1;
}

MidiClient::MidiClient(CallbackKind kind) : kind_(kind) {
    if (kind_ == CallbackKind::Window) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClientWindowClass;
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, kClientWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    } else if (kind_ == CallbackKind::Thread) {
        threadReady_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, &threadId_);
        WaitForSingleObject(threadReady_, INFINITE);
    } else if (kind_ == CallbackKind::Event) {
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
}

MidiClient::~MidiClient() {
    if (handle_ != nullptr) {
        midiInReset(handle_);
        Close();
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    if (thread_ != nullptr) {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(threadReady_);
    }
    if (event_ != nullptr) {
        CloseHandle(event_);
    }
}

MMRESULT MidiClient::Open(UINT device, DWORD_PTR instance) {
    DWORD_PTR callback = 0;
    DWORD flags = CALLBACK_NULL;
    switch (kind_) {
    case CallbackKind::Function:
        callback = reinterpret_cast<DWORD_PTR>(&FunctionCallback);
        instance = reinterpret_cast<DWORD_PTR>(this);
        flags = CALLBACK_FUNCTION;
        break;
    case CallbackKind::Window:
        callback = reinterpret_cast<DWORD_PTR>(window_);
        flags = CALLBACK_WINDOW;
        break;
    case CallbackKind::Thread:
        callback = threadId_;
        flags = CALLBACK_THREAD;
        break;
    case CallbackKind::Event:
        callback = reinterpret_cast<DWORD_PTR>(event_);
        flags = CALLBACK_EVENT;
        break;
    }
    return midiInOpen(&handle_, device, callback, instance, flags);
}

MMRESULT MidiClient::Close() {
    const MMRESULT result = midiInClose(handle_);
    if (result == MMSYSERR_NOERROR) {
        handle_ = nullptr;
    }
    return result;
}

void CALLBACK MidiClient::FunctionCallback(HMIDIIN, UINT message, DWORD_PTR instance,
                                           DWORD_PTR parameter1, DWORD_PTR parameter2) {
    reinterpret_cast<MidiClient*>(instance)->Record(message, parameter1, parameter2);
}

LRESULT CALLBACK MidiClient::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* client = reinterpret_cast<MidiClient*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (client != nullptr && IsMidiInMessage(message)) {
        client->Record(AsCallbackMessage(message), static_cast<DWORD_PTR>(lParam), 0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI MidiClient::ThreadMain(LPVOID parameter) {
    auto* client = static_cast<MidiClient*>(parameter);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(client->threadReady_);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsMidiInMessage(message.message)) {
            client->Record(AsCallbackMessage(message.message),
                           static_cast<DWORD_PTR>(message.lParam), 0);
        }
    }
    return 0;
}

void MidiClient::Record(UINT message, DWORD_PTR parameter1, DWORD_PTR parameter2) {
    Received received;
    received.message = message;
    received.parameter1 = parameter1;
    received.parameter2 = parameter2;
    if (message == MIM_LONGDATA && parameter1 != 0) {
        const auto* header = reinterpret_cast<const MIDIHDR*>(parameter1);
        received.flags = header->dwFlags;
        received.bytes.assign(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(received);
}

void MidiClient::Pump() {
    if (window_ == nullptr) {
        return;
    }
    MSG message;
    while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

std::vector<Received> MidiClient::Messages() {
    Pump();
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<Received> MidiClient::WaitForMessages(std::size_t count, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<Received> messages = Messages();
        if (messages.size() >= count || GetTickCount64() >= deadline) {
            return messages;
        }
        Sleep(5);
    }
}

void MidiClient::Clear() {
    Pump();
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

std::string Describe(const Received& received) {
    char text[64];
    switch (received.message) {
    case MIM_OPEN:
        return "open";
    case MIM_CLOSE:
        return "close";
    case MIM_DATA:
        std::snprintf(text, sizeof(text), "data %08lX",
                      static_cast<unsigned long>(received.parameter1));
        return text;
    case MIM_LONGDATA: {
        std::string line = "long";
        for (std::uint8_t byte : received.bytes) {
            std::snprintf(text, sizeof(text), " %02X", byte);
            line += text;
        }
        return line;
    }
    default:
        std::snprintf(text, sizeof(text), "message %04X", received.message);
        return text;
    }
}

const std::string kBracketOpen = " 30 04 02 00 00 F7";
const std::string kBracketClose = " 30 04 02 01 00 F7";
const std::string kOctaveUpNote = " 30 04 01 00 00 F7";
const std::string kOctaveDownNote = " 30 04 01 01 00 F7";

std::string Data(std::uint32_t message) {
    char text[32];
    std::snprintf(text, sizeof(text), "data %08X", message);
    return text;
}

std::vector<std::string> Lines(const std::vector<Received>& messages) {
    std::vector<std::string> lines;
    for (const Received& received : messages) {
        std::string line = Describe(received);
        if (received.message == MIM_LONGDATA && received.bytes.size() == 10) {
            line = "long" + line.substr(std::string("long F0 00 xx xx").size());
        }
        lines.push_back(line);
    }
    return lines;
}

HWND DriverWindow() {
    return FindWindowW(OVTM_MIDI_WINDOW_CLASS_W, OVTM_MIDI_WINDOW_TITLE_W);
}

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

} // namespace ovtm::midi_test
