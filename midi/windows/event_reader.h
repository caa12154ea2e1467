// The reader thread: one overlapped read of event records outstanding on the control device,
// each record converted and delivered to the client as it comes.
#ifndef OVTM_MIDI_EVENT_READER_H
#define OVTM_MIDI_EVENT_READER_H

namespace ovtm::midi {

// Precondition: the control device is open and the stop event exists. Without a thread the
// open goes on with no reader.
void StartReader();

// Signals the stop event, waits for the thread, releases both. Nothing when no reader is
// recorded.
void StopReader();

// The recorded reader thread is still running (it has not ended by itself).
bool ReaderRunning();

} // namespace ovtm::midi

#endif
