// The notifier's command-line copy and "-startup" search, free of platform calls.
#include "startup_switch.h"

#include <cwchar>

namespace ovtm::notifier {

CommandLineCopy CopyCommandLine(const wchar_t* commandLine) {
    CommandLineCopy copy{};
    if (commandLine == nullptr) {
        return copy;
    }
    std::size_t length = 0;
    while (length < kCommandLineCopyChars - 1 && commandLine[length] != L'\0') {
        copy.text[length] = commandLine[length];
        ++length;
    }
    copy.text[length] = L'\0';
    return copy;
}

bool HasStartupSwitch(const CommandLineCopy& copy) {
    return std::wcsstr(copy.text, kStartupSwitch) != nullptr;
}

} // namespace ovtm::notifier
