/* Test-only stand-in of the filter's control device for the Wine tier. It creates the first
   keyboard's control device and its link, completes every request at once and counts what
   arrives, so that a test can tell whether a client opened the device and which control
   codes it sent. A second device, "\\.\OvtmControlRecorder", hands the counts out and resets
   them; its own traffic is not counted. */
#include <ntddk.h>

#include "control_recorder.h"
#include "ovtm_control.h"

static PDEVICE_OBJECT g_controlDevice;
static PDEVICE_OBJECT g_recorderDevice;
static RECORDER_COUNTS g_counts;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Requests to the stand-in control device: count them, succeed. */
static NTSTATUS RecordControlRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&g_counts.Opens);
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        InterlockedIncrement(&g_counts.Requests);
        if (code == IOCTL_OVTM_RELEASE_ALL_READERS)
            InterlockedIncrement(&g_counts.ReleaseAllReaders);
        InterlockedExchange(&g_counts.LastCode, (LONG)code);
        break;
    }
    default:
        break;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* Requests to the recorder's own device: hand out the counts, or reset them. */
static NTSTATUS ServeRecorderRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_RECORDER_READ_COUNTS:
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(g_counts))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &g_counts, sizeof(g_counts));
        return Complete(irp, STATUS_SUCCESS, sizeof(g_counts));
    case IOCTL_RECORDER_RESET:
        RtlZeroMemory(&g_counts, sizeof(g_counts));
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI RecorderDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == g_controlDevice)
        return RecordControlRequest(irp);
    return ServeRecorderRequest(irp);
}

static NTSTATUS CreateDeviceWithLink(PDRIVER_OBJECT driver, PCWSTR deviceName, PCWSTR linkName,
                                     PDEVICE_OBJECT* device) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlInitUnicodeString(&name, deviceName);
    RtlInitUnicodeString(&link, linkName);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
    }
    return status;
}

static VOID NTAPI RecorderUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    (void)driver;
    RtlInitUnicodeString(&link, L"\\DosDevices\\OvtsMelodixSymLk#1");
    IoDeleteSymbolicLink(&link);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" RECORDER_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_controlDevice)
        IoDeleteDevice(g_controlDevice);
    if (g_recorderDevice)
        IoDeleteDevice(g_recorderDevice);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    (void)registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = RecorderDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = RecorderDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = RecorderDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RecorderDispatch;
    driver->DriverUnload = RecorderUnload;

    status = CreateDeviceWithLink(driver, L"\\Device\\OvtsMelodixDev#1",
                                  L"\\DosDevices\\OvtsMelodixSymLk#1", &g_controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateDeviceWithLink(driver, L"\\Device\\" RECORDER_LINK_NAME,
                                  L"\\DosDevices\\" RECORDER_LINK_NAME, &g_recorderDevice);
    if (!NT_SUCCESS(status))
        RecorderUnload(driver);
    return status;
}
