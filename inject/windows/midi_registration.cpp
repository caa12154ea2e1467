// The MIDI driver's entry in HKLM\...\Drivers32 (see midi_registration.h). The slot decisions
// are midi_slots; this file only reads the ten values and writes the chosen one.
#include "midi_registration.h"

#include <windows.h>

#include "midi_slots.h"

#include <algorithm>
#include <vector>

using namespace ovtm::inject;

namespace {

const char kDrivers32Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

// The driver's file name with two zero bytes, 14 bytes in all.
const BYTE kDriverEntry[] = "OvtmMidi.dll\0";
static_assert(sizeof(kDriverEntry) == 14, "file name and two zeros");
// A cleared slot: an empty text.
const BYTE kClearedEntry[15] = {};

// The value's text, read whole whatever its length (a long path must not look free and be
// overwritten); absent or unreadable values read as empty.
std::string ReadSlot(HKEY key, const std::string& name) {
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
        return std::string();
    }
    std::vector<BYTE> data(size);
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::string();
    }
    data.resize(std::min<size_t>(size, data.size()));
    auto end = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), end);
}

MidiSlots ReadSlots(HKEY key) {
    MidiSlots slots;
    for (int slot = 0; slot < kMidiSlotCount; ++slot) {
        slots[slot] = ReadSlot(key, MidiSlotValueName(slot));
    }
    return slots;
}

LONG WriteSlot(HKEY key, int slot, const BYTE* data, DWORD size) {
    return RegSetValueExA(key, MidiSlotValueName(slot).c_str(), 0, REG_SZ, data, size);
}

LONG OpenDrivers32(REGSAM view, REGSAM access, HKEY* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, access | view, key);
}

} // namespace

LONG RegisterMidiDriver(REGSAM view, std::string* valueName) {
    HKEY key = nullptr;
    LONG status = OpenDrivers32(view, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = ERROR_NO_MORE_ITEMS;
    if (auto slot = RegistrationSlot(ReadSlots(key), kMidiDriverFileName)) {
        status = WriteSlot(key, *slot, kDriverEntry, sizeof(kDriverEntry));
        if (valueName != nullptr) {
            *valueName = MidiSlotValueName(*slot);
        }
    }
    RegCloseKey(key);
    return status;
}

LONG UnregisterMidiDriver(REGSAM view, MidiSlotRelease release, std::string* valueName) {
    HKEY key = nullptr;
    LONG status = OpenDrivers32(view, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = ERROR_FILE_NOT_FOUND;
    if (auto slot = UnregistrationSlot(ReadSlots(key), kMidiDriverFileName)) {
        status = release == MidiSlotRelease::DeleteValue
                     ? RegDeleteValueA(key, MidiSlotValueName(*slot).c_str())
                     : WriteSlot(key, *slot, kClearedEntry, sizeof(kClearedEntry));
        if (valueName != nullptr) {
            *valueName = MidiSlotValueName(*slot);
        }
    }
    RegCloseKey(key);
    return status;
}

std::optional<std::string> RegisteredMidiSlot(REGSAM view) {
    HKEY key = nullptr;
    if (OpenDrivers32(view, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    auto slot = UnregistrationSlot(ReadSlots(key), kMidiDriverFileName);
    RegCloseKey(key);
    if (!slot) {
        return std::nullopt;
    }
    return MidiSlotValueName(*slot);
}
