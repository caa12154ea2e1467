// The filter service's device count.
#include "filter_service.h"

#include "ovtm_identity.h"

namespace ovtm::appapi {

DWORD FilterServiceDeviceCount() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\" OVTM_FILTER_SERVICE_A "\\Enum", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD type = REG_NONE;
    DWORD count = 0;
    DWORD size = sizeof(count);
    LONG status =
        RegQueryValueExA(key, "Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(count)) {
        return 0;
    }
    return count;
}

} // namespace ovtm::appapi
