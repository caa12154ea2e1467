// Control codes that send something to the keyboard: the plain commands, the switches
// (a command and the lock-key lights) and the two queries.
#include "control_handlers.h"
#include "device_commands.h"

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"

namespace {

// Byte 0 of the switches request: bit 3 is the device's own switch, the others are lights.
const UCHAR SwitchDeviceBit = 0x08;
const UCHAR SwitchLightBits = 0xF7;
// The lock-key lights are sent inverted when switched off.
const UCHAR LightsInvertedWhenOff = 0x07;
const size_t AnswerLength = sizeof(ULONG);

NTSTATUS Query(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength, UCHAR code,
               ULONG_PTR* information) {
    *information = 0;
    ULONG answer = 0;
    // The length is looked at only after the wait: a caller without a buffer still has the
    // command sent, as it always had.
    if (QueryDevice(extension, code, &answer) == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, outputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (outputLength < AnswerLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(buffer, &answer, AnswerLength);
    *information = AnswerLength;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS HandleCommandC1(PFILTER_EXTENSION extension, ULONG_PTR* information) {
    *information = 0;
    return SendDeviceCommand(extension, OVTM_COMMAND_C1);
}

NTSTATUS HandleCommandC2(PFILTER_EXTENSION extension, ULONG_PTR* information) {
    *information = 0;
    return SendDeviceCommand(extension, OVTM_COMMAND_C2);
}

NTSTATUS HandleSetSwitches(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                           ULONG_PTR* information) {
    *information = 0;
    UCHAR bits = 0;
    UCHAR state = 0;
    NTSTATUS status = RetrieveParameterBytes(request, outputLength, &bits, &state);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR lights = (UCHAR)(bits & SwitchLightBits);

    status = STATUS_SUCCESS;
    if (state == 1 || state == 0) {
        if (bits & SwitchDeviceBit) {
            status = SendDeviceCommand(extension, state == 1 ? OVTM_COMMAND_SWITCH_ON
                                                             : OVTM_COMMAND_SWITCH_OFF);
        }
        if (lights != 0) {
            UCHAR value = state == 1 ? lights : (UCHAR)(lights ^ LightsInvertedWhenOff);
            NTSTATUS lightStatus = SetKeyboardLeds(extension, value);
            // The lights go out even when the command failed, but that failure is not
            // hidden by the lights' success.
            if (NT_SUCCESS(status)) {
                status = lightStatus;
            }
        }
    }
    *information = CONTROL_PARAMETER_BLOCK_LENGTH;
    return status;
}

NTSTATUS HandleQueryC4(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                       ULONG_PTR* information) {
    return Query(extension, request, outputLength, OVTM_QUERY_C4, information);
}

NTSTATUS HandleQueryC3(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                       ULONG_PTR* information) {
    return Query(extension, request, outputLength, OVTM_QUERY_C3, information);
}
