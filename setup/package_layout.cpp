// The package folder's layout and the files' destinations (see package_layout.h).
#include "package_layout.h"

namespace ovtm::setup {

const char* ArchitectureFolder(Architecture architecture) {
    return architecture == Architecture::X86 ? "x86" : "amd64";
}

std::vector<std::string> SystemFolderFiles(bool nativeWidth) {
    std::vector<std::string> files = {"OvtmMidi.dll", "OvtmApi.dll", "OvtmAddf.dll"};
    if (nativeWidth) {
        files.push_back(kNotifierFileName);
    }
    return files;
}

std::string PackageFolderOf(const std::string& programPath) {
    const size_t programSeparator = programPath.find_last_of("\\/");
    if (programSeparator == std::string::npos || programSeparator == 0) {
        return std::string();
    }
    const std::string programFolder = programPath.substr(0, programSeparator);
    const size_t folderSeparator = programFolder.find_last_of("\\/");
    if (folderSeparator == std::string::npos) {
        return std::string();
    }
    std::string package = programFolder.substr(0, folderSeparator);
    // "C:\amd64\OvtmSetup.exe": the package is the drive's root, which keeps its separator.
    if (package.size() == 2 && package[1] == ':') {
        package += '\\';
    }
    return package;
}

std::string NotifierCommand(const std::string& systemFolder) {
    return "\"" + systemFolder + "\\" + kNotifierFileName + "\" -startup";
}

} // namespace ovtm::setup
