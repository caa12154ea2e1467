// Surprise removal of the keyboard: the data path stops, every client learns that the
// device is gone, and user mode is told through the device interface.
#include "client_record.h"
#include "device_commands.h"
#include "filter_callbacks.h"
#include "keyboard_interface.h"

#include "ovtm_event.h"

VOID EvtDeviceSurpriseRemoval(WDFDEVICE device) {
    PFILTER_EXTENSION extension = FilterGetExtension(device);

    // Taken in the driver's lock order, so that no report is half translated and no read
    // half served when the device stops being present.
    WdfSpinLockAcquire(extension->ReportLock);
    WdfSpinLockAcquire(extension->ClientListLock);
    extension->DevicePresent = 0;
    WdfSpinLockRelease(extension->ClientListLock);
    WdfSpinLockRelease(extension->ReportLock);

    if (extension->ControlDevice != NULL) {
        WdfIoQueueStop(WdfDeviceGetDefaultQueue(extension->ControlDevice), NULL, NULL);
    }
    // A query waiting for the keyboard's answer ends now rather than after its 500 ms.
    StopWaitingForAnswers(extension);

    const uint32_t detach = OVTM_RECORD_DEVICE_REMOVED;
    if (NT_SUCCESS(AppendToAllClients(extension, &detach, 1))) {
        RunDeliveryPass(extension);
    }

    WdfDeviceSetDeviceInterfaceState(device, &KeyboardInterfaceGuid, NULL, FALSE);
}
