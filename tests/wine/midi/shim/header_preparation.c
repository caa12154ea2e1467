/* The shim's midMessage: every message goes to OvtmMidi.dll's midMessage as winmm sent it, except
   that a header preparation the driver leaves to the system (MIDM_PREPARE or MIDM_UNPREPARE
   answered with MMSYSERR_NOTSUPPORTED) is done here, as Windows' winmm does it and Wine's does
   not: the client then sees what it would see on Windows. See platform/wine/README.md. */
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <stdlib.h>

typedef DWORD(WINAPI* MidMessageProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

/* A test that needs a MIDI system refusing input buffers names the refusal here (a decimal
   MMRESULT, e.g. 7 for MMSYSERR_NOMEM): MIDM_PREPARE is then answered with it. */
static const char kRefusePrepareVariable[] = "OVTM_MIDI_SHIM_REFUSE_PREPARE";

/* The driver's own midMessage, looked up at the first message. OvtmMidi.dll stays loaded as
   long as the shim: the loader already holds it for the shim's forwarded DriverProc, so the
   reference taken here never loads a second copy. */
static PVOID volatile g_driverMidMessage;

static MidMessageProc DriverMidMessage(void) {
    PVOID found = InterlockedCompareExchangePointer(&g_driverMidMessage, NULL, NULL);
    if (found == NULL) {
        HMODULE driver = LoadLibraryW(L"OvtmMidi.dll");
        if (driver != NULL) {
            found = (PVOID)GetProcAddress(driver, "midMessage");
            InterlockedExchangePointer(&g_driverMidMessage, found);
        }
    }
    return (MidMessageProc)found;
}

static DWORD RefusalAsked(void) {
    char text[16];
    const DWORD length = GetEnvironmentVariableA(kRefusePrepareVariable, text, sizeof(text));
    if (length == 0 || length >= sizeof(text)) {
        return MMSYSERR_NOERROR;
    }
    return (DWORD)strtoul(text, NULL, 10);
}

/* Windows' default preparation: the header is marked prepared. winmm has already checked the
   pointer and the size before asking the driver. */
static DWORD PrepareByDefault(MIDIHDR* header) {
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

/* Windows' default unpreparation refuses a header the driver still holds, and otherwise
   clears the mark. */
static DWORD UnprepareByDefault(MIDIHDR* header) {
    if (header->dwFlags & MHDR_INQUEUE) {
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags &= ~(DWORD)MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

DWORD WINAPI midMessage(UINT deviceId, UINT message, DWORD_PTR instance, DWORD_PTR parameter1,
                        DWORD_PTR parameter2) {
    const MidMessageProc driver = DriverMidMessage();
    if (driver == NULL) {
        return MMSYSERR_NODRIVER;
    }
    if (message == MIDM_PREPARE) {
        const DWORD refusal = RefusalAsked();
        if (refusal != MMSYSERR_NOERROR) {
            return refusal;
        }
    }
    const DWORD result = driver(deviceId, message, instance, parameter1, parameter2);
    if (result != MMSYSERR_NOTSUPPORTED || parameter1 == 0) {
        return result;
    }
    if (message == MIDM_PREPARE) {
        return PrepareByDefault((MIDIHDR*)parameter1);
    }
    if (message == MIDM_UNPREPARE) {
        return UnprepareByDefault((MIDIHDR*)parameter1);
    }
    return result;
}
