// The handles this process holds, for leak checks (see process_handles.h).
#include "process_handles.h"

#include <winternl.h>

#include <vector>

namespace ovtm::appapi_test {

// The handles this process holds, as the system's handle table lists them (Wine answers
// GetProcessHandleCount with 0).
DWORD HandlesOfThisProcess() {
    struct HandleEntry {
        USHORT process;
        USHORT creatorBackTrace;
        UCHAR objectType;
        UCHAR attributes;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    struct HandleTable {
        ULONG count;
        HandleEntry entries[1];
    };
    constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<char> buffer(1 << 20);
    ULONG size = 0;
    while (NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                    static_cast<ULONG>(buffer.size()), &size) != 0) {
        if (buffer.size() >= (1u << 26)) {
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        count += table->entries[i].process == static_cast<USHORT>(GetCurrentProcessId());
    }
    return count;
}

} // namespace ovtm::appapi_test
