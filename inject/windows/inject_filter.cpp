// InjectFilter, the entry point rundll32 runs: "rundll32 OvtmAddf,InjectFilter <hardware id>
// <service> [-add|-first|-last|-before NAME|-after NAME|-remove] [-lower]".
#include <windows.h>

#include "command_line.h"
#include "device_search.h"

#include <new>

static_assert(ovtm::inject::kArgumentError == ERROR_INVALID_PARAMETER,
              "argument errors report ERROR_INVALID_PARAMETER");

// rundll32 ignores the result; it is ERROR_INVALID_PARAMETER for every argument error, when
// nothing at all has been done.
extern "C" DWORD CALLBACK InjectFilter(HWND window, HINSTANCE /*instance*/, LPSTR commandLine,
                                       int /*showCommand*/) {
    try {
        ovtm::inject::InjectArguments arguments;
        DWORD status = ovtm::inject::ParseCommandLine(commandLine, arguments);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        InjectIntoMatchingDevices(window, arguments);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}
