// Driver objects: loading a driver through its entry point, unloading it, and attributing the
// code that runs (and the pool it allocates) to the driver it belongs to.
#include "kernel_internal.h"

#include <hostkernel/user_io.h>

#include <algorithm>
#include <list>

namespace hostkernel::detail {

namespace {

struct LoadedDriver {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::wstring name;
    std::wstring serviceName;
    std::wstring registryPath;
    PDRIVER_UNLOAD entryFailureCleanup = nullptr;
};

struct DriverTable {
    std::mutex mutex;
    std::list<LoadedDriver> drivers;
};

DriverTable& Drivers() {
    static DriverTable table;
    return table;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING& string, std::wstring& storage) {
    string.Buffer = storage.data();
    string.Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
}

} // namespace

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return "the I/O manager";
    return Narrow(FromUnicodeString(&driver->DriverName));
}

void UnloadAllDrivers() {
    for (;;) {
        PDRIVER_OBJECT driver = nullptr;
        {
            DriverTable& table = Drivers();
            std::lock_guard<std::mutex> guard(table.mutex);
            if (table.drivers.empty())
                return;
            driver = &table.drivers.back().object;
        }
        UnloadDriver(driver);
    }
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel {

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(CurrentDriver()) {
    CurrentDriver() = driver;
}
DriverScope::~DriverScope() {
    CurrentDriver() = previous_;
}

PDRIVER_OBJECT LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    EnsureStarted();
    DriverTable& table = Drivers();
    LoadedDriver* loaded;
    {
        std::lock_guard<std::mutex> guard(table.mutex);
        table.drivers.emplace_back();
        loaded = &table.drivers.back();
    }
    memset(&loaded->object, 0, sizeof(loaded->object));
    memset(&loaded->extension, 0, sizeof(loaded->extension));
    loaded->name = L"\\Driver\\" + name;
    loaded->serviceName = name;
    loaded->registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
    PDRIVER_OBJECT driver = &loaded->object;
    driver->Type = 4; /* IO_TYPE_DRIVER */
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &loaded->extension;
    loaded->extension.DriverObject = driver;
    SetString(driver->DriverName, loaded->name);
    SetString(loaded->extension.ServiceKeyName, loaded->serviceName);
    driver->DriverInit = entry;
    for (auto& dispatch : driver->MajorFunction)
        dispatch = InvalidDeviceRequest;
    UNICODE_STRING registryPath;
    SetString(registryPath, loaded->registryPath);
    NTSTATUS result;
    {
        DriverScope scope(driver);
        result = entry(driver, &registryPath);
    }
    if (status != nullptr)
        *status = result;
    if (!NT_SUCCESS(result)) {
        PDRIVER_UNLOAD cleanup = nullptr;
        {
            std::lock_guard<std::mutex> guard(table.mutex);
            for (auto& d : table.drivers)
                if (&d.object == driver)
                    cleanup = d.entryFailureCleanup;
        }
        if (cleanup != nullptr) {
            DriverScope scope(driver);
            cleanup(driver);
        }
        DeleteAllDevicesOf(driver);
        std::string outstanding = PoolOutstandingOf(driver, true);
        if (!outstanding.empty())
            verifier::Report(verifier::kPoolBalance,
                             Format("%s failed its entry point (0x%08x) and left pool behind: %s",
                                    DriverName(driver).c_str(), static_cast<unsigned>(result),
                                    outstanding.c_str()));
        std::lock_guard<std::mutex> guard(table.mutex);
        table.drivers.remove_if([&](const LoadedDriver& d) { return &d.object == driver; });
        return nullptr;
    }
    return driver;
}

void SetEntryFailureCleanup(PDRIVER_OBJECT driver, PDRIVER_UNLOAD cleanup) {
    DriverTable& table = Drivers();
    std::lock_guard<std::mutex> guard(table.mutex);
    for (auto& d : table.drivers)
        if (&d.object == driver)
            d.entryFailureCleanup = cleanup;
}

bool DriverLoaded(PDRIVER_OBJECT driver) {
    DriverTable& table = Drivers();
    std::lock_guard<std::mutex> guard(table.mutex);
    for (const auto& d : table.drivers)
        if (&d.object == driver)
            return true;
    return false;
}

void RemoveAllDeviceStacks() {
    std::vector<PDEVICE_OBJECT> tried;
    for (int round = 0; round < 256; ++round) {
        PDEVICE_OBJECT top = nullptr;
        {
            DriverTable& table = Drivers();
            std::lock_guard<std::mutex> guard(table.mutex);
            for (auto& d : table.drivers) {
                for (PDEVICE_OBJECT device = d.object.DeviceObject;
                     device != nullptr && top == nullptr; device = device->NextDevice) {
                    if (device->AttachedDevice != nullptr || !IsAttachedToLower(device))
                        continue;
                    if (std::find(tried.begin(), tried.end(), device) != tried.end())
                        continue;
                    top = device;
                }
            }
        }
        if (top == nullptr)
            return;
        tried.push_back(top);
        PendingIo io = SendIrp(top, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
        if (!io.Wait(std::chrono::seconds(10)))
            verifier::Report(verifier::kRequestLeftBehind,
                             "IRP_MN_REMOVE_DEVICE not completed at the end of the run");
    }
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) {
        DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    Settle();
    if (driver->DeviceObject != nullptr) {
        verifier::Report(
            verifier::kRequestLeftBehind,
            Format("%s unloaded with devices still present", DriverName(driver).c_str()));
        DeleteAllDevicesOf(driver);
    }
    std::string outstanding = PoolOutstandingOf(driver, true);
    if (!outstanding.empty())
        verifier::Report(verifier::kPoolBalance,
                         Format("%s unloaded with pool still allocated: %s",
                                DriverName(driver).c_str(), outstanding.c_str()));
    DriverTable& table = Drivers();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.drivers.remove_if([&](const LoadedDriver& d) { return &d.object == driver; });
}

} // namespace hostkernel
