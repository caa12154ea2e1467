// Device property reads (see device_properties.h). The size is asked first, so a long
// friendly name or filter list is read whole instead of failing or being cut.
#include "device_properties.h"

std::optional<ovtm::inject::PropertyBytes>
ReadDeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property) {
    // A property can change between the two calls; a few attempts settle it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr, nullptr, 0,
                                              &required)) {
            return ovtm::inject::PropertyBytes{};
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
            return std::nullopt;
        }
        ovtm::inject::PropertyBytes bytes(required);
        DWORD written = 0;
        if (SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr, bytes.data(),
                                              required, &written)) {
            bytes.resize(written < required ? written : required);
            return bytes;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}
