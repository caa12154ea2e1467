// A test-only kernel driver from the test's own folder, run as a demand-start service for the
// time of a test, and the one-request calls tests make on the devices such drivers create.
#pragma once

#include <windows.h>

#include <string>

namespace ovtm::wine {

class TestDriverService {
  public:
    TestDriverService() = default;
    ~TestDriverService() { Stop(); }
    TestDriverService(const TestDriverService&) = delete;
    TestDriverService& operator=(const TestDriverService&) = delete;

    // Installs <test folder>\<fileName> as the service (or takes the one a crashed run left)
    // and starts it; true once it runs.
    bool Start(const wchar_t* serviceName, const std::string& fileName);
    // Stops and deletes the service. The driver host unloads the driver a moment after the
    // stop, so this waits (up to 5 s) until devicePath no longer opens. Nothing if not started.
    void Stop();
    // The device whose going shows the driver unloaded (for Stop); set before Start.
    void WatchForUnload(const wchar_t* devicePath) { unloadedWhenGone_ = devicePath; }

  private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    std::wstring unloadedWhenGone_;
};

// Opens devicePath, sends one control request and closes it again: true when the request
// succeeded and returned exactly outputSize bytes.
bool CallDevice(const wchar_t* devicePath, DWORD code, const void* input, DWORD inputSize,
                void* output, DWORD outputSize);

// True while devicePath can be opened.
bool DeviceOpens(const wchar_t* devicePath);

} // namespace ovtm::wine
