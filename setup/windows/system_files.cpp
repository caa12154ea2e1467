// Copying, comparing and removing the system folders' binaries (see system_files.h).
#include "system_files.h"

#include <windows.h>

#include "file_bytes.h"
#include "system_error.h"

namespace ovtm::setup {

namespace {

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::string& a, const std::string& b) {
    const auto first = ReadFileBytes(a);
    const auto second = ReadFileBytes(b);
    return first && second && *first == *second;
}

// A temporary name in the destination's folder: the new file is written there first and then
// renamed over the old, so that a failed copy never leaves half a binary in System32.
std::string TemporaryPathIn(const std::string& folder) {
    char path[MAX_PATH] = {};
    if (GetTempFileNameA(folder.c_str(), "ovt", 0, path) == 0) {
        return std::string();
    }
    return path;
}

} // namespace

StepResult CopySystemFiles(const SystemFolderCopy& copy, CopyRecord* record) {
    // A copy that fails part-way takes back the files it had already put in place: the step
    // runner undoes only steps that finished.
    auto fail = [record](const std::string& detail) {
        UndoSystemFileCopy(record);
        return Failed(detail);
    };
    int copied = 0;
    for (const std::string& file : copy.files) {
        const std::string source = copy.sourceFolder + "\\" + file;
        const std::string destination = copy.destinationFolder + "\\" + file;
        if (SameFile(source, destination)) {
            continue;
        }
        const std::string temporary = TemporaryPathIn(copy.destinationFolder);
        if (temporary.empty() || !CopyFileA(source.c_str(), temporary.c_str(), FALSE)) {
            const DWORD error = GetLastError();
            if (!temporary.empty()) {
                DeleteFileA(temporary.c_str());
            }
            return fail("copying " + source + ": " + SystemErrorText(error));
        }
        std::string backup;
        if (Exists(destination)) {
            backup = TemporaryPathIn(copy.destinationFolder);
            if (backup.empty() || !CopyFileA(destination.c_str(), backup.c_str(), FALSE)) {
                const DWORD error = GetLastError();
                DeleteFileA(temporary.c_str());
                if (!backup.empty()) {
                    DeleteFileA(backup.c_str());
                }
                return fail("keeping the old " + destination + ": " + SystemErrorText(error));
            }
        }
        if (!MoveFileExA(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = GetLastError();
            DeleteFileA(temporary.c_str());
            if (!backup.empty()) {
                DeleteFileA(backup.c_str());
            }
            return fail("replacing " + destination + " (in use?): " + SystemErrorText(error));
        }
        if (backup.empty()) {
            record->created.push_back(destination);
        } else {
            record->replaced.emplace_back(destination, backup);
        }
        ++copied;
    }
    if (copied == 0) {
        return AlreadyInPlace(copy.destinationFolder);
    }
    return Done(std::to_string(copied) + " file(s) to " + copy.destinationFolder);
}

StepResult UndoSystemFileCopy(CopyRecord* record) {
    std::string problems;
    for (const std::string& path : record->created) {
        if (!DeleteFileA(path.c_str())) {
            problems += " " + path;
        }
    }
    for (const auto& [destination, backup] : record->replaced) {
        if (!MoveFileExA(backup.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            problems += " " + destination;
        }
    }
    record->created.clear();
    record->replaced.clear();
    if (!problems.empty()) {
        return Failed("could not put back:" + problems);
    }
    return Done();
}

StepResult RemoveSystemFiles(const SystemFolderCopy& copy) {
    int removed = 0;
    std::string atRestart;
    for (const std::string& file : copy.files) {
        const std::string path = copy.destinationFolder + "\\" + file;
        if (!Exists(path)) {
            continue;
        }
        if (DeleteFileA(path.c_str())) {
            ++removed;
            continue;
        }
        const DWORD error = GetLastError();
        if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
            MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            atRestart += (atRestart.empty() ? "" : ", ") + file;
            continue;
        }
        return Failed("deleting " + path + ": " + SystemErrorText(error));
    }
    if (!atRestart.empty()) {
        return Done(std::to_string(removed) + " file(s) from " + copy.destinationFolder +
                    "; in use, removed at the next restart: " + atRestart);
    }
    if (removed == 0) {
        return AlreadyInPlace("none in " + copy.destinationFolder);
    }
    return Done(std::to_string(removed) + " file(s) from " + copy.destinationFolder);
}

bool SystemFilesInPlace(const SystemFolderCopy& copy, std::string* detail) {
    for (const std::string& file : copy.files) {
        const std::string source = copy.sourceFolder + "\\" + file;
        const std::string destination = copy.destinationFolder + "\\" + file;
        if (!Exists(destination)) {
            *detail = destination + " missing";
            return false;
        }
        if (Exists(source) && !SameFile(source, destination)) {
            *detail = destination + " differs from the package's";
            return false;
        }
    }
    *detail = std::to_string(copy.files.size()) + " file(s) in " + copy.destinationFolder;
    return true;
}

} // namespace ovtm::setup
