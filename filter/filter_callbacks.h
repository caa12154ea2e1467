// The framework callbacks and internal operations of the filter's device setup, the
// control protocol and the music data path.
#ifndef OVTM_FILTER_CALLBACKS_H
#define OVTM_FILTER_CALLBACKS_H

#include <ntddk.h>
#include <wdf.h>
#include <stddef.h>
#include <stdint.h>

#include "filter_extension.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

EVT_WDF_DRIVER_DEVICE_ADD FilterEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP FilterEvtDeviceCleanup;
EVT_WDF_DEVICE_PREPARE_HARDWARE FilterEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE FilterEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;

NTSTATUS CreateControlDevice(WDFDEVICE filterDevice);
VOID DeleteControlDevice(WDFDEVICE controlDevice);
VOID ReleaseInstanceNumber(WDFDEVICE filterDevice);
// The extension a control device serves, entered as a control request (EnterControlRequest)
// so that it stays until LeaveControlRequest; NULL once the filter device's cleanup has begun.
PFILTER_EXTENSION ReferenceFilterExtension(WDFDEVICE controlDevice);
// The start of the filter device's cleanup: the control device refuses every request from
// now on and names the extension no longer; what is already inside is waited for by
// EndDeviceCommands.
VOID DisconnectControlDevice(PFILTER_EXTENSION extension);

EVT_WDF_DEVICE_FILE_CREATE ControlEvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE ControlEvtFileClose;
EVT_WDF_FILE_CLEANUP ControlEvtFileCleanup;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ControlEvtIoDeviceControl;

EVT_WDF_REQUEST_COMPLETION_ROUTINE DescriptorCompletion;
EVT_WDF_REQUEST_COMPLETION_ROUTINE SelectConfigurationCompletion;
EVT_WDF_REQUEST_COMPLETION_ROUTINE KeyboardPipeCompletion;
EVT_WDF_REQUEST_COMPLETION_ROUTINE MusicPipeCompletion;

// What the music-pipe completion does with the bytes of one received report (length > 0):
// records to every client, masks in the report, delivery pass, or a query's answer.
VOID TranslateMusicReport(PFILTER_EXTENSION extension, PUCHAR report, size_t length);

// Appends records to the ring of every open client. STATUS_UNSUCCESSFUL when no client is
// open (the records are dropped).
NTSTATUS AppendToAllClients(PFILTER_EXTENSION extension, const uint32_t* records, size_t count);

#endif
