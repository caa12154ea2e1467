// The user-mode binaries in the system folders: copied from the package, compared with it, and
// removed (at the next restart when in use).
#pragma once

#include <string>
#include <vector>

#include "step_runner.h"

namespace ovtm::setup {

// One system folder and the files the package gives it.
struct SystemFolderCopy {
    std::string sourceFolder;      // the package's x86 or amd64 folder
    std::string destinationFolder; // System32, or SysWOW64 for the 32-bit files
    std::vector<std::string> files;
};

// What a copy replaced or created, so that its undo can put the folder back.
struct CopyRecord {
    std::vector<std::string> created;
    std::vector<std::pair<std::string, std::string>> replaced; // destination, backup
};

// Copies every file that differs from the package's; files already equal are left alone.
StepResult CopySystemFiles(const SystemFolderCopy& copy, CopyRecord* record);

// Deletes what the copy created and puts back what it replaced.
StepResult UndoSystemFileCopy(CopyRecord* record);

// Deletes the files; one in use is deleted at the next restart, and the detail says so.
StepResult RemoveSystemFiles(const SystemFolderCopy& copy);

// "in place" when every file is there and equal to the package's (or, without the package,
// there at all); otherwise names the first that is not.
bool SystemFilesInPlace(const SystemFolderCopy& copy, std::string* detail);

} // namespace ovtm::setup
