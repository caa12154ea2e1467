// The setup program's step runs: one line per step, a failed install undone newest first and
// only for the steps that changed something, an uninstall that goes on past a failure.
#include "step_runner.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace ovtm::setup;

namespace {

// Steps that log what they did, so that the order of applies and undos can be read back.
struct Journal {
    std::vector<std::string> lines;   // what the runner printed
    std::vector<std::string> actions; // applies and undos, in order

    Step Make(const std::string& name, StepResult result) {
        return {name,
                [this, name, result] {
                    actions.push_back("apply " + name);
                    return result;
                },
                [this, name] {
                    actions.push_back("undo " + name);
                    return Done();
                }};
    }
    LinePrinter Printer() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

TEST(InstallRun, EveryStepSucceedsPrintsOneLineEachAndUndoesNothing) {
    Journal journal;
    std::string failed;
    EXPECT_TRUE(RunInstallSteps({journal.Make("a", Done("x")), journal.Make("b", AlreadyInPlace())},
                                journal.Printer(), &failed));
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"a: done (x)", "b: already in place"}));
    EXPECT_EQ(journal.actions, (std::vector<std::string>{"apply a", "apply b"}));
    EXPECT_EQ(failed, "");
}

TEST(InstallRun, AFailureUndoesTheStepsThatChangedSomethingNewestFirst) {
    Journal journal;
    std::string failed;
    EXPECT_FALSE(RunInstallSteps({journal.Make("a", Done()), journal.Make("b", AlreadyInPlace()),
                                  journal.Make("c", Done()), journal.Make("d", Failed("no room")),
                                  journal.Make("e", Done())},
                                 journal.Printer(), &failed));
    EXPECT_EQ(failed, "d");
    // b found its piece in place before the install: undoing it would remove what was there.
    EXPECT_EQ(journal.actions, (std::vector<std::string>{"apply a", "apply b", "apply c", "apply d",
                                                         "undo c", "undo a"}));
    EXPECT_EQ(journal.lines,
              (std::vector<std::string>{"a: done", "b: already in place", "c: done",
                                        "d: FAILED (no room)", "undo c: done", "undo a: done"}));
}

TEST(InstallRun, AStepThatThrowsOrHasNoFunctionFailsWithoutEndingTheRun) {
    Journal journal;
    std::string failed;
    Step throwing{"t", []() -> StepResult { throw std::runtime_error("bad"); }, nullptr};
    EXPECT_FALSE(
        RunInstallSteps({journal.Make("a", Done()), throwing}, journal.Printer(), &failed));
    EXPECT_EQ(failed, "t");
    EXPECT_EQ(journal.lines[1], "t: FAILED (bad)");
    EXPECT_EQ(journal.actions.back(), "undo a");

    Journal second;
    EXPECT_FALSE(RunInstallSteps({Step{"empty", nullptr, nullptr}}, second.Printer(), &failed));
    EXPECT_EQ(second.lines, (std::vector<std::string>{"empty: FAILED (nothing to run)"}));
}

TEST(InstallRun, AFailingUndoIsPrintedAndTheRestStillUndone) {
    Journal journal;
    std::string failed;
    Step stubborn{"s", [] { return Done(); }, [] { return Failed("in use"); }};
    EXPECT_FALSE(
        RunInstallSteps({journal.Make("a", Done()), stubborn, journal.Make("f", Failed("x"))},
                        journal.Printer(), &failed));
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"a: done", "s: done", "f: FAILED (x)",
                                                       "undo s: FAILED (in use)", "undo a: done"}));
}

TEST(UninstallRun, GoesOnPastAFailureAndReportsIt) {
    Journal journal;
    EXPECT_FALSE(RunUninstallSteps({journal.Make("a", Failed("x")), journal.Make("b", Done())},
                                   journal.Printer()));
    EXPECT_EQ(journal.actions, (std::vector<std::string>{"apply a", "apply b"}));
    EXPECT_TRUE(RunUninstallSteps({journal.Make("c", AlreadyInPlace("none"))}, journal.Printer()));
    EXPECT_EQ(journal.lines,
              (std::vector<std::string>{"a: FAILED (x)", "b: done", "c: already gone (none)"}));
}

} // namespace
