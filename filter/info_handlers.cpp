// Control codes that answer with fixed facts: the device's revision, the protocol version
// and the device's name.
#include "caller_buffers.h"
#include "control_handlers.h"
#include "shared_value.h"

#include "ovtm_control.h"

namespace {

const size_t VersionLength = sizeof(ULONG);

} // namespace

NTSTATUS HandleGetRevision(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                           ULONG_PTR* information) {
    *information = 0;
    if (outputLength < 1) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, outputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((PUCHAR)buffer)[0] = ReadSharedByte(&extension->DeviceRevision);
    *information = 1;
    return STATUS_SUCCESS;
}

NTSTATUS HandleGetVersion(WDFREQUEST request, size_t outputLength, ULONG_PTR* information) {
    *information = 0;
    if (outputLength < VersionLength) {
        return STATUS_UNSUCCESSFUL;
    }
    // The transfer method is METHOD_IN_DIRECT: the framework's output buffer was probed for
    // reading only. The bytes go through the mapping probed for writing in the caller's thread.
    PVOID buffer = NULL;
    NTSTATUS status = WritableOutputBuffer(request, VersionLength, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG version = OVTM_PROTOCOL_VERSION;
    RtlCopyMemory(buffer, &version, VersionLength);
    *information = VersionLength;
    return STATUS_SUCCESS;
}

NTSTATUS HandleGetDeviceName(WDFREQUEST request, size_t outputLength, ULONG_PTR* information) {
    *information = 0;
    if (outputLength < OVTM_DEVICE_NAME_SIZE) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, outputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The name, its NUL and zeros up to the full size: the caller's bytes past the text
    // never keep what they held before.
    UCHAR name[OVTM_DEVICE_NAME_SIZE];
    RtlZeroMemory(name, sizeof(name));
    const char text[] = OVTM_DEVICE_NAME_TEXT;
    RtlCopyMemory(name, text, sizeof(text));
    RtlCopyMemory(buffer, name, sizeof(name));
    *information = OVTM_DEVICE_NAME_SIZE;
    return STATUS_SUCCESS;
}
