// Installing the package into the demo's prefix (see product_setup.h).
#include "product_setup.h"

#include <vector>

#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "process_runner.h"
#include "wine_registry.h"

namespace ovtm::demo {

using namespace ovtm::wine;

const char kDrivers32Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

DWORD RunPackageSetup(const std::string& package, const std::string& command, std::string* output) {
    const std::string folder = package + "\\amd64";
    ProcessResult result =
        RunProcess("\"" + folder + "\\OvtmSetup.exe\" " + command, folder, 60000);
    *output = result.started ? result.output : result.Why();
    return result.started ? result.exitCode : 0xFFFFFFFF;
}

HANDLE OpenNotifierProcess() {
    HWND window = FindWindowA(OVTM_NOTIFY_WINDOW_CLASS, OVTM_NOTIFY_WINDOW_TITLE);
    if (window == nullptr) {
        return nullptr;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE,
                       processId);
}

bool SendShutdownQuery() {
    HWND window = FindWindowA(OVTM_NOTIFY_WINDOW_CLASS, OVTM_NOTIFY_WINDOW_TITLE);
    if (window == nullptr) {
        return false;
    }
    // A shutdown query carries no flags in lParam; the notifier ends without answering it.
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    return true;
}

void RegisterMidiShim() {
    WriteRegistryString(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio", "melodixmidi");
}

std::string LowerFiltersOfMusicInterface() {
    const std::string key =
        std::string("SYSTEM\\CurrentControlSet\\Enum\\") + OVTM_MUSIC_INTERFACE_ID;
    HKEY instances = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &instances) != ERROR_SUCCESS) {
        return "";
    }
    std::string found;
    char name[260];
    for (DWORD index = 0; found.empty(); ++index) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(instances, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        auto value = ReadRegistryValue(HKEY_LOCAL_MACHINE, key + "\\" + name, "LowerFilters");
        if (value) {
            for (const std::string& filter : value->Strings()) {
                found += (found.empty() ? "" : " ") + filter;
            }
        }
    }
    RegCloseKey(instances);
    return found;
}

std::string Drivers32EntryOfMidiDriver() {
    for (int i = 0; i <= 9; ++i) {
        const std::string name = i == 0 ? "midi" : "midi" + std::to_string(i);
        auto value = ReadRegistryValue(HKEY_LOCAL_MACHINE, kDrivers32Key, name);
        if (value && _stricmp(value->Text().c_str(), "OvtmMidi.dll") == 0) {
            return name + "=" + value->Text();
        }
    }
    return "";
}

} // namespace ovtm::demo
