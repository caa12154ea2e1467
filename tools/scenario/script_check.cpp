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

bool UsesKeyboard(Verb verb) {
    switch (verb) {
    case Verb::Press:
    case Verb::Release:
    case Verb::KeyDown:
    case Verb::KeyUp:
    case Verb::Report:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string CheckScript(const std::vector<Step>& steps) {
    std::set<std::string> open;
    bool plugged = true; // a scenario starts with the keyboard plugged in
    for (const Step& step : steps) {
        std::string at = "line " + std::to_string(step.line) + ": ";
        if (UsesKeyboard(step.verb) && !plugged)
            return at + "the keyboard is not plugged in";
        if (step.verb == Verb::Plug) {
            if (plugged)
                return at + "the keyboard is already plugged in";
            plugged = true;
        } else if (step.verb == Verb::Unplug) {
            if (!plugged)
                return at + "the keyboard is not plugged in";
            plugged = false;
        } else if (step.verb == Verb::Open) {
            if (!open.insert(step.client).second)
                return at + "client '" + step.client + "' is already open";
        } else if (UsesClient(step.verb)) {
            if (!open.count(step.client))
                return at + "client '" + step.client + "' is not open";
            if (step.verb == Verb::Close)
                open.erase(step.client);
        } else if (step.verb == Verb::Press || step.verb == Verb::Release) {
            for (const std::string& name : step.names) {
                if (!ButtonCode(name))
                    return at + "no button '" + name + "' on the keyboard";
            }
        }
    }
    return std::string();
}

} // namespace scenario
