// The library's hidden window: its class, its creation, and the device-interface and session
// notifications it registers for.
#pragma once

#include <windows.h>

namespace ovtm::appapi {

// Registers the window class (an existing class is reused) and creates the hidden window;
// null when the window cannot be created.
HWND CreateLibraryWindow(HMODULE module);

// Device-interface notifications for the keyboard's interface and, when the system offers
// them, console-session notifications. Failures leave the window without them.
void RegisterLibraryNotifications(HWND window);
void UnregisterLibraryNotifications();

} // namespace ovtm::appapi
