// Runs a program from a Wine-tier test and collects what it printed and its exit code, with a
// time limit so that a hung program fails its test instead of stalling the run.
#pragma once

#include <windows.h>

#include <string>

namespace ovtm::wine {

struct ProcessResult {
    bool started = false;
    DWORD startError = ERROR_SUCCESS; // GetLastError() of the failed start
    std::string Why() const;          // "started", or why the start failed, in words
    bool timedOut = false;            // ended by the time limit
    DWORD exitCode = 0;
    std::string output; // standard output and standard error, interleaved as written
};

// commandLine as CreateProcess takes it (program first); directory empty: the test's folder.
// At the time limit the program and everything it started are ended.
ProcessResult RunProcess(const std::string& commandLine, const std::string& directory = "",
                         DWORD timeoutMs = 30000);

// The folder of the running test program, where the bench installed it and its files.
std::string TestDirectory();

} // namespace ovtm::wine
