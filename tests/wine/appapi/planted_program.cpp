// A program planted in the application's folder under the name of a system program: it only
// records in the registry that it was started, and with which command line.
#include <windows.h>

int main() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\OvtmAppapiTest", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    const char* commandLine = GetCommandLineA();
    RegSetValueExA(key, "PlantedProgramRan", 0, REG_SZ, reinterpret_cast<const BYTE*>(commandLine),
                   static_cast<DWORD>(lstrlenA(commandLine) + 1));
    RegCloseKey(key);
    return 0;
}
