// Queues, I/O targets and USB target devices of the framework, driven from outside the sample
// driver as its own code would drive them: stop/start/purge, a stopped target refusing sends and
// cancelling what it had, send-and-forget, synchronous URBs, descriptors and capabilities.
#include "sample_driver.h"

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>
#include <kmdf_testing/stub_usb_device.h>

#include <usbdlib.h>
#include <wdfusb.h>

#include <gmock/gmock.h>

#include <thread>

namespace {

using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;
using ::testing::ElementsAre;

class FrameworkIoTest : public hostkernel::testing::KernelTest {
  protected:
    void Bring(USHORT vendor = 0x5E3A, USHORT product = 0x1C07) {
        usb = std::make_unique<StubUsbDevice>(vendor, product);
        driver = std::make_unique<DriverUnderTest>(L"SampleFilter", SampleDriverEntry);
        ASSERT_EQ(driver->AddDevice(usb->Pdo()), STATUS_SUCCESS);
        filter = driver->DeviceAbove(usb->Pdo());
        control = WdfWdmDeviceGetWdfDeviceHandle(hostkernel::FindDevice(L"\\Device\\SampleDev#1"));
        ASSERT_NE(control, nullptr);
    }

    void TearDown() override {
        handle.Close();
        KernelTest::TearDown();
        driver.reset();
        usb.reset();
    }

    std::unique_ptr<StubUsbDevice> usb;
    std::unique_ptr<DriverUnderTest> driver;
    WDFDEVICE filter = nullptr;
    WDFDEVICE control = nullptr;
    UserHandle handle;
};

TEST_F(FrameworkIoTest, StartNeedsOneOfTheTwoIdsAndCapabilitiesCarrySurpriseRemovalOk) {
    Bring(0x5E3A, 0x0001);
    EXPECT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(driver->QueryCapabilities(usb->Pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Removable, 1u); // the bus's answer passes through

    StubUsbDevice stranger(0x1234, 0x5678);
    DriverUnderTest other(L"SampleFilter2", SampleDriverEntry);
    // The second instance fails already at its control device's name, which the first holds.
    EXPECT_EQ(other.AddDevice(stranger.Pdo()), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(FrameworkIoTest, ADeviceWithNeitherIdDoesNotStart) {
    Bring(0x1234, 0x5678);
    EXPECT_EQ(driver->Start(usb->Pdo()), STATUS_INVALID_PARAMETER);
}

TEST_F(FrameworkIoTest, StoppedQueueHoldsRequestsUntilStartAndPurgeRefusesThem) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(UserHandle::Open(SAMPLE_CONTROL_LINK, &handle), STATUS_SUCCESS);
    hostkernel::DriverScope scope(driver->Driver());
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(control);
    WdfIoQueueStop(queue, nullptr, nullptr);
    PendingIo held = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_ECHO, {4, 5}, 2);
    EXPECT_FALSE(held.IsComplete());
    WdfIoQueueStart(queue);
    ASSERT_TRUE(held.IsComplete());
    EXPECT_THAT(held.OutputBytes(), ElementsAre(5, 4));

    WdfIoQueueStop(queue, nullptr, nullptr);
    PendingIo waiting = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_ECHO, {1}, 1);
    WdfIoQueuePurgeSynchronously(queue);
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status,
              STATUS_INVALID_DEVICE_STATE);
    WdfIoQueueStart(queue);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status, STATUS_SUCCESS);
}

TEST_F(FrameworkIoTest, StoppingTheTargetCancelsSentTransfersAndRefusesNewOnes) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    auto first = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    auto second = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    first->Submit(usb->TopOfStack());
    second->Submit(usb->TopOfStack());
    {
        hostkernel::DriverScope scope(driver->Driver());
        WdfIoTargetStop(WdfDeviceGetIoTarget(filter), WdfIoTargetCancelSentIo);
    }
    ASSERT_TRUE(first->IsComplete() && second->IsComplete()); // back through the completion routine
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(usb->PendingTransfers(0x82), 0u);

    auto refused = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    refused->Submit(usb->TopOfStack());
    ASSERT_TRUE(refused->IsComplete());
    EXPECT_EQ(refused->Status(), STATUS_INVALID_DEVICE_STATE);
    {
        hostkernel::DriverScope scope(driver->Driver());
        WdfIoTargetStart(WdfDeviceGetIoTarget(filter));
    }
}

TEST_F(FrameworkIoTest, SendTimeOutCancelsTheTransferAtItsDueTime) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    SampleSeen.SendTimeoutMs = 50;
    auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    transfer->Submit(usb->TopOfStack());
    hostkernel::AdvanceClockMs(49);
    EXPECT_FALSE(transfer->IsComplete());
    hostkernel::AdvanceClockMs(1);
    ASSERT_TRUE(transfer->Wait());
    EXPECT_EQ(transfer->Status(), STATUS_CANCELLED);

    auto answered = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    answered->Submit(usb->TopOfStack());
    ASSERT_TRUE(usb->CompleteTransfer(0x82, {3, 1}));
    EXPECT_EQ(answered->Status(), STATUS_SUCCESS);
    hostkernel::AdvanceClockMs(100); // its time-out was withdrawn: nothing fires
}

TEST_F(FrameworkIoTest, SynchronousSendWaitsAndLeavesTheRequestWithTheDriver) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    SampleSeen.SendSynchronously = TRUE;
    auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    std::thread sender([&] { transfer->Submit(usb->TopOfStack()); });
    while (usb->PendingTransfers(0x82) == 0)
        std::this_thread::yield();
    EXPECT_EQ(SampleSeen.ReportsSeen, 0); // the sender is blocked in the driver's send
    ASSERT_TRUE(usb->CompleteTransfer(0x82, {3, 9, 9}));
    sender.join();
    ASSERT_TRUE(transfer->IsComplete());
    EXPECT_EQ(transfer->Status(), STATUS_SUCCESS);
    EXPECT_EQ(SampleSeen.ReportsSeen, 1);
    EXPECT_THAT(transfer->Bytes(), ElementsAre(3, 9, 9));
}

TEST_F(FrameworkIoTest, SendAndForgetDeliversStraightToTheSender) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    USB_DEVICE_DESCRIPTOR descriptor{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, nullptr,
                                 sizeof(descriptor), nullptr);
    auto request = UrbSubmission::Raw(urb);
    request->Submit(usb->TopOfStack());
    ASSERT_TRUE(request->IsComplete());
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(descriptor.idVendor, 0x5E3A);
    EXPECT_EQ(descriptor.bcdDevice, 0x0005);
}

TEST_F(FrameworkIoTest, UsbTargetSelectsConfigurationsAndSendsUrbsSynchronously) {
    Bring();
    ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
    hostkernel::DriverScope scope(driver->Driver());
    WDFUSBDEVICE target;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(filter, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(target, &descriptor);
    EXPECT_EQ(descriptor.idProduct, 0x1C07);
    USHORT length = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(target, nullptr, &length),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<uint8_t> config(length);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(target, config.data(), &length),
              STATUS_SUCCESS);

    // Select the configuration with one entry per interface, room for two pipes each.
    size_t entry = GET_USBD_INTERFACE_SIZE(2);
    std::vector<uint8_t> selectBytes(sizeof(struct _URB_SELECT_CONFIGURATION) -
                                     sizeof(USBD_INTERFACE_INFORMATION) + 2 * entry);
    auto* select = reinterpret_cast<PURB>(selectBytes.data());
    UsbBuildSelectConfigurationRequest(
        select, (USHORT)selectBytes.size(),
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()));
    for (int i = 0; i < 2; ++i) {
        auto* itf = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<char*>(&select->UrbSelectConfiguration.Interface) + i * entry);
        itf->Length = (USHORT)entry;
        itf->InterfaceNumber = (UCHAR)i;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_URB(&params, select);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(target, WDF_NO_OBJECT_ATTRIBUTES, &params),
              STATUS_SUCCESS);
    auto* music = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<char*>(&select->UrbSelectConfiguration.Interface) + entry);
    ASSERT_EQ(music->NumberOfPipes, 2u);
    EXPECT_EQ(music->Pipes[0].EndpointAddress, 0x82);
    EXPECT_EQ(music->Pipes[1].PipeHandle, StubUsbDevice::PipeHandle(0x03));

    UCHAR leds = 0x02;
    URB classRequest{};
    UsbBuildVendorRequest(&classRequest, URB_FUNCTION_CLASS_INTERFACE,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0x09, 0x0200, 0, &leds, nullptr, 1,
                          nullptr);
    EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, nullptr, &classRequest),
              STATUS_SUCCESS);
    ASSERT_EQ(usb->ControlRequests().size(), 1u);
    EXPECT_EQ(usb->ControlRequests()[0].request, 0x09);
    EXPECT_THAT(usb->ControlRequests()[0].bytes, ElementsAre(0x02));

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS deconfig;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&deconfig);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(target, WDF_NO_OBJECT_ATTRIBUTES, &deconfig),
              STATUS_SUCCESS);
    EXPECT_EQ(usb->DeconfigureCount(), 1);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, nullptr, &classRequest),
              STATUS_INVALID_DEVICE_STATE);
    KeLowerIrql(old);
    EXPECT_TRUE(TookOneFinding(hostkernel::verifier::kIrql));
}

} // namespace
