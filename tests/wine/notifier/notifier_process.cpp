// Starting, watching and querying OvtmNtfy.exe from a Wine-tier test (see notifier_process.h).
#include "notifier_process.h"

#include <cwchar>
#include <utility>
#include <vector>

#include "ovtm_ui.h"
#include "process_runner.h"

namespace ovtm::notifier_test {

namespace {

// The hooks of the notifiers a test watches, to find the object an event belongs to.
std::vector<std::pair<HWINEVENTHOOK, NotifierProcess*>> g_hooks;

bool HasText(HWND window, int(WINAPI* get)(HWND, LPWSTR, int), const wchar_t* expected) {
    wchar_t text[128] = {};
    get(window, text, 128);
    return std::wcscmp(text, expected) == 0;
}

bool IsNotifierWindow(HWND window) {
    return HasText(window, GetClassNameW, OVTM_NOTIFY_WINDOW_CLASS_W) &&
           HasText(window, GetWindowTextW, OVTM_NOTIFY_WINDOW_TITLE_W);
}

// Waits for handle (or only pumps when it is null) while dispatching this thread's messages.
bool WaitPumping(HANDLE handle, DWORD limitMs) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return handle && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        }
        const DWORD result =
            MsgWaitForMultipleObjects(handle ? 1 : 0, handle ? &handle : nullptr, FALSE,
                                      static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (handle && result == WAIT_OBJECT_0) {
            return true;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

} // namespace

void PumpMessages(DWORD ms) {
    WaitPumping(nullptr, ms);
}

void CALLBACK NotifierProcess::OnObjectCreated(HWINEVENTHOOK hook, DWORD, HWND window, LONG object,
                                               LONG child, DWORD, DWORD) {
    if (window == nullptr || object != OBJID_WINDOW || child != CHILDID_SELF) {
        return;
    }
    for (auto& [knownHook, process] : g_hooks) {
        if (knownHook == hook) {
            ++process->windowsCreated_;
            if (HasText(window, GetClassNameW, OVTM_NOTIFY_WINDOW_CLASS_W)) {
                ++process->notifierWindowsCreated_;
            }
        }
    }
}

StartOutcome NotifierProcess::Start(const std::wstring& commandLine) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // Suspended, so that the hook is in place before the notifier's first window.
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &info_)) {
        return StartOutcome::Hung;
    }
    hook_ = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, OnObjectCreated,
                            info_.dwProcessId, 0, WINEVENT_OUTOFCONTEXT);
    g_hooks.emplace_back(hook_, this);
    ResumeThread(info_.hThread);

    const ULONGLONG deadline = GetTickCount64() + kStartLimitMs;
    while (GetTickCount64() < deadline) {
        if (Window() != nullptr) {
            PumpMessages(50); // let the creation events arrive
            return StartOutcome::Running;
        }
        if (WaitPumping(info_.hProcess, 20)) {
            PumpMessages(50);
            return StartOutcome::Exited;
        }
    }
    return StartOutcome::Hung;
}

NotifierProcess::~NotifierProcess() {
    if (info_.hProcess == nullptr) {
        return;
    }
    if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(info_.hProcess, 0xDEAD);
        WaitForSingleObject(info_.hProcess, kQueryLimitMs);
    }
    if (hook_) {
        UnhookWinEvent(hook_);
    }
    for (auto it = g_hooks.begin(); it != g_hooks.end(); ++it) {
        if (it->second == this) {
            g_hooks.erase(it);
            break;
        }
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

// What Window() looks for, and finds.
struct WindowSearch {
    DWORD processId;
    HWND found;
};

static BOOL CALLBACK FindNotifierWindowOf(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsNotifierWindow(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND NotifierProcess::Window() const {
    WindowSearch search{info_.dwProcessId, nullptr};
    EnumWindows(FindNotifierWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool NotifierProcess::WaitForExit(DWORD limitMs) {
    return WaitPumping(info_.hProcess, limitMs);
}

std::optional<DWORD> NotifierProcess::ExitCode() const {
    DWORD code = 0;
    if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(info_.hProcess, &code)) {
        return std::nullopt;
    }
    return code;
}

std::optional<LRESULT> NotifierProcess::SendEndSessionQuery(LPARAM lParam) {
    HWND window = Window();
    DWORD_PTR answer = 0;
    if (window == nullptr || !SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, lParam,
                                                  SMTO_ABORTIFHUNG, kQueryLimitMs, &answer)) {
        return std::nullopt;
    }
    return static_cast<LRESULT>(answer);
}

bool NotifierProcess::Post(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = Window();
    return window != nullptr && PostMessageW(window, message, wParam, lParam);
}

std::wstring NotifierPath() {
    const std::string folder = ovtm::wine::TestDirectory();
    std::wstring path(folder.begin(), folder.end());
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return path + L"OvtmNtfy.exe";
}

std::wstring QuotedNotifier() {
    return L"\"" + NotifierPath() + L"\"";
}

std::wstring CommandLineWithWordAt(std::size_t position, const std::wstring& word) {
    std::wstring line = QuotedNotifier();
    if (line.size() < position) {
        line.resize(position, L' ');
    }
    return line + word;
}

static BOOL CALLBACK CountNotifierWindow(HWND window, LPARAM context) {
    if (IsNotifierWindow(window)) {
        ++*reinterpret_cast<int*>(context);
    }
    return TRUE;
}

int CountNotifierWindows() {
    int count = 0;
    EnumWindows(CountNotifierWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

} // namespace ovtm::notifier_test
