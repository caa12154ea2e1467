// A test stand-in for wtsapi32.dll, found in the application's folder before the system's: it
// writes each console-session registration and its removal down in the registry
// (HKCU\Software\OvtmAppapiTest, value "SessionCalls": "register <window> <flags>" and
// "unregister <window>", one line each).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Note(const char* line) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\OvtmAppapiTest", 0, nullptr, 0,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    char existing[1024] = {};
    DWORD size = sizeof(existing) - 1;
    if (RegQueryValueExA(key, "SessionCalls", nullptr, nullptr, reinterpret_cast<BYTE*>(existing),
                         &size) != ERROR_SUCCESS) {
        existing[0] = '\0';
    }
    const std::string text = std::string(existing) + line + "\n";
    RegSetValueExA(key, "SessionCalls", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
}

} // namespace

extern "C" BOOL WINAPI WTSRegisterSessionNotification(HWND window, DWORD flags) {
    char line[64];
    std::snprintf(line, sizeof(line), "register %llx %lu",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), flags);
    Note(line);
    return TRUE;
}

extern "C" BOOL WINAPI WTSUnRegisterSessionNotification(HWND window) {
    char line[64];
    std::snprintf(line, sizeof(line), "unregister %llx",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    Note(line);
    return TRUE;
}
