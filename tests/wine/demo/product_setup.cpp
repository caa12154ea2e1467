// Installing the package into the demo's prefix (see product_setup.h).
#include "product_setup.h"

#include <setupapi.h>

#include <vector>

#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "wine_registry.h"

namespace ovtm::demo {

using namespace ovtm::wine;

namespace {

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kDrivers32Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

// An unattended queue: every copy goes ahead; a missing source or a failed copy aborts the
// queue instead of asking a person, and is remembered.
struct UnattendedQueue {
    std::string failure;

    static UINT CALLBACK Callback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
        auto* self = static_cast<UnattendedQueue*>(context);
        switch (notification) {
        case SPFILENOTIFY_STARTQUEUE:
        case SPFILENOTIFY_STARTSUBQUEUE:
            return TRUE;
        case SPFILENOTIFY_STARTCOPY:
            return FILEOP_DOIT;
        case SPFILENOTIFY_NEEDMEDIA: {
            auto* media = reinterpret_cast<PSOURCE_MEDIA_A>(param1);
            std::string source = std::string(media->SourcePath) + "\\" + media->SourceFile;
            if (GetFileAttributesA(source.c_str()) != INVALID_FILE_ATTRIBUTES) {
                return FILEOP_DOIT;
            }
            self->failure = "missing " + source;
            return FILEOP_ABORT;
        }
        case SPFILENOTIFY_COPYERROR:
            self->failure =
                std::string("cannot copy ") + reinterpret_cast<PFILEPATHS_A>(param1)->Source;
            return FILEOP_ABORT;
        default:
            return NO_ERROR;
        }
    }
};

} // namespace

bool InstallProductInf(const std::string& folder, std::string* problem) {
    const std::string path = folder + "\\ovtm.inf";
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        *problem = "cannot open " + path + ", error " + std::to_string(GetLastError());
        return false;
    }
    UnattendedQueue queue;
    bool ok = SetupInstallFromInfSectionA(nullptr, inf, "Melodix_Inst.NT",
                                          SPINST_FILES | SPINST_REGISTRY, nullptr, folder.c_str(),
                                          0, UnattendedQueue::Callback, &queue, nullptr, nullptr);
    if (!ok) {
        *problem =
            "install section: " +
            (queue.failure.empty() ? "error " + std::to_string(GetLastError()) : queue.failure);
    } else if (!SetupInstallServicesFromInfSectionA(inf, "Melodix_Inst.NT.Services", 0)) {
        *problem = "service section: error " + std::to_string(GetLastError());
        ok = false;
    }
    SetupCloseInfFile(inf);
    return ok;
}

HANDLE StartNotifierFromRunEntry(std::string* commandLine) {
    auto run = ReadRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, "OvtmNtfy");
    if (!run) {
        return nullptr;
    }
    *commandLine = run->Text();
    std::vector<char> line(commandLine->begin(), commandLine->end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    // Its window is what the system's end-of-session query reaches.
    for (int i = 0;
         i < 500 && FindWindowA(OVTM_NOTIFY_WINDOW_CLASS, OVTM_NOTIFY_WINDOW_TITLE) == nullptr;
         ++i) {
        Sleep(20);
    }
    return process.hProcess;
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
