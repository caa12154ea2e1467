// The injection command's work: find every device the hardware id names and edit its lower
// filter list and the MIDI driver registration as the mode says.
#pragma once

#include <windows.h>

#include "command_line.h"

// Runs the command for already parsed arguments; window is the parent of the device search.
void InjectIntoMatchingDevices(HWND window, const ovtm::inject::InjectArguments& arguments);
