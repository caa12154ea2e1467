// OvtmNtfy: started at logon with "-startup", waits hidden for the end of the session and
// tells the filter to let go of its readers before the system shuts down or restarts.
#include <windows.h>

#include "notifier_window.h"
#include "startup_switch.h"

namespace {

// Exit codes seen by whoever started the notifier.
constexpr UINT kExitDone = 0;
constexpr UINT kExitNoStartupSwitch = static_cast<UINT>(-1);
constexpr UINT kExitNotStarted = static_cast<UINT>(-2); // another copy runs, or no window

// The program instance, kept while the window exists.
HINSTANCE g_programInstance = nullptr;

// Ask for the shutdown query one level ahead of where the process stands, flags unchanged.
// A failure leaves the notifier at its old level, where it still gets the query.
void RaiseShutdownLevel() {
    DWORD level = 0;
    DWORD flags = 0;
    if (GetProcessShutdownParameters(&level, &flags)) {
        SetProcessShutdownParameters(level + 1, flags);
    }
}

void RunMessageLoop() {
    MSG message;
    // GetMessageW returns -1 on failure; looping on that would spin for ever.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace ovtm::notifier;

    const CommandLineCopy commandLine = CopyCommandLine(GetCommandLineW());
    OutputDebugStringW(commandLine.text);
    if (!HasStartupSwitch(commandLine)) {
        ExitProcess(kExitNoStartupSwitch);
    }

    g_programInstance = instance;
    RaiseShutdownLevel();

    if (NotifierWindowExists()) {
        ExitProcess(kExitNotStarted);
    }
    HWND window = CreateNotifierWindow(g_programInstance);
    if (window == nullptr) {
        ExitProcess(kExitNotStarted);
    }
    HDEVNOTIFY notification = RegisterKeyboardNotifications(window);

    RunMessageLoop();

    if (notification != nullptr) {
        UnregisterDeviceNotification(notification);
    }
    g_programInstance = nullptr;
    ExitProcess(kExitDone);
}
