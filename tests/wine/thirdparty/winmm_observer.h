/* A spy between a third-party MIDI library and winmm: forced into the library's own source
   files at compile time (-include), it routes the library's MIDI-input calls through functions
   that log them, and wraps the library's input callback, so that a test sees which
   system-exclusive buffers the library queued, when each came back and what it held. Every
   call still goes to winmm as the library made it. */
#ifndef OVTM_THIRDPARTY_WINMM_OBSERVER_H
#define OVTM_THIRDPARTY_WINMM_OBSERVER_H

/* Included first, windows.h must not define min and max before the C++ headers come. */
#if defined(__cplusplus) && !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

#ifdef __cplusplus
extern "C" {
#endif

MMRESULT WINAPI ObservedMidiInOpen(LPHMIDIIN handle, UINT device, DWORD_PTR callback,
                                   DWORD_PTR instance, DWORD flags);
MMRESULT WINAPI ObservedMidiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT WINAPI ObservedMidiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT WINAPI ObservedMidiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT WINAPI ObservedMidiInReset(HMIDIIN handle);
MMRESULT WINAPI ObservedMidiInClose(HMIDIIN handle);

#ifdef __cplusplus
}
#endif

#ifndef OVTM_WINMM_OBSERVER_ITSELF
#define midiInOpen ObservedMidiInOpen
#define midiInPrepareHeader ObservedMidiInPrepareHeader
#define midiInUnprepareHeader ObservedMidiInUnprepareHeader
#define midiInAddBuffer ObservedMidiInAddBuffer
#define midiInReset ObservedMidiInReset
#define midiInClose ObservedMidiInClose
#endif

#endif
