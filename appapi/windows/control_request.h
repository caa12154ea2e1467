// One control request on the filter's control device, issued overlapped and waited for until
// it is complete, so that no completion can reach a buffer or OVERLAPPED after the call.
#pragma once

#include <windows.h>

namespace ovtm::appapi {

// Sends code with the given buffers and waits for this request's own completion. ioEvent is
// the OVERLAPPED's event; other calls (of this process or, as the event is named, of other
// processes) may use it at the same time, so it serves only as a wake-up and each call decides
// by its own OVERLAPPED whether it is done. True when the request completed successfully.
bool SendControlRequest(HANDLE device, HANDLE ioEvent, DWORD code, const void* input,
                        DWORD inputSize, void* output, DWORD outputSize, DWORD* bytes);

} // namespace ovtm::appapi
