// The device INF's sections applied by Wine's real SetupAPI, as the device installer applies
// them to a keyboard: the service section creates the filter's kernel service run from the
// driver store, and the hardware section puts the filter into a device's lower filter list
// without dropping others or adding it twice.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include "fake_device.h"
#include "process_runner.h"
#include "wine_registry.h"

#include <string>
#include <vector>

using namespace ovtm::wine;

namespace {

const char kServiceKey[] = "System\\CurrentControlSet\\Services\\OvtmFilt";
// The fakes of these tests live below Enum\USB\VID_0BEC&PID_F11E...
const char kFakeEnumerator[] = "USB";
const char kFakePrefix[] = "VID_0BEC&PID_F11E";

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Where SetupAPI puts the INF's files (DIRID 13, the driver store), as it resolves it.
std::string DriverStoreImage(HINF inf) {
    wchar_t folder[MAX_PATH] = {};
    if (!SetupGetTargetPathW(inf, nullptr, L"Melodix_Driver_Files", folder, MAX_PATH, nullptr))
        return "<DIRID 13 unresolved, error " + std::to_string(GetLastError()) + ">";
    std::wstring wide = folder;
    return std::string(wide.begin(), wide.end()) + "\\OvtmFilt.sys";
}

// What the service section changes in the shared bench prefix, put back as it was afterwards:
// a filter service that other tests set up gets its configuration back (a new one is deleted).
class PrefixRestorer {
  public:
    PrefixRestorer() {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(manager_, L"OvtmFilt", SERVICE_ALL_ACCESS);
        if (service) {
            DWORD size = 0;
            QueryServiceConfigW(service, nullptr, 0, &size);
            serviceConfig_.resize(size);
            if (!QueryServiceConfigW(service, ServiceConfig(), size, &size))
                serviceConfig_.clear();
            CloseServiceHandle(service);
        }
    }
    ~PrefixRestorer() {
        if (SC_HANDLE service = OpenServiceW(manager_, L"OvtmFilt", SERVICE_ALL_ACCESS)) {
            if (serviceConfig_.empty()) {
                DeleteService(service);
            } else {
                const QUERY_SERVICE_CONFIGW* old = ServiceConfig();
                ChangeServiceConfigW(service, old->dwServiceType, old->dwStartType,
                                     old->dwErrorControl, old->lpBinaryPathName,
                                     old->lpLoadOrderGroup, nullptr, old->lpDependencies, nullptr,
                                     nullptr, old->lpDisplayName);
            }
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager_);
    }

  private:
    QUERY_SERVICE_CONFIGW* ServiceConfig() {
        return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(serviceConfig_.data());
    }

    SC_HANDLE manager_ = nullptr;
    std::vector<BYTE> serviceConfig_; // empty: the service did not exist
};

class ProductInfUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        inf_ = SetupOpenInfFileW(Wide(TestDirectory() + "\\ovtm.inf").c_str(), nullptr,
                                 INF_STYLE_WIN4, nullptr);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        RemoveFakeDevices(kFakeEnumerator, kFakePrefix);
    }
    void TearDown() override {
        if (inf_ != INVALID_HANDLE_VALUE)
            SetupCloseInfFile(inf_);
        RemoveFakeDevices(kFakeEnumerator, kFakePrefix);
    }

    // The hardware section applied to a device's key, as for a device being installed.
    void InstallHardwareSection(const std::string& instanceId) {
        HKEY device = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceKeyPath(instanceId).c_str(), 0,
                                KEY_ALL_ACCESS, &device),
                  ERROR_SUCCESS);
        BOOL installed =
            SetupInstallFromInfSectionW(nullptr, inf_, L"Melodix_Inst.NTamd64.HW", SPINST_REGISTRY,
                                        device, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(device);
        ASSERT_TRUE(installed) << "error " << GetLastError();
    }

    std::string Device(const std::string& name, const std::vector<std::string>& lowerFilters) {
        FakeDevice device;
        device.instanceId = std::string(kFakeEnumerator) + "\\" + kFakePrefix + "_" + name + "\\1";
        device.hardwareIds = {"USB\\VID_5E3A&PID_1C07&MI_01"};
        device.description = "music interface";
        device.lowerFilters = MultiStringBytes(lowerFilters);
        EXPECT_TRUE(CreateFakeDevice(device));
        return device.instanceId;
    }

    static std::vector<std::string> LowerFilters(const std::string& instanceId) {
        auto value = ReadDeviceValue(instanceId, "LowerFilters");
        if (!value)
            return {"<absent>"};
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_MULTI_SZ));
        return value->Strings();
    }

    PrefixRestorer restorer_;
    HINF inf_ = INVALID_HANDLE_VALUE;
};

TEST_F(ProductInfUnderWine, CreatesTheFilterAsADemandStartKernelService) {
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf_, L"Melodix_Inst.NTamd64.Services", 0))
        << "error " << GetLastError();

    auto dword = [](const char* name) {
        auto value = ReadRegistryValue(HKEY_LOCAL_MACHINE, kServiceKey, name);
        EXPECT_TRUE(value && value->type == REG_DWORD && value->data.size() == 4) << name;
        DWORD number = 0;
        if (value && value->data.size() == 4)
            memcpy(&number, value->data.data(), 4);
        return number;
    };
    EXPECT_EQ(dword("Type"), static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(dword("Start"), static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(dword("ErrorControl"), static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    auto image = ReadRegistryValue(HKEY_LOCAL_MACHINE, kServiceKey, "ImagePath");
    ASSERT_TRUE(image);
    // The service runs the image from where the INF's files go. (Wine 8 does not know DIRID 13
    // and resolves it to system32\unknown; Windows to the package's driver store folder.)
    EXPECT_EQ(image->Text(), DriverStoreImage(inf_));

    // Installing a second time (a second keyboard) keeps the one service as it is.
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf_, L"Melodix_Inst.NTamd64.Services", 0))
        << "error " << GetLastError();
    EXPECT_EQ(dword("Start"), static_cast<DWORD>(SERVICE_DEMAND_START));
}

TEST_F(ProductInfUnderWine, AddsTheFilterOnceAndKeepsOtherLowerFilters) {
    // A device with no filter yet carries an empty list here: Wine's SetupAPI appends only to an
    // existing value, while Windows creates it (see platform/wine/README.md).
    const std::string fresh = Device("FRESH", {});
    const std::string shared = Device("SHARED", {"OtherFilt"});
    const std::string present = Device("PRESENT", {"ovtmfilt"});

    for (const auto& device : {fresh, shared, present})
        InstallHardwareSection(device);
    EXPECT_EQ(LowerFilters(fresh), std::vector<std::string>({"OvtmFilt"}));
    EXPECT_EQ(LowerFilters(shared), std::vector<std::string>({"OtherFilt", "OvtmFilt"}));
    EXPECT_EQ(LowerFilters(present), std::vector<std::string>({"ovtmfilt"}));

    // Reinstalling the driver (a replug on another port) does not add the filter twice.
    InstallHardwareSection(shared);
    EXPECT_EQ(LowerFilters(shared), std::vector<std::string>({"OtherFilt", "OvtmFilt"}));
}

} // namespace
