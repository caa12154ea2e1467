// The notifier's command-line test: the cut copy of the command line and the "-startup" search.
#ifndef OVTM_NOTIFIER_STARTUP_SWITCH_H
#define OVTM_NOTIFIER_STARTUP_SWITCH_H

#include <cstddef>

namespace ovtm::notifier {

// The copy holds at most 255 characters and its terminator; a longer command line is cut,
// so a switch that begins (or ends) past that point is not seen.
constexpr std::size_t kCommandLineCopyChars = 256;

// The switch the run entry at logon passes. Matched case-sensitively anywhere in the copy,
// program path included, also inside a longer word.
constexpr wchar_t kStartupSwitch[] = L"-startup";

struct CommandLineCopy {
    wchar_t text[kCommandLineCopyChars];
};

// Copies commandLine into a terminated 256-character buffer, cutting it after 255
// characters. A missing command line gives an empty copy.
CommandLineCopy CopyCommandLine(const wchar_t* commandLine);

// True when the copy contains kStartupSwitch.
bool HasStartupSwitch(const CommandLineCopy& copy);

} // namespace ovtm::notifier

#endif
