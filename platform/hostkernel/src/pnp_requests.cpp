// The plug-and-play manager's requests to a device stack: each goes to the top of the stack
// and is waited for; a query that a driver refuses is followed by its cancel, as the PnP
// manager does, so that no driver is left waiting for a stop or removal that never comes.
#include "kernel_internal.h"

#include <hostkernel/user_io.h>

namespace hostkernel {

namespace {

constexpr auto kPnpLimit = std::chrono::seconds(10);

} // namespace

NTSTATUS SendPnpToStack(PDEVICE_OBJECT pdo, UCHAR minor) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PendingIo io = SendIrp(top, IRP_MJ_PNP, minor, nullptr, nullptr);
    ObDereferenceObject(top);
    if (!io.Wait(kPnpLimit)) {
        verifier::Report(verifier::kRequestLeftBehind,
                         detail::Format("plug-and-play request 0x%02x was never completed", minor));
        return STATUS_IO_TIMEOUT;
    }
    return io.Status();
}

NTSTATUS QueryStopStack(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnpToStack(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status))
        SendPnpToStack(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
}

NTSTATUS QueryRemoveStack(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnpToStack(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status))
        SendPnpToStack(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
}

} // namespace hostkernel
