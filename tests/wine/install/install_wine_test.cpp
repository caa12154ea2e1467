// The product INF applied by the real SetupAPI: the install section copies the five binaries and
// adds the notifier's run entry, the service section creates the filter's kernel service, and the
// hardware section puts the filter into a device's lower filter list without dropping others.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include "fake_device.h"
#include "process_runner.h"
#include "wine_registry.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace ovtm::wine;

namespace {

const char kServiceKey[] = "System\\CurrentControlSet\\Services\\OvtmFilt";
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* const kSystemFiles[] = {"OvtmMidi.dll", "OvtmApi.dll", "OvtmAddf.dll", "OvtmNtfy.exe"};
// The fakes of these tests live below Enum\USB\VID_0BEC&PID_F11E...
const char kFakeEnumerator[] = "USB";
const char kFakePrefix[] = "VID_0BEC&PID_F11E";

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::vector<char> FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string SystemFolder() {
    char path[MAX_PATH] = {};
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

// The queue callback of an unattended install: every copy goes ahead; a missing source or a
// failed copy aborts the queue (the default callback would ask a person) and is remembered.
struct UnattendedQueue {
    std::vector<std::wstring> failures;

    static UINT CALLBACK Callback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
        auto* self = static_cast<UnattendedQueue*>(context);
        switch (notification) {
        case SPFILENOTIFY_STARTQUEUE:
        case SPFILENOTIFY_STARTSUBQUEUE:
            return TRUE;
        case SPFILENOTIFY_STARTCOPY:
            return FILEOP_DOIT;
        case SPFILENOTIFY_NEEDMEDIA: {
            // The media is there when the file is: the package folder is the only source.
            auto* media = reinterpret_cast<PSOURCE_MEDIA_W>(param1);
            std::wstring source = std::wstring(media->SourcePath) + L"\\" + media->SourceFile;
            if (GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES)
                return FILEOP_DOIT;
            self->failures.push_back(L"missing source: " + source);
            return FILEOP_ABORT;
        }
        case SPFILENOTIFY_COPYERROR:
            self->failures.push_back(L"copy error: " +
                                     std::wstring(reinterpret_cast<PFILEPATHS_W>(param1)->Source));
            return FILEOP_ABORT;
        default:
            return NO_ERROR;
        }
    }
};

// What an install changes in the shared bench prefix, put back as it was afterwards: files and
// the run entry that were not there are removed, and a filter service that other tests set up
// gets its configuration back (a new one is deleted).
class PrefixRestorer {
  public:
    PrefixRestorer() {
        for (const std::string& path : InstalledPaths())
            if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                newFiles_.push_back(path);
        hadRunEntry_ = ReadRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, "OvtmNtfy").has_value();
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
        for (const std::string& path : newFiles_)
            DeleteFileA(path.c_str());
        if (!hadRunEntry_)
            DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, "OvtmNtfy");
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

    static std::vector<std::string> InstalledPaths() {
        std::vector<std::string> paths = {SystemFolder() + "\\drivers\\OvtmFilt.sys"};
        for (const char* file : kSystemFiles)
            paths.push_back(SystemFolder() + "\\" + file);
        return paths;
    }

  private:
    QUERY_SERVICE_CONFIGW* ServiceConfig() {
        return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(serviceConfig_.data());
    }

    std::vector<std::string> newFiles_;
    bool hadRunEntry_ = false;
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

    // The install section as the device installer applies it: files first, then registry.
    void InstallFilesAndRegistry() {
        UnattendedQueue queue;
        BOOL installed = SetupInstallFromInfSectionW(
            nullptr, inf_, L"Melodix_Inst.NT", SPINST_FILES | SPINST_REGISTRY, nullptr,
            Wide(TestDirectory()).c_str(), 0, UnattendedQueue::Callback, &queue, nullptr, nullptr);
        DWORD error = GetLastError();
        for (const auto& failure : queue.failures)
            ADD_FAILURE() << std::string(failure.begin(), failure.end());
        ASSERT_TRUE(installed) << "error " << error;
    }

    // The hardware section applied to a device's key, as for a device being installed.
    void InstallHardwareSection(const std::string& instanceId) {
        HKEY device = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceKeyPath(instanceId).c_str(), 0,
                                KEY_ALL_ACCESS, &device),
                  ERROR_SUCCESS);
        BOOL installed =
            SetupInstallFromInfSectionW(nullptr, inf_, L"Melodix_Inst.NT.HW", SPINST_REGISTRY,
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

TEST_F(ProductInfUnderWine, CopiesTheDriverAndTheUserModeFilesUnchanged) {
    InstallFilesAndRegistry();

    for (const std::string& path : PrefixRestorer::InstalledPaths()) {
        const std::string name = path.substr(path.rfind('\\') + 1);
        auto copied = FileBytes(path);
        EXPECT_FALSE(copied.empty()) << path;
        EXPECT_EQ(copied, FileBytes(TestDirectory() + "\\" + name)) << path;
    }
}

TEST_F(ProductInfUnderWine, StartsTheNotifierAtLogonWithItsSwitch) {
    InstallFilesAndRegistry();

    auto run = ReadRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, "OvtmNtfy");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(run->Text(), "\"" + SystemFolder() + "\\OvtmNtfy.exe\" -startup");
}

TEST_F(ProductInfUnderWine, CreatesTheFilterAsADemandStartKernelService) {
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf_, L"Melodix_Inst.NT.Services", 0))
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
    EXPECT_EQ(image->Text(), SystemFolder() + "\\drivers\\OvtmFilt.sys");

    // Installing a second time (a second keyboard) keeps the one service as it is.
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf_, L"Melodix_Inst.NT.Services", 0))
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
