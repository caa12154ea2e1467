// FindInterfacePath: the keyboard's device-interface path through SetupAPI.
#include <windows.h>

#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#include "interface_path.h"
#include "ovtm_identity.h"

namespace ovtm::appapi {

namespace {

constexpr GUID kKeyboardInterfaceGuid = OVTM_INTERFACE_GUID_INIT;
constexpr DWORD kSlack = 20; // added to each allocation, as a margin for the terminator

// The path of one interface as a new heap string, or null.
char* InterfacePathOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required == 0) {
        return nullptr;
    }
    auto* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, required + kSlack));
    if (detail == nullptr) {
        return nullptr;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    char* path = nullptr;
    if (SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required + kSlack, nullptr,
                                         nullptr)) {
        std::size_t length = strnlen(detail->DevicePath, required);
        path = static_cast<char*>(std::calloc(1, length + kSlack));
        if (path != nullptr) {
            std::memcpy(path, detail->DevicePath, length);
        }
    }
    std::free(detail);
    return path;
}

} // namespace

char* FindKeyboardInterfacePath() {
    HDEVINFO set = SetupDiGetClassDevsA(&kKeyboardInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    char* path = nullptr;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD index = 0;
         path == nullptr &&
         SetupDiEnumDeviceInterfaces(set, nullptr, &kKeyboardInterfaceGuid, index, &interfaceData);
         ++index) {
        path = InterfacePathOf(set, interfaceData);
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

} // namespace ovtm::appapi
