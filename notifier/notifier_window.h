// The notifier's hidden window: its class, the window itself and the device-interface
// notification registered on it.
#ifndef OVTM_NOTIFIER_NOTIFIER_WINDOW_H
#define OVTM_NOTIFIER_NOTIFIER_WINDOW_H

#include <windows.h>

namespace ovtm::notifier {

// True when a notifier window already exists in this session, i.e. another copy runs.
bool NotifierWindowExists();

// Registers the window class and creates the hidden window (never shown). Returns nullptr
// when either step fails.
HWND CreateNotifierWindow(HINSTANCE instance);

// Asks for arrival and removal notices of the keyboard's device interface on window.
// Returns nullptr on failure, which the notifier can live with: the notices only get
// default handling, the registration keeps the window on the device broadcast list.
HDEVNOTIFY RegisterKeyboardNotifications(HWND window);

} // namespace ovtm::notifier

#endif
