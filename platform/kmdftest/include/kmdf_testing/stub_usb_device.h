// A stub USB device below a driver under test (the physical device object of its stack): answers
// descriptor requests and configuration selection, keeps interrupt-IN transfers pending until the
// test completes them with report bytes, and records what is written to it. It checks every URB
// as the bus driver does and refuses a malformed one (wrong header length or function, a pipe
// that the current configuration lacks, transfer flags that do not fit the pipe, a missing or
// short buffer) with a USBD status and a failing NTSTATUS.
#ifndef KMDF_TESTING_STUB_USB_DEVICE_H
#define KMDF_TESTING_STUB_USB_DEVICE_H

#include <wdm.h>
#include <usb.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hostkernel::testing {

// Every field of an OUT transfer as the device received it.
struct UsbOutTransfer {
    UCHAR endpoint;
    std::vector<uint8_t> bytes;
    USHORT headerLength = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG transferFlags = 0;
    ULONG transferBufferLength = 0;
    bool viaMdl = false; // the buffer was described by an MDL alone
};

// Every field of a class or vendor request as the device received it.
struct UsbControlRequest {
    USHORT function; // URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_VENDOR_DEVICE, ...
    UCHAR request;
    USHORT value;
    USHORT index;
    std::vector<uint8_t> bytes; // host-to-device data
    USHORT headerLength = 0;
    ULONG transferFlags = 0;
    UCHAR requestTypeReservedBits = 0;
    ULONG transferBufferLength = 0;
    bool viaMdl = false;
};

class StubUsbDevice {
  public:
    StubUsbDevice(USHORT vendorId = 0x5E3A, USHORT productId = 0x1C07, USHORT bcdDevice = 0x0005);
    ~StubUsbDevice(); // fails pending transfers with STATUS_NO_SUCH_DEVICE and deletes the device
    StubUsbDevice(const StubUsbDevice&) = delete;
    StubUsbDevice& operator=(const StubUsbDevice&) = delete;

    PDEVICE_OBJECT Pdo() const;
    // The top of the stack built on this device: where requests from above are sent.
    PDEVICE_OBJECT TopOfStack() const;

    // Descriptors returned from now on. The default configuration has interface 0 with endpoint
    // 0x81 (interrupt IN) and interface 1 with 0x82 (interrupt IN) and 0x03 (interrupt OUT).
    void SetDeviceDescriptor(const USB_DEVICE_DESCRIPTOR& descriptor);
    void SetConfigurationDescriptor(const std::vector<uint8_t>& descriptor);
    // The handle configuration selection reports for an endpoint (fixed per endpoint address).
    static USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint);

    size_t PendingTransfers(UCHAR endpoint) const;
    // Completes the oldest pending IN transfer of `endpoint` at DISPATCH_LEVEL with these bytes
    // (truncated to the transfer's buffer) and status. False if none is pending.
    bool CompleteTransfer(UCHAR endpoint, const std::vector<uint8_t>& bytes,
                          NTSTATUS status = STATUS_SUCCESS);
    // Fails every pending transfer with `status`.
    void FailPendingTransfers(NTSTATUS status);
    // From now on OUT transfers are recorded on arrival and then kept pending (cancellably),
    // as a device that does not take them yet; false lets them complete at once again.
    void HoldOutTransfers(bool hold);
    // The device leaves the bus, as a pulled cable does before any plug-and-play request says
    // so: pending transfers fail with STATUS_NO_SUCH_DEVICE, and so does every later URB.
    void Disconnect();
    bool IsConnected() const;

    std::vector<UsbOutTransfer> OutTransfers() const;
    std::vector<UsbControlRequest> ControlRequests() const;
    int SelectConfigurationCount() const;
    int DeconfigureCount() const;
    // Minor codes of the plug-and-play requests the device received, in order.
    std::vector<UCHAR> PnpRequests() const;

    // Lets a test answer URBs itself: return true when it completed (filled) the URB with
    // *status; false to let the stub handle it.
    void SetUrbHandler(std::function<bool(PURB urb, NTSTATUS* status)> handler);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

} // namespace hostkernel::testing

#endif
