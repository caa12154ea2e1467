// The setup program's command line: one of the words install, uninstall or status.
#pragma once

#include <string>
#include <vector>

namespace ovtm::setup {

enum class SetupCommand { Install, Uninstall, Status, Invalid };

// The command the arguments (program name excluded) ask for: exactly one word, letter case
// aside; anything else is Invalid.
SetupCommand ParseSetupCommand(const std::vector<std::string>& arguments);

inline constexpr char kSetupUsage[] =
    "usage: OvtmSetup install | uninstall | status\n"
    "  install    puts the driver package in place from the package folder this program is in\n"
    "  uninstall  removes everything install added\n"
    "  status     shows each piece; exit code 0 only when all are in place\n";

} // namespace ovtm::setup
