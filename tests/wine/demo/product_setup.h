// Putting the package into the demo's fresh prefix as an installation would: the product INF's
// install and service sections through Wine's SetupAPI, the notifier started from the run entry
// the INF wrote, and, Wine's own step, the test-only module through which winmm loads the MIDI
// driver (winmm under Wine ignores the Drivers32 entry the injection writes).
#pragma once

#include <windows.h>

#include <string>

namespace ovtm::demo {

// Applies the INF in `folder` (the binaries beside it) unattended; false and the reason.
bool InstallProductInf(const std::string& folder, std::string* problem);

// Starts what HKLM\...\Run "OvtmNtfy" names, as a logon would; the process, or null.
HANDLE StartNotifierFromRunEntry(std::string* commandLine);

// Sends the end-of-session query of a shutdown to the notifier's window; false without one.
bool SendShutdownQuery();

// HKCU\Software\Wine\Drivers "Audio" naming the MIDI tests' module.
void RegisterMidiShim();

// Values the injection leaves: the keyboard's filter list and the MIDI driver's entry.
std::string LowerFiltersOfMusicInterface(); // "" when no instance has the value
std::string Drivers32EntryOfMidiDriver();   // "midiN=OvtmMidi.dll", or ""

} // namespace ovtm::demo
