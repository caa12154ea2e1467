// Driving a framework driver under test: load, add, start, remove; URBs from above; lock keys.
#include <kmdf_testing/driver_harness.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <mutex>

#include <gtest/gtest.h>
#include <usbioctl.h>

#include "fx_internal.h"

namespace hostkernel::testing {

namespace {

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                 void (*setup)(PIO_STACK_LOCATION, void*) = nullptr, void* context = nullptr) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PendingIo io = SendIrp(top, IRP_MJ_PNP, minor, setup, context);
    ObDereferenceObject(top);
    if (!io.Wait(std::chrono::seconds(10))) {
        ADD_FAILURE() << "plug-and-play request 0x" << std::hex << int(minor)
                      << " did not complete";
        return STATUS_PENDING;
    }
    return io.Status();
}

} // namespace

DriverUnderTest::DriverUnderTest(const std::wstring& serviceName, PDRIVER_INITIALIZE entry) {
    driver_ = LoadDriver(serviceName, entry, &entryStatus_);
    EXPECT_NE(driver_, nullptr) << "DriverEntry failed with 0x" << std::hex
                                << static_cast<unsigned>(entryStatus_);
}

DriverUnderTest::~DriverUnderTest() {
    Unload();
}

void DriverUnderTest::Unload() {
    if (driver_ == nullptr)
        return;
    if (DriverLoaded(driver_)) {
        RemoveAllDeviceStacks();
        UnloadDriver(driver_);
    }
    driver_ = nullptr;
}

NTSTATUS DriverUnderTest::AddDevice(PDEVICE_OBJECT pdo) {
    if (driver_ == nullptr || driver_->DriverExtension->AddDevice == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    DriverScope scope(driver_);
    return driver_->DriverExtension->AddDevice(driver_, pdo);
}

NTSTATUS DriverUnderTest::Start(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_START_DEVICE);
}
NTSTATUS DriverUnderTest::SurpriseRemove(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
}
NTSTATUS DriverUnderTest::Remove(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS DriverUnderTest::Stop(PDEVICE_OBJECT pdo) {
    NTSTATUS status = QueryStopStack(pdo);
    return NT_SUCCESS(status) ? SendPnp(pdo, IRP_MN_STOP_DEVICE) : status;
}

NTSTATUS DriverUnderTest::RemoveOrderly(PDEVICE_OBJECT pdo) {
    NTSTATUS status = QueryRemoveStack(pdo);
    return NT_SUCCESS(status) ? SendPnp(pdo, IRP_MN_REMOVE_DEVICE) : status;
}

NTSTATUS DriverUnderTest::QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
    memset(capabilities, 0, sizeof(*capabilities));
    capabilities->Size = sizeof(*capabilities);
    capabilities->Version = 1;
    capabilities->Address = capabilities->UINumber = (ULONG)-1;
    return SendPnp(
        pdo, IRP_MN_QUERY_CAPABILITIES,
        [](PIO_STACK_LOCATION stack, void* context) {
            stack->Parameters.DeviceCapabilities.Capabilities =
                static_cast<PDEVICE_CAPABILITIES>(context);
        },
        capabilities);
}

WDFDEVICE DriverUnderTest::DeviceAbove(PDEVICE_OBJECT pdo) const {
    PDEVICE_OBJECT above = pdo->AttachedDevice;
    if (above == nullptr || above->DriverObject != driver_)
        return nullptr;
    return WdfWdmDeviceGetWdfDeviceHandle(above);
}

std::unique_ptr<UrbSubmission> UrbSubmission::InterruptIn(USBD_PIPE_HANDLE pipe,
                                                          ULONG bufferLength) {
    auto submission = std::unique_ptr<UrbSubmission>(new UrbSubmission());
    submission->payload_->buffer.assign(bufferLength, 0);
    auto& transfer = submission->payload_->urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer.TransferBufferLength = bufferLength;
    transfer.TransferBuffer =
        submission->payload_->buffer.empty() ? nullptr : submission->payload_->buffer.data();
    return submission;
}

std::unique_ptr<UrbSubmission> UrbSubmission::Raw(const URB& urb) {
    auto submission = std::unique_ptr<UrbSubmission>(new UrbSubmission());
    submission->payload_->urb = urb;
    return submission;
}

void UrbSubmission::Submit(PDEVICE_OBJECT device) {
    io_ = std::make_unique<PendingIo>(
        SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &payload_->urb));
}

UrbSubmission::~UrbSubmission() {
    if (!io_ || io_->IsComplete())
        return;
    io_->Cancel();
    if (io_->Wait(std::chrono::seconds(5)))
        return;
    verifier::Report(
        verifier::kRequestLeftBehind,
        "a URB submission was destroyed while its transfer was still pending and would not end "
        "when cancelled; its memory is kept for the driver that holds it");
    // Deliberately kept: a driver still holds pointers into the URB and its buffer.
    static std::mutex keptMutex;
    static std::vector<std::shared_ptr<Payload>> kept;
    std::lock_guard<std::mutex> guard(keptMutex);
    kept.push_back(payload_);
}

std::vector<uint8_t> UrbSubmission::Bytes() const {
    if (!IsComplete())
        return {};
    const auto& buffer = payload_->buffer;
    size_t count = std::min<size_t>(payload_->urb.UrbBulkOrInterruptTransfer.TransferBufferLength,
                                    buffer.size());
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(count));
}

const void* LockKey(WDFSPINLOCK lock) {
    return &reinterpret_cast<FxSpinLock*>(lock)->Lock;
}
const void* LockKey(WDFWAITLOCK lock) {
    return lock;
}

std::wstring DeviceSddl(WDFDEVICE device) {
    auto* fx = reinterpret_cast<FxDevice*>(device);
    if (fx == nullptr || fx->Sddl.Buffer == nullptr)
        return std::wstring();
    return std::wstring(fx->Sddl.Buffer, fx->Sddl.Length / sizeof(WCHAR));
}

} // namespace hostkernel::testing
