// The library's exports: TessaroDiProc and its second name BriseldiProc.
#include <windows.h>

#include "command_table.h"
#include "library_state.h"

extern "C" UINT32 WINAPI TessaroDiProc(UINT32 command, UINT_PTR a, UINT_PTR b) {
    ovtm::appapi::LibraryObjectHost host;
    return ovtm::appapi::RunCommand(host, command, a, b);
}

extern "C" UINT32 WINAPI BriseldiProc(UINT32 command, UINT_PTR a, UINT_PTR b) {
    return TessaroDiProc(command, a, b);
}
