// Device search and the per-device edit of the injection command (see device_search.h).
#include "device_search.h"

#include <windows.h>
#include <setupapi.h>
// mingw-w64's hidsdi.h declares its functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include "device_properties.h"
#include "filter_list.h"
#include "midi_registration.h"

using namespace ovtm::inject;

namespace {

// The properties that can name a device, in the order they are compared.
const DWORD kMatchedProperties[] = {SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC,
                                    SPDRP_LOCATION_INFORMATION, SPDRP_HARDWAREID};

bool DeviceMatches(HDEVINFO devices, SP_DEVINFO_DATA* device, const std::string& hardwareId) {
    for (DWORD property : kMatchedProperties) {
        if (PropertyMatches(ReadDeviceProperty(devices, device, property), hardwareId)) {
            return true;
        }
    }
    return false;
}

void WriteLowerFilters(HDEVINFO devices, SP_DEVINFO_DATA* device, const FilterListBytes& list) {
    // An empty list is written with size 0; the result is not checked, as nothing could be
    // done about a failure from inside rundll32.
    SetupDiSetDeviceRegistryPropertyA(devices, device, SPDRP_LOWERFILTERS,
                                      list.empty() ? nullptr : list.data(),
                                      static_cast<DWORD>(list.size()));
}

void EditDevice(HDEVINFO devices, SP_DEVINFO_DATA* device, const InjectArguments& arguments) {
    // An unreadable or empty property is an empty list.
    std::vector<std::string> names;
    if (auto bytes = ReadDeviceProperty(devices, device, SPDRP_LOWERFILTERS)) {
        names = DecodeFilterList(bytes->data(), bytes->size());
    }

    if (arguments.mode == InjectMode::Remove) {
        if (auto edited = ListWithEntryRemoved(names, arguments.reference)) {
            WriteLowerFilters(devices, device, *edited);
        }
        UnregisterMidiDriver();
        return;
    }

    // A list that names the service already is left as it is.
    if (auto edited =
            ListWithServiceAdded(names, arguments.mode, arguments.reference, arguments.service)) {
        WriteLowerFilters(devices, device, *edited);
    }
    RegisterMidiDriver();
}

} // namespace

void InjectIntoMatchingDevices(HWND window, const InjectArguments& arguments) {
    // With DIGCF_ALLCLASSES the class does not narrow the set: every device of every class in
    // the current profile is listed, present or not.
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO devices =
        SetupDiGetClassDevsA(&hidClass, nullptr, window, DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        if (DeviceMatches(devices, &device, arguments.hardwareId)) {
            EditDevice(devices, &device, arguments);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
}
