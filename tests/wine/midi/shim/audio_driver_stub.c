/* The test-only multimedia driver module through which Wine's winmm loads OvtmMidi: winmm
   loads "wine<name>.drv" for each name in HKCU\Software\Wine\Drivers "Audio", and the audio
   device layer loads the same module and insists on these four entry points. The module
   offers no audio endpoint; DriverProc and midMessage are forwarded to OvtmMidi.dll. */
#include <windows.h>

/* Low priority: the audio layer takes a driver only above "unavailable" (0), and winmm then
   loads the module the audio layer chose. */
int WINAPI GetPriority(void) {
    return 1;
}

HRESULT WINAPI GetEndpointIDs(void) {
    return E_NOTIMPL;
}

HRESULT WINAPI GetAudioEndpoint(void) {
    return E_NOTIMPL;
}

HRESULT WINAPI GetAudioSessionManager(void) {
    return E_NOTIMPL;
}
