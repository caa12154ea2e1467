// Control codes that change how reports are translated: the key mask flags and the
// note-on velocity curve. Reports may be translated at the same moment on another
// processor; each byte is written whole, so the translation sees the old or the new value.
#include "control_handlers.h"
#include "shared_value.h"

#include "ovtm_control.h"

NTSTATUS HandleSetKeyMask(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information) {
    *information = 0;
    UCHAR index = 0;
    UCHAR state = 0;
    NTSTATUS status = RetrieveParameterBytes(request, outputLength, &index, &state);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The index comes from user mode: one past the table must not reach the next field.
    if (index >= OVTM_KEY_MASK_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }
    if (state == 0 || state == 1) {
        WriteSharedByte(&extension->KeyMask[index], state);
    }
    *information = CONTROL_PARAMETER_BLOCK_LENGTH;
    return STATUS_SUCCESS;
}

NTSTATUS HandleSetVelocityCurve(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength,
                                ULONG_PTR* information) {
    *information = 0;
    if (inputLength < OVTM_VELOCITY_CURVE_SIZE) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, inputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR* curve = (const UCHAR*)buffer;
    for (ULONG i = 0; i < OVTM_VELOCITY_CURVE_SIZE; ++i) {
        WriteSharedByte(&extension->VelocityCurve[i], curve[i]);
    }
    return STATUS_SUCCESS;
}
