"""Compares a recording of the demo's tune with the tune, note for note, reading the Standard MIDI
File with mido: every note of the tune in order, each a note-on with the tune's velocity followed
by its note-off. Prints the outcome and how long the driver's timestamps held each note against
the tune's lengths. Exit code 0 when every note matches, 1 otherwise.
Usage: compare-recording.py TUNE.txt RECORDING.mid"""
import statistics
import sys

import mido


def read_tune(path):
    notes = []
    with open(path) as tune:
        for line in tune:
            words = line.split("#", 1)[0].split()
            if words:
                note, velocity, length = (int(w) for w in words)
                notes.append((note, velocity, length))
    return notes


def read_notes(path):
    """(millisecond, 'on' or 'off', note, velocity) for each note message, in file order."""
    midi = mido.MidiFile(path)
    tempo, ticks, notes = 500000, 0, []
    for message in midi.tracks[0]:
        ticks += message.time
        if message.type == "set_tempo":
            tempo = message.tempo
        ms = round(mido.tick2second(ticks, midi.ticks_per_beat, tempo) * 1000)
        if message.type == "note_on" and message.velocity > 0:
            notes.append((ms, "on", message.note, message.velocity))
        elif message.type in ("note_on", "note_off"):
            notes.append((ms, "off", message.note, 0))
    return notes


def main():
    tune, recorded = read_tune(sys.argv[1]), read_notes(sys.argv[2])
    expected = []
    for note, velocity, _ in tune:
        expected += [("on", note, velocity), ("off", note, 0)]
    got = [(kind, note, velocity) for _, kind, note, velocity in recorded]
    mismatches = [i for i in range(max(len(expected), len(got)))
                  if i >= len(expected) or i >= len(got) or expected[i] != got[i]]
    if mismatches:
        first = mismatches[0]
        print(f"  demo.mid does NOT match the tune: {len(got)} note messages for the tune's "
              f"{len(expected)}; first difference at message {first + 1}: expected "
              f"{expected[first] if first < len(expected) else 'nothing'}, recorded "
              f"{got[first] if first < len(got) else 'nothing'}")
        return 1
    held = [recorded[2 * i + 1][0] - recorded[2 * i][0] for i in range(len(tune))]
    deviation = [abs(h - length) for h, (_, _, length) in zip(held, tune)]
    print(f"  notes recorded (mido reads demo.mid):  {len(tune)} of {len(tune)}, in order, "
          f"each with its velocity and note-off")
    print(f"  held lengths from the driver's stamps: deviation from the tune's p50 "
          f"{statistics.median(deviation):.0f} ms, max {max(deviation)} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
