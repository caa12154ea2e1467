// The registry side of the injection check and the start of the injection command.
#include "injection_start.h"

#include <shellapi.h>

#include <string>

#include "injection_check.h"
#include "ovtm_identity.h"

namespace ovtm::appapi {

namespace {

constexpr const char* kInstancesKey = "SYSTEM\\CurrentControlSet\\Enum\\" OVTM_MUSIC_INTERFACE_ID;
constexpr const char* kInjectionArguments =
    ",InjectFilter " OVTM_MUSIC_INTERFACE_HARDWARE_ID " " OVTM_FILTER_SERVICE_A " -add -lower";
constexpr DWORD kInstanceNameSize = 260;

// The music interface's instances as the registry holds them.
class RegistryInstances : public InstanceRegistry {
  public:
    bool OpenInstances() override {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstancesKey, 0, KEY_READ, &key_) ==
               ERROR_SUCCESS;
    }
    long EnumerateInstance(std::uint32_t index, std::string* name) override {
        char buffer[kInstanceNameSize] = {};
        DWORD size = sizeof(buffer);
        LONG status = RegEnumKeyExA(key_, index, buffer, &size, nullptr, nullptr, nullptr, nullptr);
        name->assign(buffer, strnlen(buffer, sizeof(buffer)));
        return status;
    }
    long QueryLowerFilters(const std::string& instance) override {
        std::string path = std::string(kInstancesKey) + "\\" + instance;
        HKEY instanceKey = nullptr;
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &instanceKey);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        // Only whether the value is there counts, not its contents.
        status = RegQueryValueExA(instanceKey, "LowerFilters", nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(instanceKey);
        return status;
    }
    void CloseInstances() override { RegCloseKey(key_); }

  private:
    HKEY key_ = nullptr;
};

} // namespace

bool NeedsInjection() {
    RegistryInstances registry;
    return ovtm::appapi::NeedsInjection(registry);
}

void RunInjection(HWND window) {
    // The command runs elevated as often as not: rundll32 and OvtmAddf (which the package puts
    // beside it) are named by their full paths in the system directory, and the command runs
    // there, so nothing in the application's folder or working directory is ever started or
    // loaded in their place. For a 32-bit application on 64-bit Windows the same path leads
    // to the 32-bit rundll32 and OvtmAddf.
    char system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    const std::string directory(system, length);
    const std::string program = directory + "\\rundll32.exe";
    const std::string parameters = "\"" + directory + "\\OvtmAddf.dll\"" + kInjectionArguments;
    SHELLEXECUTEINFOA execute{};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.hwnd = window;
    execute.lpVerb = "open";
    execute.lpFile = program.c_str();
    execute.lpParameters = parameters.c_str();
    execute.lpDirectory = directory.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExA(&execute) && execute.hProcess != nullptr) {
        // The command is not waited for; its process handle is not kept either.
        CloseHandle(execute.hProcess);
    }
}

} // namespace ovtm::appapi
