// Which clients are open line by line, and the button names of press and release.
#include "script_check.h"

#include <set>

#include "buttons.h"

namespace scenario {
namespace {

bool UsesClient(Verb verb) {
    switch (verb) {
    case Verb::Close:
    case Verb::Read:
    case Verb::Cancel:
    case Verb::Capture:
    case Verb::ReleaseAll:
    case Verb::Ioctl:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string CheckScript(const std::vector<Step>& steps) {
    std::set<std::string> open;
    for (const Step& step : steps) {
        std::string at = "line " + std::to_string(step.line) + ": ";
        if (step.verb == Verb::Open) {
            if (!open.insert(step.client).second) return at + "client '" + step.client + "' is already open";
        } else if (UsesClient(step.verb)) {
            if (!open.count(step.client)) return at + "client '" + step.client + "' is not open";
            if (step.verb == Verb::Close) open.erase(step.client);
        } else if (step.verb == Verb::Press || step.verb == Verb::Release) {
            for (const std::string& name : step.names) {
                if (!ButtonCode(name)) return at + "no button '" + name + "' on the keyboard";
            }
        }
    }
    return std::string();
}

} // namespace scenario
