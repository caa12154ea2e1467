// Entering OvtmMidi.dll into the multimedia system's MIDI driver list in the registry, and
// clearing it again.
#pragma once

// Writes the driver into the slot the slot search chooses; nothing when the key cannot be
// opened (no administrative rights) or every slot holds another, distinct driver.
void RegisterMidiDriver();

// Clears the highest slot that names the driver, if any.
void UnregisterMidiDriver();
