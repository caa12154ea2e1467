// Parsing the setup program's command word (see setup_command.h).
#include "setup_command.h"

#include <algorithm>
#include <cctype>

namespace ovtm::setup {

SetupCommand ParseSetupCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        return SetupCommand::Invalid;
    }
    std::string word = arguments[0];
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (word == "install") {
        return SetupCommand::Install;
    }
    if (word == "uninstall") {
        return SetupCommand::Uninstall;
    }
    if (word == "status") {
        return SetupCommand::Status;
    }
    return SetupCommand::Invalid;
}

} // namespace ovtm::setup
