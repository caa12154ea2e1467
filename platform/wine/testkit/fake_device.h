// Fake device instances for Wine-tier tests: keys under HKLM\System\CurrentControlSet\Enum with
// the values SetupAPI reports as device properties, so a device search finds them like real ones.
#pragma once

#include "wine_registry.h"

#include <optional>
#include <string>
#include <vector>

namespace ovtm::wine {

// The HID class; any REG_SZ class GUID makes SetupAPI list the instance.
inline constexpr const char* kHidClassGuidText = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";

struct FakeDevice {
    // Instance path below Enum, e.g. "USB\\VID_5E3A&PID_1C07&MI_01\\7&2a&0&0001".
    std::string instanceId;
    std::string classGuid = kHidClassGuidText;
    std::vector<std::string> hardwareIds;          // HardwareID, a multi-string; none: no value
    std::optional<std::string> friendlyName;       // FriendlyName
    std::optional<std::string> description;        // DeviceDesc
    std::optional<std::string> location;           // LocationInformation
    std::optional<std::vector<BYTE>> lowerFilters; // LowerFilters, raw bytes (REG_MULTI_SZ)
};

// The device's key path below HKEY_LOCAL_MACHINE.
std::string DeviceKeyPath(const std::string& instanceId);

// Creates the instance afresh (an older key of that path is deleted first).
bool CreateFakeDevice(const FakeDevice& device);
bool RemoveFakeDevice(const std::string& instanceId);
// A value of the device's key, e.g. "LowerFilters"; nullopt when absent.
std::optional<RegistryValue> ReadDeviceValue(const std::string& instanceId,
                                             const std::string& valueName);

// Removes every instance below Enum\<enumerator>\<deviceId-prefix...> whose device id starts
// with prefix; tests give their fakes a common prefix and sweep them away with this.
void RemoveFakeDevices(const std::string& enumerator, const std::string& deviceIdPrefix);

} // namespace ovtm::wine
