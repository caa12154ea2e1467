"""Reads a Standard MIDI File with mido and prints what a MIDI program sees, one line a message:
milliseconds from the start, then the message in mido's words. Used by the recorder's tests."""
import sys

import mido

midi = mido.MidiFile(sys.argv[1])
print(f"format {midi.type} tracks {len(midi.tracks)} division {midi.ticks_per_beat}")
ticks = 0
tempo = 500000
for message in midi.tracks[0]:
    ticks += message.time
    if message.type == "set_tempo":
        tempo = message.tempo
        print(f"tempo {tempo}")
        continue
    if message.type == "end_of_track":
        print("end")
        continue
    ms = round(mido.tick2second(ticks, midi.ticks_per_beat, tempo) * 1000)
    fields = message.dict()
    fields.pop("time")
    kind = fields.pop("type")
    if kind == "sysex":
        fields["data"] = " ".join(f"{b:02X}" for b in fields["data"])
    words = " ".join(f"{k}={v}" for k, v in sorted(fields.items()))
    print(f"{ms} {kind} {words}")
