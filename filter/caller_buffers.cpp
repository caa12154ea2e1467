// The control device's work in the requestor's own thread, before a request reaches the queue:
// the output buffer of 0x22201D, which the I/O manager probed for reading only, is probed for
// writing there and locked for writing alongside the request.
#include "caller_buffers.h"
#include "filter_callbacks.h"

#include "ovtm_control.h"

// ZwQueryVirtualMemory and its types are documented in <ntifs.h>, which this driver does not
// include.
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

extern "C" NTSYSAPI NTSTATUS NTAPI ZwQueryVirtualMemory(
    HANDLE ProcessHandle, PVOID BaseAddress, MEMORY_INFORMATION_CLASS MemoryInformationClass,
    PVOID MemoryInformation, SIZE_T MemoryInformationLength, PSIZE_T ReturnLength);

// Older DDK headers lack the flag that maps a buffer without execute rights.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

namespace {

const ULONG WritableProtections =
    PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// Whether every page of [address, address + length) of the calling process is committed and
// may be written by it. Must run in the requestor's thread.
NTSTATUS CheckCallerMayWrite(PVOID address, SIZE_T length) {
    ULONG_PTR at = (ULONG_PTR)address;
    const ULONG_PTR end = at + length;
    if (end < at) {
        return STATUS_ACCESS_VIOLATION;
    }
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        NTSTATUS status = ZwQueryVirtualMemory(ZwCurrentProcess(), (PVOID)at,
                                               MemoryBasicInformation, &info, sizeof(info), NULL);
        if (!NT_SUCCESS(status)) {
            return STATUS_ACCESS_VIOLATION;
        }
        if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0 ||
            (info.Protect & WritableProtections) == 0 || info.RegionSize == 0) {
            return STATUS_ACCESS_VIOLATION;
        }
        const ULONG_PTR regionEnd = (ULONG_PTR)info.BaseAddress + info.RegionSize;
        if (regionEnd <= at) {
            return STATUS_ACCESS_VIOLATION;
        }
        at = regionEnd;
    }
    return STATUS_SUCCESS;
}

// Probes the first `length` bytes of the request's output buffer for writing and locks them
// in an MDL chained behind the I/O manager's, which unlocks and frees it with the request.
NTSTATUS LockOutputForWriting(WDFREQUEST request, ULONG length) {
    PMDL readMdl = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputWdmMdl(request, &readMdl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PIRP irp = WdfRequestWdmGetIrp(request);
    PVOID address = MmGetMdlVirtualAddress(readMdl);
    if (irp->RequestorMode == UserMode) {
        status = CheckCallerMayWrite(address, length);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    PMDL writeMdl = IoAllocateMdl(address, length, TRUE, FALSE, irp);
    if (writeMdl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(writeMdl, irp->RequestorMode, IoWriteAccess);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS WritableOutputBuffer(WDFREQUEST request, size_t length, PVOID* buffer) {
    *buffer = NULL;
    PIRP irp = WdfRequestWdmGetIrp(request);
    // Only LockOutputForWriting chains an MDL behind the I/O manager's.
    PMDL writeMdl = irp->MdlAddress != NULL ? irp->MdlAddress->Next : NULL;
    if (writeMdl == NULL || MmGetMdlByteCount(writeMdl) < length) {
        return STATUS_ACCESS_VIOLATION;
    }
    *buffer = MmGetSystemAddressForMdlSafe(
        writeMdl, (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
    if (*buffer == NULL && irp->RequestorMode == UserMode) {
        // A driver host that shares one address space with its callers' buffers maps
        // the I/O manager's MDL at the buffer's own address and cannot map another MDL. There,
        // and only there, the address checked writable in the caller's thread is the mapping.
        PVOID address = MmGetMdlVirtualAddress(writeMdl);
        PVOID managerMapping = MmGetSystemAddressForMdlSafe(
            irp->MdlAddress, (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
        if (managerMapping == address && MmGetMdlVirtualAddress(irp->MdlAddress) == address) {
            *buffer = address;
        }
    }
    return *buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID ControlEvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    if (parameters.Type == WdfRequestTypeDeviceControl &&
        parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_OVTM_GET_VERSION &&
        parameters.Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
        NTSTATUS status = LockOutputForWriting(request, sizeof(ULONG));
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(request, status);
            return;
        }
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
    }
}
