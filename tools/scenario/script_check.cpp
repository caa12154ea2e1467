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
    // A scenario starts with its first keyboard plugged in and in hand.
    std::set<std::string> plugged = {kFirstKeyboard};
    std::string inHand = kFirstKeyboard;
    // Plugged keyboards whose stack is stopped, and those disabled (stack removed).
    std::set<std::string> stopped, disabled;
    for (const Step& step : steps) {
        std::string at = "line " + std::to_string(step.line) + ": ";
        if (UsesKeyboard(step.verb) && !plugged.count(inHand)) {
            return at + "keyboard " + inHand + " is not plugged in";
        }
        if (step.verb == Verb::Plug) {
            std::string name = step.keyboard.empty() ? inHand : step.keyboard;
            if (plugged.count(name))
                return at + "keyboard " + name + " is already plugged in";
            plugged.insert(name);
            inHand = name;
        } else if (step.verb == Verb::Unplug) {
            std::string name = step.keyboard.empty() ? inHand : step.keyboard;
            if (!plugged.erase(name))
                return at + "keyboard " + name + " is not plugged in";
            stopped.erase(name);
            disabled.erase(name);
        } else if (step.verb == Verb::Stop || step.verb == Verb::Start ||
                   step.verb == Verb::Disable) {
            std::string name = step.keyboard.empty() ? inHand : step.keyboard;
            if (!plugged.count(name))
                return at + "keyboard " + name + " is not plugged in";
            if (disabled.count(name))
                return at + "keyboard " + name + " is disabled";
            bool isStopped = stopped.count(name) != 0;
            if (step.verb == Verb::Start && !isStopped)
                return at + "keyboard " + name + " is not stopped";
            if (step.verb == Verb::Stop && isStopped)
                return at + "keyboard " + name + " is already stopped";
            if (step.verb == Verb::Stop)
                stopped.insert(name);
            else
                stopped.erase(name);
            if (step.verb == Verb::Disable)
                disabled.insert(name);
        } else if (step.verb == Verb::Keyboard) {
            if (!plugged.count(step.keyboard))
                return at + "keyboard " + step.keyboard + " is not plugged in";
            inHand = step.keyboard;
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
