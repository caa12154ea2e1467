// Program runner for Wine-tier tests (see process_runner.h).
#include "process_runner.h"

#include <cstdio>
#include <vector>

namespace ovtm::wine {

namespace {

// Takes whatever the pipe holds now, without blocking.
void DrainPipe(HANDLE pipe, std::string& output) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
            return;
        }
        char buffer[4096];
        DWORD got = 0;
        DWORD want = available < sizeof(buffer) ? available : sizeof(buffer);
        if (!ReadFile(pipe, buffer, want, &got, nullptr) || got == 0) {
            return;
        }
        output.append(buffer, got);
    }
}

// Wine closes a desktop a moment after the last process attached to it has gone, and its
// desktop process then exits; a program that starts meanwhile and needs a window (rundll32
// makes one) may find the desktop going and fail to start, or hang waiting for a desktop
// process that cannot start. The test program attaches itself to the desktop once, so the
// desktop lives as long as the test and the programs it starts one after another find it.
void StayOnTheDesktop() {
    GetDesktopWindow();
}

} // namespace

ProcessResult RunProcess(const std::string& commandLine, const std::string& directory,
                         DWORD timeoutMs) {
    ProcessResult result;
    StayOnTheDesktop();
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        result.startError = GetLastError();
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    const std::string folder = directory.empty() ? TestDirectory() : directory;
    // The program runs in a job, so that a time-out ends whatever it started as well.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    result.started =
        CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                       nullptr, folder.c_str(), &startup, &process) != FALSE;
    if (!result.started) {
        result.startError = GetLastError();
    }
    CloseHandle(writeEnd);
    if (!result.started) {
        CloseHandle(readEnd);
        if (job) {
            CloseHandle(job);
        }
        return result;
    }
    if (job) {
        AssignProcessToJobObject(job, process.hProcess);
    }
    ResumeThread(process.hThread);

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        DrainPipe(readEnd, result.output);
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
            break;
        }
        if (GetTickCount64() >= deadline) {
            if (job) {
                TerminateJobObject(job, 0xDEAD);
            }
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            result.timedOut = true;
            break;
        }
    }
    DrainPipe(readEnd, result.output);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    if (job) {
        CloseHandle(job);
    }
    return result;
}

std::string ProcessResult::Why() const {
    if (started) {
        return "started";
    }
    char text[96];
    std::snprintf(text, sizeof(text), "the start failed, error %lu",
                  static_cast<unsigned long>(startError));
    return text;
}

std::string TestDirectory() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    auto slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

} // namespace ovtm::wine
