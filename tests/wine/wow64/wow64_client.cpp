// A 32-bit program on 64-bit Windows as the WoW64 test sees it (wow64_wine_steps): what it is,
// which MIDI driver and registry view its winmm uses, and, as the companion application's
// stand-in, the 0x626 events the installed OvtmApi.dll delivers to its window.
// Usage: wow64_client midi
//        wow64_client companion READY_EVENT_NAME LAST_EVENT TIMEOUT_MS
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_application.h"

namespace {

const char kDrivers32Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

void PrintProcessKind() {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    std::printf("process: %d-bit%s\n", static_cast<int>(sizeof(void*) * 8),
                wow64 ? " on 64-bit Windows" : "");
}

// The full path of a module loaded in this process, or "(not loaded)".
std::string ModulePath(const char* name) {
    HMODULE module = GetModuleHandleA(name);
    char path[MAX_PATH] = {};
    if (module == nullptr || GetModuleFileNameA(module, path, MAX_PATH) == 0) {
        return "(not loaded)";
    }
    return path;
}

// The loaded image's header as "machine 0x..., image size N, checksum 0x...", or "(not loaded)":
// the test compares it with the file it expects the module to come from (Wine names the 32-bit
// system folder system32 in a 32-bit program's module paths; Windows names it SysWOW64).
std::string ModuleImage(const char* name) {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(name));
    if (base == nullptr) {
        return "(not loaded)";
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    char text[96];
    std::snprintf(text, sizeof(text), "machine 0x%x, image size %lu, checksum 0x%lx",
                  nt->FileHeader.Machine,
                  static_cast<unsigned long>(nt->OptionalHeader.SizeOfImage),
                  static_cast<unsigned long>(nt->OptionalHeader.CheckSum));
    return text;
}

// The Drivers32 entries naming MIDI drivers, as this process's registry view holds them (the
// 32-bit view for a 32-bit program: what its winmm reads on Windows).
void PrintDrivers32() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::printf("Drivers32: (no key)\n");
        return;
    }
    for (DWORD index = 0;; ++index) {
        char name[64] = {};
        char data[MAX_PATH] = {};
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                          reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ && _strnicmp(name, "midi", 4) == 0) {
            std::printf("Drivers32: %s=%s\n", name, data);
        }
    }
    RegCloseKey(key);
}

int ReportMidi() {
    PrintProcessKind();
    PrintDrivers32();
    const UINT inputs = midiInGetNumDevs();
    for (UINT id = 0; id < inputs; ++id) {
        MIDIINCAPSA caps{};
        if (midiInGetDevCapsA(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
            std::printf("MIDI input %u: %s\n", id, caps.szPname);
        }
    }
    std::printf("MIDI driver: %s\n", ModulePath("OvtmMidi.dll").c_str());
    std::printf("MIDI driver image: %s\n", ModuleImage("OvtmMidi.dll").c_str());
    return 0;
}

// Creates, registers its window and opens as the companion application does, sets the ready
// event, then prints every event value its window receives until `last` has come or the time is
// up. Exit 0 once `last` came, 1 without it, 2 when the library did not load or open.
int ListenAsCompanion(const char* readyName, uint32_t last, DWORD timeoutMs) {
    PrintProcessKind();
    ovtm::appapi_test::TestApplication application;
    std::printf("library: %s\n", ModulePath("OvtmApi.dll").c_str());
    std::printf("library image: %s\n", ModuleImage("OvtmApi.dll").c_str());
    if (!application.Loaded()) {
        return 2;
    }
    const UINT32 opened = application.CreateRegisterAndOpen();
    std::printf("open: 0x%x\n", opened);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    if (ready != nullptr) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    if (opened != 0) {
        return 2;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool lastCame = false;
    while (!lastCame && GetTickCount64() < deadline) {
        application.Pump(20);
        for (uint32_t value : application.TakeEvents()) {
            std::printf("event: 0x%08x\n", value);
            lastCame = lastCame || value == last;
        }
    }
    std::fflush(stdout);
    return lastCame ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "midi") {
        return ReportMidi();
    }
    if (argc == 5 && std::string(argv[1]) == "companion") {
        return ListenAsCompanion(argv[2], std::strtoul(argv[3], nullptr, 16),
                                 std::strtoul(argv[4], nullptr, 10));
    }
    std::fprintf(stderr,
                 "usage: wow64_client midi | companion READY_EVENT LAST_EVENT_HEX TIMEOUT_MS\n");
    return 3;
}
