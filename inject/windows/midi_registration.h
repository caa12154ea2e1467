// Entering OvtmMidi.dll into the multimedia system's MIDI driver list in the registry, and
// clearing it again. The injection command and the setup program share it, so that both pick
// the slot the same way.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// view: 0 for the caller's own registry view; KEY_WOW64_64KEY or KEY_WOW64_32KEY to reach the
// list that 64-bit or 32-bit programs read on 64-bit Windows.

// Writes the driver into the slot the slot search chooses and names that value in *valueName.
// ERROR_SUCCESS when written; the key's error when it cannot be opened (no administrative
// rights) or the value cannot be written; ERROR_NO_MORE_ITEMS when every slot holds another,
// distinct driver.
LONG RegisterMidiDriver(REGSAM view = 0, std::string* valueName = nullptr);

// How a slot is given up: the injection command leaves the value with an empty text; the setup
// program deletes it, so that an uninstall leaves the list as it found it.
enum class MidiSlotRelease { EmptyText, DeleteValue };

// Clears the highest slot that names the driver, if any, and names it in *valueName.
// ERROR_SUCCESS when cleared, ERROR_FILE_NOT_FOUND when no slot names the driver.
LONG UnregisterMidiDriver(REGSAM view = 0, MidiSlotRelease release = MidiSlotRelease::EmptyText,
                          std::string* valueName = nullptr);

// The highest slot that names the driver, as unregistration would find it; nullopt when none
// does or the list cannot be read.
std::optional<std::string> RegisteredMidiSlot(REGSAM view = 0);
