// What the package folder holds and where each user-mode file goes: the INF at the top, each
// architecture's binaries in x86\ and amd64\, the setup program in the folder of its own
// architecture.
#pragma once

#include <string>
#include <vector>

namespace ovtm::setup {

inline constexpr char kInfFileName[] = "ovtm.inf";
inline constexpr char kInfCatalogFile[] = "ovtm.cat";
inline constexpr char kNotifierFileName[] = "OvtmNtfy.exe";
inline constexpr char kNotifierRunValue[] = "OvtmNtfy";
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

enum class Architecture { X86, Amd64 };

// The package's folder of an architecture's binaries: "x86" or "amd64".
const char* ArchitectureFolder(Architecture architecture);

// The files install copies into the system folder of a program of that width: the MIDI
// driver, the application library and the injection DLL for both, and the notifier, which
// runs once per session, only for the system's own width.
std::vector<std::string> SystemFolderFiles(bool nativeWidth);

// The package folder of a setup program at programPath: the folder above the one it sits in
// ("C:\pkg\amd64\OvtmSetup.exe" gives "C:\pkg"). Empty when the path has no such folder.
std::string PackageFolderOf(const std::string& programPath);

// The run entry's command: the notifier by its full path, quoted, with "-startup".
std::string NotifierCommand(const std::string& systemFolder);

} // namespace ovtm::setup
