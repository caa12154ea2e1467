// OvtmSetup: installs the driver package from the package folder it sits in, removes it again,
// or tells what of it is in place. One line per step; exit code 0 on success.
#include <windows.h>

#include "driver_package.h"
#include "midi_registration.h"
#include "midi_slots.h"
#include "notifier_entry.h"
#include "package_layout.h"
#include "setup_command.h"
#include "step_runner.h"
#include "system_error.h"
#include "system_files.h"

#include <cstdio>
#include <memory>
#include <set>

using namespace ovtm::setup;

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotInPlace = 3;

#ifdef _WIN64
constexpr Architecture kNativeArchitecture = Architecture::Amd64;
#else
constexpr Architecture kNativeArchitecture = Architecture::X86;
#endif

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string SystemFolder() {
    char path[MAX_PATH] = {};
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

// SysWOW64 on 64-bit Windows; empty on 32-bit Windows, which has no 32-bit side.
std::string Wow64Folder() {
#ifdef _WIN64
    char path[MAX_PATH] = {};
    if (GetSystemWow64DirectoryA(path, MAX_PATH) != 0) {
        return path;
    }
#endif
    return std::string();
}

struct Machine {
    std::string package;
    std::string inf;
    std::vector<SystemFolderCopy> folders; // System32, then SysWOW64 on 64-bit Windows
    std::string notifierCommand;
    // The registry views whose multimedia driver list gets the MIDI driver, with their names.
    std::vector<std::pair<REGSAM, std::string>> midiViews;
};

Machine DescribeMachine(const std::string& package) {
    Machine machine;
    machine.package = package;
    machine.inf = package + "\\" + kInfFileName;
    machine.folders.push_back({package + "\\" + ArchitectureFolder(kNativeArchitecture),
                               SystemFolder(), SystemFolderFiles(true)});
    machine.notifierCommand = NotifierCommand(SystemFolder());
    const std::string wow64 = Wow64Folder();
    if (wow64.empty()) {
        machine.midiViews.push_back({0, "MIDI driver entry"});
    } else {
        machine.folders.push_back({package + "\\" + ArchitectureFolder(Architecture::X86), wow64,
                                   SystemFolderFiles(false)});
        machine.midiViews.push_back({KEY_WOW64_64KEY, "MIDI driver entry (64-bit programs)"});
        machine.midiViews.push_back({KEY_WOW64_32KEY, "MIDI driver entry (32-bit programs)"});
    }
    return machine;
}

// Everything install needs is in the package, checked before anything changes.
bool PackageComplete(const Machine& machine, std::string* missing) {
    std::vector<std::string> paths = {machine.inf};
    for (const SystemFolderCopy& folder : machine.folders) {
        for (const std::string& file : folder.files) {
            paths.push_back(folder.sourceFolder + "\\" + file);
        }
    }
    for (const std::string& path : paths) {
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            *missing = path;
            return false;
        }
    }
    return true;
}

std::string FolderStepName(const char* verb, const SystemFolderCopy& folder) {
    return std::string(verb) + " " + folder.destinationFolder;
}

int Install(const Machine& machine) {
    std::string missing;
    if (!PackageComplete(machine, &missing)) {
        PrintLine("package: FAILED (" + missing + " is missing)");
        return kExitFailed;
    }
    PrintLine("package: " + machine.package);

    std::vector<Step> steps;
    // The undo of the driver package also takes back what installing it on the keyboards
    // present did: the filter in lists that did not name it, and a service that was not there.
    struct DriverPackageBefore {
        bool newlyPublished = false;
        std::set<std::string> filtered;
        bool serviceExisted = false;
    };
    auto before = std::make_shared<DriverPackageBefore>();
    steps.push_back({"driver package",
                     [&machine, before] {
                         before->filtered = KeyboardsWithFilter();
                         before->serviceExisted = FilterServiceExists();
                         return InstallDriverPackage(machine.inf, &before->newlyPublished);
                     },
                     [before]() -> StepResult {
                         StepResult lists = RemoveFilterFromKeyboards(before->filtered);
                         StepResult package = RemoveDriverPackage();
                         if (!before->serviceExisted) {
                             RemoveStoreFilterService();
                         }
                         if (lists.outcome == StepOutcome::Failed) {
                             return lists;
                         }
                         return package;
                     }});

    // A running notifier holds its file: it is stopped when its file is to be replaced, and
    // the last step starts it again.
    std::string ignored;
    if (NotifierRunning() && !SystemFilesInPlace(machine.folders.front(), &ignored)) {
        steps.push_back({"stop the notifier", [] { return StopNotifier(); },
                         [&machine] { return StartNotifier(machine.notifierCommand); }});
    }
    for (const SystemFolderCopy& folder : machine.folders) {
        auto record = std::make_shared<CopyRecord>();
        steps.push_back({FolderStepName("files to", folder),
                         [&folder, record] { return CopySystemFiles(folder, record.get()); },
                         [record] { return UndoSystemFileCopy(record.get()); }});
    }
    for (const auto& [view, name] : machine.midiViews) {
        const REGSAM registryView = view;
        steps.push_back({name,
                         [registryView]() -> StepResult {
                             if (auto slot = RegisteredMidiSlot(registryView)) {
                                 return AlreadyInPlace(*slot);
                             }
                             std::string slot;
                             const LONG status = RegisterMidiDriver(registryView, &slot);
                             if (status == ERROR_NO_MORE_ITEMS) {
                                 return Failed("every MIDI slot holds another driver");
                             }
                             if (status != ERROR_SUCCESS) {
                                 return Failed(SystemErrorText(static_cast<DWORD>(status)));
                             }
                             return Done(slot);
                         },
                         [registryView]() -> StepResult {
                             UnregisterMidiDriver(registryView, MidiSlotRelease::DeleteValue);
                             return Done();
                         }});
    }
    auto previousRunEntry = std::make_shared<std::optional<std::string>>();
    steps.push_back({"notifier run entry",
                     [&machine, previousRunEntry] {
                         return WriteNotifierRunEntry(machine.notifierCommand,
                                                      previousRunEntry.get());
                     },
                     [previousRunEntry] { return RestoreNotifierRunEntry(*previousRunEntry); }});
    steps.push_back({"start the notifier",
                     [&machine] { return StartNotifier(machine.notifierCommand); },
                     [] { return StopNotifier(); }});

    std::string failedStep;
    if (!RunInstallSteps(steps, PrintLine, &failedStep)) {
        PrintLine("install FAILED at \"" + failedStep +
                  "\"; the steps done before it are undone (the undo lines above)");
        return kExitFailed;
    }
    PrintLine("installed");
    return kExitDone;
}

int Uninstall(const Machine& machine) {
    std::vector<Step> steps;
    steps.push_back({"stop the notifier", [] { return StopNotifier(); }, nullptr});
    steps.push_back({"notifier run entry", [] { return DeleteNotifierRunEntry(); }, nullptr});
    for (const auto& [view, name] : machine.midiViews) {
        const REGSAM registryView = view;
        steps.push_back({name,
                         [registryView]() -> StepResult {
                             // Every value naming the driver goes, should the injection have
                             // left a second one.
                             std::string removed;
                             for (int slots = 0; slots < ovtm::inject::kMidiSlotCount; ++slots) {
                                 std::string slot;
                                 const LONG status = UnregisterMidiDriver(
                                     registryView, MidiSlotRelease::DeleteValue, &slot);
                                 if (status == ERROR_FILE_NOT_FOUND) {
                                     break;
                                 }
                                 if (status != ERROR_SUCCESS) {
                                     return Failed(SystemErrorText(static_cast<DWORD>(status)));
                                 }
                                 removed += (removed.empty() ? "" : ", ") + slot;
                             }
                             return removed.empty() ? AlreadyInPlace("no entry") : Done(removed);
                         },
                         nullptr});
    }
    for (const SystemFolderCopy& folder : machine.folders) {
        steps.push_back({FolderStepName("files in", folder),
                         [&folder] { return RemoveSystemFiles(folder); }, nullptr});
    }
    steps.push_back(
        {"filter in the keyboards' lists", [] { return RemoveFilterFromKeyboards(); }, nullptr});
    steps.push_back({"driver package", [] { return RemoveDriverPackage(); }, nullptr});
    steps.push_back({"filter service", [] { return RemoveStoreFilterService(); }, nullptr});

    if (!RunUninstallSteps(steps, PrintLine)) {
        PrintLine("uninstall FAILED: see the steps above");
        return kExitFailed;
    }
    PrintLine("uninstalled");
    return kExitDone;
}

int Status(const Machine& machine) {
    bool all = true;
    auto show = [&all](const std::string& name, bool inPlace, const std::string& detail) {
        PrintLine(name + ": " + (inPlace ? "in place" : "MISSING") +
                  (detail.empty() ? "" : " (" + detail + ")"));
        all = all && inPlace;
    };
    const auto published = PublishedPackageInfs();
    show("driver package", !published.empty(), published.empty() ? "" : published.front());
    bool allFiltered = false;
    const std::string keyboards = KeyboardFilterSummary(&allFiltered);
    show("keyboards", allFiltered, keyboards);
    for (const SystemFolderCopy& folder : machine.folders) {
        std::string detail;
        const bool inPlace = SystemFilesInPlace(folder, &detail);
        show(FolderStepName("files in", folder), inPlace, detail);
    }
    for (const auto& [view, name] : machine.midiViews) {
        const auto slot = RegisteredMidiSlot(view);
        show(name, slot.has_value(), slot.value_or(""));
    }
    const auto runEntry = NotifierRunEntry();
    show("notifier run entry", runEntry == machine.notifierCommand, runEntry.value_or(""));
    show("notifier", NotifierRunning(), NotifierRunning() ? "running" : "not running");
    PrintLine(all ? "all in place" : "not all in place");
    return all ? kExitDone : kExitNotInPlace;
}

std::string ProgramPath() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < path.size()) {
            return std::string(path.data(), length);
        }
        path.resize(path.size() * 2);
    }
}

} // namespace

int main(int argc, char** argv) {
    const SetupCommand command = ParseSetupCommand(std::vector<std::string>(argv + 1, argv + argc));
    if (command == SetupCommand::Invalid) {
        std::fputs(kSetupUsage, stderr);
        return kExitUsage;
    }
#ifndef _WIN64
    // A 32-bit program on 64-bit Windows would see SysWOW64 as System32 and the 32-bit
    // registry view only, and SetupAPI refuses it device installs.
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        std::fputs("OvtmSetup: this is 64-bit Windows: run amd64\\OvtmSetup.exe instead\n", stderr);
        return kExitFailed;
    }
#endif
    const std::string package = PackageFolderOf(ProgramPath());
    if (package.empty()) {
        std::fputs("OvtmSetup: cannot tell the package folder from the program's path\n", stderr);
        return kExitFailed;
    }
    const Machine machine = DescribeMachine(package);
    switch (command) {
    case SetupCommand::Install:
        return Install(machine);
    case SetupCommand::Uninstall:
        return Uninstall(machine);
    case SetupCommand::Status:
        return Status(machine);
    case SetupCommand::Invalid:
        break;
    }
    return kExitUsage;
}
