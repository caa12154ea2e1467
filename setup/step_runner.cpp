// The install and uninstall step runs (see step_runner.h).
#include "step_runner.h"

namespace ovtm::setup {

namespace {

const char* OutcomeText(StepOutcome outcome, const char* unchanged) {
    switch (outcome) {
    case StepOutcome::Done:
        return "done";
    case StepOutcome::AlreadyInPlace:
        return unchanged;
    case StepOutcome::Failed:
        break;
    }
    return "FAILED";
}

// A step whose function is missing, or throws, fails instead of ending the program half-way.
StepResult Call(const std::function<StepResult()>& function) {
    if (!function) {
        return Failed("nothing to run");
    }
    try {
        return function();
    } catch (const std::exception& error) {
        return Failed(error.what());
    } catch (...) {
        return Failed("unexpected error");
    }
}

} // namespace

std::string StepLine(const std::string& name, const StepResult& result, const char* unchanged) {
    std::string line = name + ": " + OutcomeText(result.outcome, unchanged);
    if (!result.detail.empty()) {
        line += " (" + result.detail + ")";
    }
    return line;
}

bool RunInstallSteps(const std::vector<Step>& steps, const LinePrinter& print,
                     std::string* failedStep) {
    std::vector<const Step*> done;
    for (const Step& step : steps) {
        StepResult result = Call(step.apply);
        print(StepLine(step.name, result));
        if (result.outcome == StepOutcome::Done) {
            done.push_back(&step);
        } else if (result.outcome == StepOutcome::Failed) {
            if (failedStep != nullptr) {
                *failedStep = step.name;
            }
            for (auto it = done.rbegin(); it != done.rend(); ++it) {
                if ((*it)->undo) {
                    print("undo " + StepLine((*it)->name, Call((*it)->undo)));
                }
            }
            return false;
        }
    }
    return true;
}

bool RunUninstallSteps(const std::vector<Step>& steps, const LinePrinter& print) {
    bool ok = true;
    for (const Step& step : steps) {
        StepResult result = Call(step.apply);
        print(StepLine(step.name, result, "already gone"));
        ok = ok && result.outcome != StepOutcome::Failed;
    }
    return ok;
}

} // namespace ovtm::setup
