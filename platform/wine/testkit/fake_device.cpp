// Fake device instances for Wine-tier tests (see fake_device.h).
#include "fake_device.h"

#include <cstring>

namespace ovtm::wine {

namespace {
const char kEnumKey[] = "System\\CurrentControlSet\\Enum";
}

std::string DeviceKeyPath(const std::string& instanceId) {
    return std::string(kEnumKey) + "\\" + instanceId;
}

bool CreateFakeDevice(const FakeDevice& device) {
    const std::string key = DeviceKeyPath(device.instanceId);
    if (!DeleteRegistryTree(HKEY_LOCAL_MACHINE, key)) {
        return false;
    }
    bool ok = WriteRegistryString(HKEY_LOCAL_MACHINE, key, "ClassGUID", device.classGuid);
    if (!device.hardwareIds.empty()) {
        ok = ok && WriteRegistryValue(HKEY_LOCAL_MACHINE, key, "HardwareID", REG_MULTI_SZ,
                                      MultiStringBytes(device.hardwareIds));
    }
    if (device.friendlyName) {
        ok = ok &&
             WriteRegistryString(HKEY_LOCAL_MACHINE, key, "FriendlyName", *device.friendlyName);
    }
    if (device.description) {
        ok = ok && WriteRegistryString(HKEY_LOCAL_MACHINE, key, "DeviceDesc", *device.description);
    }
    if (device.location) {
        ok = ok &&
             WriteRegistryString(HKEY_LOCAL_MACHINE, key, "LocationInformation", *device.location);
    }
    if (device.lowerFilters) {
        ok = ok && WriteRegistryValue(HKEY_LOCAL_MACHINE, key, "LowerFilters", REG_MULTI_SZ,
                                      *device.lowerFilters);
    }
    return ok;
}

bool RemoveFakeDevice(const std::string& instanceId) {
    return DeleteRegistryTree(HKEY_LOCAL_MACHINE, DeviceKeyPath(instanceId));
}

std::optional<RegistryValue> ReadDeviceValue(const std::string& instanceId,
                                             const std::string& valueName) {
    return ReadRegistryValue(HKEY_LOCAL_MACHINE, DeviceKeyPath(instanceId), valueName);
}

void RemoveFakeDevices(const std::string& enumerator, const std::string& deviceIdPrefix) {
    const std::string parent = std::string(kEnumKey) + "\\" + enumerator;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::string> doomed;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (_strnicmp(name, deviceIdPrefix.c_str(), deviceIdPrefix.size()) == 0) {
            doomed.emplace_back(name);
        }
    }
    RegCloseKey(handle);
    for (const auto& deviceId : doomed) {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, parent + "\\" + deviceId);
    }
}

} // namespace ovtm::wine
