// Registry state kept and given back around a test (see registry_guards.h).
#include "registry_guards.h"

#include <windows.h>

#include "fake_device.h"
#include "ovtm_identity.h"

namespace ovtm::appapi_test {

using namespace ovtm::wine;

namespace {

const char* const kDrivers32Key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

std::vector<std::string> Drivers32Names() {
    std::vector<std::string> names{"midi"};
    for (int i = 1; i <= 9; ++i) {
        names.push_back("midi" + std::to_string(i));
    }
    return names;
}

} // namespace

Drivers32Snapshot::Drivers32Snapshot() {
    for (const std::string& name : Drivers32Names()) {
        saved_.push_back(ReadRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32Key, name));
    }
}

Drivers32Snapshot::~Drivers32Snapshot() {
    std::vector<std::string> names = Drivers32Names();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (saved_[i]) {
            WriteRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32Key, names[i], saved_[i]->type,
                               saved_[i]->data);
        } else {
            DeleteRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32Key, names[i]);
        }
    }
}

OtherInstancesFiltered::OtherInstancesFiltered(const std::string& exceptInstance) {
    const std::string key =
        std::string("SYSTEM\\CurrentControlSet\\Enum\\") + OVTM_MUSIC_INTERFACE_ID;
    HKEY instances = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &instances) != ERROR_SUCCESS) {
        return;
    }
    char name[260];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(instances, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        const std::string instance = std::string(OVTM_MUSIC_INTERFACE_ID) + "\\" + name;
        if (instance != exceptInstance) {
            saved_.push_back({instance, ReadDeviceValue(instance, "LowerFilters")});
        }
    }
    RegCloseKey(instances);
    for (const Saved& saved : saved_) {
        if (!saved.lowerFilters) {
            WriteRegistryValue(HKEY_LOCAL_MACHINE, DeviceKeyPath(saved.instance), "LowerFilters",
                               REG_MULTI_SZ, MultiStringBytes({"kbdfilter"}));
        }
    }
}

OtherInstancesFiltered::~OtherInstancesFiltered() {
    for (const Saved& saved : saved_) {
        if (saved.lowerFilters) {
            WriteRegistryValue(HKEY_LOCAL_MACHINE, DeviceKeyPath(saved.instance), "LowerFilters",
                               saved.lowerFilters->type, saved.lowerFilters->data);
        } else {
            DeleteRegistryValue(HKEY_LOCAL_MACHINE, DeviceKeyPath(saved.instance), "LowerFilters");
        }
    }
}

} // namespace ovtm::appapi_test
