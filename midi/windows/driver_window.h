// The hidden driver window: device-interface arrival and removal of the keyboard, and resume
// from suspend, for as long as the open lasts.
#ifndef OVTM_MIDI_DRIVER_WINDOW_H
#define OVTM_MIDI_DRIVER_WINDOW_H

#include <windows.h>

namespace ovtm::midi {

// Starts the window's thread and waits until its window exists (or failed to). Without a
// window the open still works; unplug and replug then go unnoticed.
void CreateDriverWindow(HINSTANCE instance);

// Ends the window and its thread; after the return nothing of the window acts again.
void DestroyDriverWindow();

} // namespace ovtm::midi

#endif
