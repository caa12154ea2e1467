// The calling process's address space as drivers see it: which user buffers are read-only pages,
// what ZwQueryVirtualMemory reports for an address, and probes that would raise on Windows.
#include "kernel_internal.h"

#include <map>

namespace hostkernel::detail {

namespace {

struct ReadOnlyRanges {
    std::mutex mutex;
    std::map<uintptr_t, uintptr_t> ranges; // begin -> end
};

ReadOnlyRanges& Ranges() {
    static ReadOnlyRanges ranges;
    return ranges;
}

// The read-only range holding `address`, as [begin, end); false when there is none.
bool FindRange(uintptr_t address, uintptr_t* begin, uintptr_t* end) {
    ReadOnlyRanges& r = Ranges();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.ranges.upper_bound(address);
    if (it == r.ranges.begin())
        return false;
    --it;
    if (address >= it->second)
        return false;
    *begin = it->first;
    *end = it->second;
    return true;
}

} // namespace

void AddReadOnlyUserRange(const void* begin, size_t length) {
    ReadOnlyRanges& r = Ranges();
    std::lock_guard<std::mutex> guard(r.mutex);
    uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    r.ranges[start] = start + length;
}

void RemoveReadOnlyUserRange(const void* begin) {
    ReadOnlyRanges& r = Ranges();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.ranges.erase(reinterpret_cast<uintptr_t>(begin));
}

bool OverlapsReadOnlyUserRange(const void* begin, size_t length) {
    uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    ReadOnlyRanges& r = Ranges();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.ranges.lower_bound(start + length);
    if (it == r.ranges.begin())
        return false;
    --it;
    return it->second > start && length > 0;
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;

// As <ntifs.h> declares them; drivers that call ZwQueryVirtualMemory declare them the same way.
typedef enum _MEMORY_INFORMATION_CLASS { MemoryBasicInformation = 0 } MEMORY_INFORMATION_CLASS;
typedef struct _MEMORY_BASIC_INFORMATION {
    PVOID BaseAddress;
    PVOID AllocationBase;
    ULONG AllocationProtect;
    SIZE_T RegionSize;
    ULONG State;
    ULONG Protect;
    ULONG Type;
} MEMORY_BASIC_INFORMATION, *PMEMORY_BASIC_INFORMATION;

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwQueryVirtualMemory(HANDLE ProcessHandle, PVOID BaseAddress,
                                             MEMORY_INFORMATION_CLASS MemoryInformationClass,
                                             PVOID MemoryInformation,
                                             SIZE_T MemoryInformationLength, PSIZE_T ReturnLength);

NTSTATUS NTAPI ZwQueryVirtualMemory(HANDLE ProcessHandle, PVOID BaseAddress,
                                    MEMORY_INFORMATION_CLASS MemoryInformationClass,
                                    PVOID MemoryInformation, SIZE_T MemoryInformationLength,
                                    PSIZE_T ReturnLength) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hostkernel::verifier::Report(hostkernel::verifier::kIrql,
                                     "ZwQueryVirtualMemory above PASSIVE_LEVEL");
    if (ProcessHandle != NtCurrentProcess() || MemoryInformationClass != MemoryBasicInformation)
        return STATUS_INVALID_PARAMETER;
    if (MemoryInformation == nullptr || MemoryInformationLength < sizeof(MEMORY_BASIC_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    auto* info = static_cast<PMEMORY_BASIC_INFORMATION>(MemoryInformation);
    memset(info, 0, sizeof(*info));
    uintptr_t address = reinterpret_cast<uintptr_t>(BaseAddress);
    uintptr_t begin = 0;
    uintptr_t end = 0;
    info->BaseAddress = BaseAddress;
    info->AllocationBase = BaseAddress;
    info->State = MEM_COMMIT;
    info->Type = MEM_PRIVATE;
    if (FindRange(address, &begin, &end)) {
        info->AllocationProtect = info->Protect = PAGE_READONLY;
        info->RegionSize = end - address;
    } else {
        // Writable up to the next read-only range, or one page when none follows.
        info->AllocationProtect = info->Protect = PAGE_READWRITE;
        info->RegionSize = 4096;
        ReadOnlyRanges& r = Ranges();
        std::lock_guard<std::mutex> guard(r.mutex);
        auto next = r.ranges.upper_bound(address);
        if (next != r.ranges.end() && next->first - address < info->RegionSize)
            info->RegionSize = next->first - address;
    }
    if (ReturnLength != nullptr)
        *ReturnLength = sizeof(MEMORY_BASIC_INFORMATION);
    return STATUS_SUCCESS;
}

} // extern "C"
