// Installs the bench's drivers into the prefix it runs in: OvtmFilt.sys as the filter's
// kernel service (Wine's PnP never loads LowerFilters; the HID class stand-in loads it), and
// the virtual USB bus from its INF as a root-enumerated device, then waits for the bus's
// control device. Usage: ovtm_bench_install <folder holding ovtm_vbus.inf, ovtm_vbus.sys and
// OvtmFilt.sys>. Exit code 0 when the bus is up; otherwise what failed is printed.
#include <windows.h>

#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

#include "ovtm_identity.h"
#include "vbus_protocol.h"

namespace {

const wchar_t kBusHardwareId[] = L"ROOT\\OVTM_VIRTUAL_USB_BUS";
const wchar_t kBusInstance[] = L"ROOT\\OVTM_VIRTUAL_USB_BUS\\0000";
constexpr DWORD kBusWaitMs = 20000;

int Fail(const char* what) {
    std::fprintf(stderr, "ovtm_bench_install: %s failed, error %lu\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

// The filter's image goes into a folder of the bench's own below the system's drivers, not
// where the product's INF puts it: the INF's tests copy their OvtmFilt.sys there while this one
// is loaded. Its service is started on demand by the stand-in's ZwLoadDriver.
bool InstallFilterService(const std::wstring& folder) {
    wchar_t system[MAX_PATH];
    if (GetSystemDirectoryW(system, MAX_PATH) == 0) {
        return false;
    }
    const std::wstring imageFolder = std::wstring(system) + L"\\drivers\\ovtm-bench";
    if (!CreateDirectoryW(imageFolder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    const std::wstring image = imageFolder + L"\\OvtmFilt.sys";
    if (!CopyFileW((folder + L"\\OvtmFilt.sys").c_str(), image.c_str(), FALSE)) {
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service =
        CreateServiceW(manager, OVTM_FILTER_SERVICE_W, OVTM_FILTER_SERVICE_W, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    const bool ok = service != nullptr || GetLastError() == ERROR_SERVICE_EXISTS;
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}

bool RegisterBusDevice() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA device = {sizeof(device), {}, 0, 0};
    bool ok = SetupDiCreateDeviceInfoW(set, kBusInstance, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                       0, &device) != FALSE;
    if (ok) {
        // A multi-string: the id, its terminating zero, and the list's.
        std::wstring ids = std::wstring(kBusHardwareId) + L'\0' + L'\0';
        ok = SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids.data()),
                                               static_cast<DWORD>(ids.size() * sizeof(wchar_t)));
    }
    if (ok) {
        ok = SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool BusIsUp() {
    HANDLE bus = CreateFileW(VBUS_PATH_W, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(bus);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(
            stderr,
            "usage: ovtm_bench_install <folder with ovtm_vbus.inf, ovtm_vbus.sys, OvtmFilt.sys>\n");
        return 2;
    }
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, full, nullptr) == 0) {
        return Fail("GetFullPathName");
    }
    const std::wstring folder = full;
    const std::wstring inf = folder + L"\\ovtm_vbus.inf";

    if (!InstallFilterService(folder)) {
        return Fail("installing the OvtmFilt service");
    }
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
        return Fail("SetupCopyOEMInf");
    }
    if (!RegisterBusDevice()) {
        return Fail("registering the bus's root device");
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareId, inf.c_str(), INSTALLFLAG_FORCE,
                                            &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices");
    }
    const DWORD start = GetTickCount();
    while (!BusIsUp()) {
        if (GetTickCount() - start > kBusWaitMs) {
            return Fail("waiting for the bus's control device");
        }
        Sleep(20);
    }
    std::printf("ovtm_bench_install: bus and filter installed\n");
    return 0;
}
