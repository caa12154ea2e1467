// Putting the package into the demo's fresh prefix as a user would: OvtmSetup from the package
// folder (driver store, system folders, MIDI driver entries, the notifier's run entry and the
// notifier itself), and, Wine's own step, the test-only module through which winmm loads the
// MIDI driver (winmm under Wine ignores the Drivers32 entries).
#pragma once

#include <windows.h>

#include <string>

namespace ovtm::demo {

// Runs "<package>\amd64\OvtmSetup.exe <command>"; its exit code, its lines in *output.
DWORD RunPackageSetup(const std::string& package, const std::string& command, std::string* output);

// The running notifier's process (to wait for its end), or null when none runs.
HANDLE OpenNotifierProcess();

// Sends the end-of-session query of a shutdown to the notifier's window; false without one.
bool SendShutdownQuery();

// HKCU\Software\Wine\Drivers "Audio" naming the MIDI tests' module.
void RegisterMidiShim();

// Values the injection leaves: the keyboard's filter list and the MIDI driver's entry.
std::string LowerFiltersOfMusicInterface(); // "" when no instance has the value
std::string Drivers32EntryOfMidiDriver();   // "midiN=OvtmMidi.dll", or ""

} // namespace ovtm::demo
