// The notifier's run entry and process (see notifier_entry.h).
#include "notifier_entry.h"

#include <windows.h>

#include "ovtm_ui.h"
#include "package_layout.h"
#include "system_error.h"

#include <vector>

namespace ovtm::setup {

namespace {

constexpr DWORD kNotifierWaitMs = 10000;

HWND NotifierWindow() {
    return FindWindowA(OVTM_NOTIFY_WINDOW_CLASS, OVTM_NOTIFY_WINDOW_TITLE);
}

LONG OpenRunKey(REGSAM access, HKEY* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, access, key);
}

} // namespace

std::optional<std::string> NotifierRunEntry() {
    HKEY key = nullptr;
    if (OpenRunKey(KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::string> text;
    if (RegQueryValueExA(key, kNotifierRunValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<char> data(size + 1, '\0');
        if (RegQueryValueExA(key, kNotifierRunValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            text = std::string(data.data());
        }
    }
    RegCloseKey(key);
    return text;
}

StepResult WriteNotifierRunEntry(const std::string& command, std::optional<std::string>* previous) {
    *previous = NotifierRunEntry();
    if (*previous == command) {
        return AlreadyInPlace(command);
    }
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, kNotifierRunValue, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>(command.size() + 1));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        return Failed(SystemErrorText(static_cast<DWORD>(status)));
    }
    return Done(command);
}

StepResult RestoreNotifierRunEntry(const std::optional<std::string>& previous) {
    if (!previous) {
        return DeleteNotifierRunEntry();
    }
    std::optional<std::string> ignored;
    return WriteNotifierRunEntry(*previous, &ignored);
}

StepResult DeleteNotifierRunEntry() {
    HKEY key = nullptr;
    LONG status = OpenRunKey(KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return AlreadyInPlace("no run entry");
    }
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueA(key, kNotifierRunValue);
        RegCloseKey(key);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return AlreadyInPlace("no run entry");
    }
    if (status != ERROR_SUCCESS) {
        return Failed(SystemErrorText(static_cast<DWORD>(status)));
    }
    return Done();
}

StepResult StartNotifier(const std::string& command) {
    if (NotifierRunning()) {
        return AlreadyInPlace("running");
    }
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // Detached: the notifier outlives this console program and must not hold its console.
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process)) {
        return Failed(SystemErrorText(GetLastError()));
    }
    CloseHandle(process.hThread);
    const DWORD start = GetTickCount();
    while (!NotifierRunning()) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(process.hProcess, &exitCode) && exitCode != STILL_ACTIVE) {
            CloseHandle(process.hProcess);
            return Failed("it ended at once with exit code " + std::to_string(exitCode));
        }
        if (GetTickCount() - start > kNotifierWaitMs) {
            CloseHandle(process.hProcess);
            return Failed("its window did not appear");
        }
        Sleep(20);
    }
    CloseHandle(process.hProcess);
    return Done();
}

StepResult StopNotifier() {
    HWND window = NotifierWindow();
    if (window == nullptr) {
        return AlreadyInPlace("not running");
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    // Closing its window ends the notifier's message loop and with it the program.
    PostMessageA(window, WM_CLOSE, 0, 0);
    const bool ended =
        process == nullptr || WaitForSingleObject(process, kNotifierWaitMs) == WAIT_OBJECT_0;
    if (process != nullptr) {
        CloseHandle(process);
    }
    if (!ended) {
        return Failed("it did not end");
    }
    return Done();
}

bool NotifierRunning() {
    return NotifierWindow() != nullptr;
}

} // namespace ovtm::setup
