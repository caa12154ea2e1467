// Running the setup program's steps: one printed line per step, and on a failed install the
// steps already done undone in reverse order, so that a failure leaves the machine as it was.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ovtm::setup {

enum class StepOutcome {
    Done,           // the step changed the machine
    AlreadyInPlace, // nothing to do: what the step puts in place (or takes out) was so already
    Failed,
};

struct StepResult {
    StepOutcome outcome = StepOutcome::Failed;
    std::string detail; // what was done or what went wrong, for the step's line
};

inline StepResult Done(std::string detail = {}) {
    return {StepOutcome::Done, std::move(detail)};
}
inline StepResult AlreadyInPlace(std::string detail = {}) {
    return {StepOutcome::AlreadyInPlace, std::move(detail)};
}
inline StepResult Failed(std::string detail) {
    return {StepOutcome::Failed, std::move(detail)};
}

struct Step {
    std::string name;
    std::function<StepResult()> apply;
    // Takes back what apply did; run only after apply returned Done. May be empty.
    std::function<StepResult()> undo;
};

using LinePrinter = std::function<void(const std::string& line)>;

// The line printed for a step's result: "<name>: done|<unchanged>|FAILED[ (detail)]", where
// unchanged is "already in place" in an install and "already gone" in an uninstall.
std::string StepLine(const std::string& name, const StepResult& result,
                     const char* unchanged = "already in place");

// Applies the steps in order and stops at the first failure; then undoes, newest first, every
// step that reported Done, printing "undo <name>: ..." for each. True when every step
// succeeded. failedStep names the step that failed.
bool RunInstallSteps(const std::vector<Step>& steps, const LinePrinter& print,
                     std::string* failedStep);

// Applies every step of an uninstall, whatever the earlier ones did (it removes all it can);
// true when none failed. Nothing is undone.
bool RunUninstallSteps(const std::vector<Step>& steps, const LinePrinter& print);

} // namespace ovtm::setup
