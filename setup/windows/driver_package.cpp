// Driver store, keyboards' filter lists and the filter's service (see driver_package.h).
#include "driver_package.h"

#include <newdev.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "file_bytes.h"
#include "filter_list.h"
#include "ovtm_identity.h"
#include "package_layout.h"
#include "system_error.h"

#include <cctype>

namespace ovtm::setup {

namespace {

// The music interface's hardware id as the INF's models name it.
const char kMusicInterfaceId[] = "USB\\VID_5E3A&PID_1C07&MI_01";

std::string InfFolder() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows) + "\\inf";
}

// Whether the file's text names the package's catalog, in ANSI or UTF-16 (INF files are either).
bool MentionsCatalog(const std::string& path) {
    const std::string text = ReadFileBytes(path).value_or(std::string());
    std::string folded;
    folded.reserve(text.size());
    for (char c : text) {
        if (c != '\0') {
            folded += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    return folded.find(kInfCatalogFile) != std::string::npos;
}

bool IsPackageInf(const std::string& path) {
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        return false;
    }
    INFCONTEXT line;
    char catalog[MAX_PATH] = {};
    bool ours = SetupFindFirstLineA(inf, "Version", "CatalogFile", &line) &&
                SetupGetStringFieldA(&line, 1, catalog, sizeof(catalog), nullptr) &&
                _stricmp(catalog, kInfCatalogFile) == 0;
    SetupCloseInfFile(inf);
    return ours;
}

std::vector<unsigned char> ReadProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr, nullptr, 0, &size);
    std::vector<unsigned char> bytes(size);
    if (size == 0 || !SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr,
                                                        bytes.data(), size, &size)) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

bool IsMusicInterface(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    auto ids = ReadProperty(devices, device, SPDRP_HARDWAREID);
    for (const std::string& id : inject::DecodeFilterList(ids.data(), ids.size())) {
        if (_stricmp(id.c_str(), kMusicInterfaceId) == 0) {
            return true;
        }
    }
    return false;
}

// Calls visit for every instance of the music interface the system knows, present or not.
template <typename Visit> DWORD ForEachMusicInterface(Visit visit) {
    HDEVINFO devices = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        if (IsMusicInterface(devices, &device)) {
            visit(devices, &device);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ERROR_SUCCESS;
}

bool ContainsIgnoringCase(std::string text, const std::string& lowerCasePart) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text.find(lowerCasePart) != std::string::npos;
}

std::string InstanceId(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdA(devices, device, id, sizeof(id), nullptr)) {
        return std::string();
    }
    return id;
}

std::vector<std::string> LowerFilters(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    auto bytes = ReadProperty(devices, device, SPDRP_LOWERFILTERS);
    return inject::DecodeFilterList(bytes.data(), bytes.size());
}

} // namespace

std::vector<std::string> PublishedPackageInfs() {
    // Windows publishes a package's INF as oemNN.inf; other hosts may keep its own name. Every INF
    // of the folder is looked at, those that do not mention the catalog's name only read, not
    // parsed.
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((InfFolder() + "\\*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::string path = InfFolder() + "\\" + found.cFileName;
        if (MentionsCatalog(path) && IsPackageInf(path)) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

StepResult InstallDriverPackage(const std::string& infPath, bool* newlyPublished) {
    *newlyPublished = PublishedPackageInfs().empty();
    char published[MAX_PATH] = {};
    PSTR namePart = nullptr;
    if (!SetupCopyOEMInfA(infPath.c_str(), nullptr, SPOST_PATH, 0, published, MAX_PATH, nullptr,
                          &namePart)) {
        return Failed("SetupCopyOEMInf: " + SystemErrorText(GetLastError()));
    }
    const std::string publishedName = namePart != nullptr ? namePart : published;

    BOOL restart = FALSE;
    std::string onKeyboards;
    if (UpdateDriverForPlugAndPlayDevicesA(nullptr, kMusicInterfaceId, infPath.c_str(), 0,
                                           &restart)) {
        onKeyboards = restart ? "installed on the keyboards present; restart Windows to finish"
                              : "installed on the keyboards present";
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_NO_SUCH_DEVINST) {
            onKeyboards = "no keyboard present: it is installed when one is plugged in";
        } else if (error == ERROR_NO_MORE_ITEMS) {
            onKeyboards = "the keyboards present have it already";
        } else {
            if (*newlyPublished) {
                SetupUninstallOEMInfA(publishedName.c_str(), SUOI_FORCEDELETE, nullptr);
                *newlyPublished = false;
            }
            return Failed("UpdateDriverForPlugAndPlayDevices: " + SystemErrorText(error));
        }
    }
    const std::string detail = publishedName + ", " + onKeyboards;
    return *newlyPublished ? Done(detail) : AlreadyInPlace(detail);
}

StepResult RemoveDriverPackage() {
    const std::vector<std::string> names = PublishedPackageInfs();
    if (names.empty()) {
        return AlreadyInPlace("not in the driver store");
    }
    std::string removed;
    for (const std::string& name : names) {
        if (!SetupUninstallOEMInfA(name.c_str(), SUOI_FORCEDELETE, nullptr)) {
            return Failed("SetupUninstallOEMInf " + name + ": " + SystemErrorText(GetLastError()));
        }
        removed += (removed.empty() ? "" : ", ") + name;
    }
    return Done(removed);
}

StepResult RemoveFilterFromKeyboards(const std::set<std::string>& keep) {
    int edited = 0;
    int failed = 0;
    const DWORD status = ForEachMusicInterface([&](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        if (keep.count(InstanceId(devices, device)) != 0) {
            return;
        }
        std::vector<std::string> names = LowerFilters(devices, device);
        bool changed = false;
        // Every entry goes: a list that names the filter twice keeps none.
        while (auto list = inject::ListWithEntryRemoved(names, OVTM_FILTER_SERVICE_A)) {
            names = inject::DecodeFilterList(list->data(), list->size());
            changed = true;
        }
        if (!changed) {
            return;
        }
        const auto bytes = inject::EncodeFilterList(names);
        if (SetupDiSetDeviceRegistryPropertyA(devices, device, SPDRP_LOWERFILTERS,
                                              bytes.empty() ? nullptr : bytes.data(),
                                              static_cast<DWORD>(bytes.size()))) {
            ++edited;
        } else {
            ++failed;
        }
    });
    if (status != ERROR_SUCCESS) {
        return Failed("listing devices: " + SystemErrorText(status));
    }
    if (failed != 0) {
        return Failed(std::to_string(failed) + " list(s) could not be written");
    }
    return edited == 0 ? AlreadyInPlace("no keyboard lists it")
                       : Done(std::to_string(edited) + " keyboard(s)");
}

StepResult RemoveStoreFilterService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return Failed("service manager: " + SystemErrorText(GetLastError()));
    }
    StepResult result = AlreadyInPlace("no filter service");
    SC_HANDLE service = OpenServiceA(manager, OVTM_FILTER_SERVICE_A,
                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | DELETE);
    if (service != nullptr) {
        DWORD size = 0;
        QueryServiceConfigA(service, nullptr, 0, &size);
        std::vector<unsigned char> buffer(size);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        SERVICE_STATUS state{};
        if (size != 0 && QueryServiceConfigA(service, config, size, &size) &&
            config->lpBinaryPathName != nullptr &&
            ContainsIgnoringCase(config->lpBinaryPathName, "\\driverstore\\")) {
            // A running service is only marked: it goes once the last keyboard's stack lets go
            // of the filter (unplugged, or at the next restart).
            const bool running =
                QueryServiceStatus(service, &state) && state.dwCurrentState != SERVICE_STOPPED;
            if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
                result = Failed("DeleteService: " + SystemErrorText(GetLastError()));
            } else {
                result = Done(running ? "in use: removed when the keyboards are unplugged or "
                                        "at the next restart"
                                      : OVTM_FILTER_SERVICE_A);
            }
        } else {
            result = AlreadyInPlace("left alone: not made from the driver store");
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

std::set<std::string> KeyboardsWithFilter() {
    std::set<std::string> ids;
    ForEachMusicInterface([&](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        if (inject::FindFilterEntry(LowerFilters(devices, device), OVTM_FILTER_SERVICE_A)) {
            ids.insert(InstanceId(devices, device));
        }
    });
    return ids;
}

bool FilterServiceExists() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, OVTM_FILTER_SERVICE_A, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

std::string KeyboardFilterSummary(bool* allFiltered) {
    int keyboards = 0;
    int filtered = 0;
    ForEachMusicInterface([&](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        ++keyboards;
        if (inject::FindFilterEntry(LowerFilters(devices, device), OVTM_FILTER_SERVICE_A)) {
            ++filtered;
        }
    });
    *allFiltered = filtered == keyboards;
    return std::to_string(keyboards) + " keyboard(s) known, " + std::to_string(filtered) +
           " with the filter";
}

} // namespace ovtm::setup
