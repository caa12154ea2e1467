// The scenario runner as its users meet it: the demo's whole output, when completions are
// stamped and in which order they print, scripts that stop before anything runs, and the
// program's exit code and message on a bad script.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "runner.h"

namespace scenario {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Played {
    int code;
    std::string out;
    std::string errors;
};

// A script of tests/scenarios, which the Wine tier plays too and compares with the host's.
std::string Script(const std::string& name) {
    return ReadFile(std::string(OVTM_SOURCE_DIR) + "/tests/scenarios/" + name + ".scn");
}

Played Play(const std::string& script) {
    std::ostringstream out, errors;
    int code = RunScenario(script, "test.scn", out, errors);
    return {code, out.str(), errors.str()};
}

// The lines of `output` that contain `text`, in order.
std::vector<std::string> LinesWith(const std::string& output, const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

TEST(ScenarioRunner, DemoPrintsExactlyTheDocumentedStory) {
    std::string root = OVTM_SOURCE_DIR;
    Played run = Play(ReadFile(root + "/tools/scenarios/demo.scn"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(run.out, ReadFile(root + "/tests/host/tools/demo.expected"));
    // A second run on a fresh kernel prints the same, byte for byte.
    EXPECT_EQ(Play(ReadFile(root + "/tools/scenarios/demo.scn")).out, run.out);
}

// Every scenario test script prints exactly its expected lines, which the Wine tier's comparison
// takes as the host tier's output.
TEST(ScenarioRunner, EveryScenarioScriptPrintsItsExpectedLines) {
    std::string dir = std::string(OVTM_SOURCE_DIR) + "/tests/scenarios/";
    int scripts = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".scn")
            continue;
        ++scripts;
        std::string name = entry.path().stem().string();
        Played run = Play(Script(name));
        EXPECT_EQ(run.code, kRunOk) << name << ": " << run.errors;
        EXPECT_EQ(run.out, ReadFile(dir + name + ".expected")) << name;
    }
    EXPECT_GE(scripts, 8);
}

TEST(ScenarioRunner, StopRestartAndOrderlyRemovalPrintTheDocumentedStory) {
    std::string root = OVTM_SOURCE_DIR;
    Played run = Play(ReadFile(root + "/tools/scenarios/pnp.scn"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(run.out, ReadFile(root + "/tests/host/tools/pnp.expected"));
}

TEST(ScenarioRunner, CompletionsCarryTheMillisecondTheyHappenedAt) {
    Played run = Play(Script("completions_carry_their_millisecond"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(
        LinesWith(run.out, "A read 200"),
        (std::vector<std::string>{"    30 ms  A read 200 -> pending",
                                  "   130 ms  A read 200 completes STATUS_CANCELLED, 0 bytes"}));
    // The script ends before its hold does: the runner says so instead of waiting.
    EXPECT_EQ(LinesWith(run.out, "A read 4"),
              (std::vector<std::string>{"   280 ms  A read 4 -> pending",
                                        "   280 ms  A read 4 still pending at the end"}));
}

TEST(ScenarioRunner, ReleaseAllEndsParkedReadsAndLaterReadsEndAtTheirOwnHold) {
    Played run = Play(Script("release_all_ends_parked_reads"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(
        LinesWith(run.out, "STATUS_CANCELLED"),
        (std::vector<std::string>{"     0 ms  A read 200 completes STATUS_CANCELLED, 0 bytes",
                                  "     0 ms  B read 200 completes STATUS_CANCELLED, 0 bytes",
                                  "   120 ms  B read 8 completes STATUS_CANCELLED, 0 bytes",
                                  "   270 ms  A read 4 completes STATUS_CANCELLED, 0 bytes"}));
    EXPECT_EQ(LinesWith(run.out, "release-all"),
              (std::vector<std::string>{"     0 ms  B release-all -> STATUS_SUCCESS, 0 bytes"}));
}

TEST(ScenarioRunner, CompletionsPrintInTheOrderClientsFirstOpened) {
    Played run = Play(Script("completions_in_client_order"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(LinesWith(run.out, "completes"),
              (std::vector<std::string>{"     0 ms  B read 200 completes STATUS_SUCCESS, 4 bytes: "
                                        "90 28 01 00 (note on 40, velocity 1)",
                                        "     0 ms  A read 200 completes STATUS_SUCCESS, 4 bytes: "
                                        "90 28 01 00 (note on 40, velocity 1)"}));
}

TEST(ScenarioRunner, GenericIoctlShowsStatusCountAndOutputBytes) {
    Played run = Play(Script("generic_ioctl"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(LinesWith(run.out, "ioctl"),
              (std::vector<std::string>{
                  "     0 ms  A ioctl 0x22202E out 2 -> STATUS_SUCCESS, 2 bytes: 90 2D",
                  "     0 ms  A ioctl 0x222039 in -> STATUS_INVALID_BUFFER_SIZE, 0 bytes"}));
}

TEST(ScenarioRunner, UnplugEndsParkedReadsWithTheDetachRecordAndPlugBringsTheDeviceBack) {
    Played run = Play(Script("unplug_and_replug"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    const std::string detached =
        "completes STATUS_SUCCESS, 4 bytes: FF 00 5E 05 (keyboard removed)";
    EXPECT_EQ(LinesWith(run.out, detached),
              (std::vector<std::string>{"     0 ms  A read 200 " + detached,
                                        "     0 ms  B read 200 " + detached}));
    EXPECT_EQ(LinesWith(run.out, "HID stack above K1: transfer on endpoint").size(), 4u);
    EXPECT_EQ(
        LinesWith(run.out, "control device \\\\"),
        (std::vector<std::string>{"     0 ms  control device \\\\.\\OvtsMelodixSymLk#1 appears",
                                  "     0 ms  control device \\\\.\\OvtsMelodixSymLk#1 goes",
                                  "     0 ms  control device \\\\.\\OvtsMelodixSymLk#1 appears"}));
    EXPECT_EQ(LinesWith(run.out, "C open"),
              (std::vector<std::string>{"     0 ms  C open -> STATUS_OBJECT_NAME_NOT_FOUND"}));
    // The keyboard plugged in again works like the first: its HID stack listens, D reads.
    EXPECT_EQ(LinesWith(run.out, "D read"),
              (std::vector<std::string>{"     0 ms  D read 200 -> pending",
                                        "     0 ms  D read 200 completes STATUS_SUCCESS, 4 bytes: "
                                        "90 2C 05 00 (note on 44, velocity 5)"}));
    // An answer set while the keyboard was out holds for it once it is back.
    EXPECT_EQ(
        LinesWith(run.out, "D ioctl"),
        (std::vector<std::string>{
            "     0 ms  D ioctl 0x222022 out 4 -> waiting in the driver",
            "     1 ms  D ioctl 0x222022 out 4 completes STATUS_SUCCESS, 4 bytes: 07 00 00 00"}));
}

TEST(ScenarioRunner, QueryWaitsInTheDriverUntilTheKeyboardAnswersOrTimeIsUp) {
    Played run = Play(Script("query_answered_or_timed_out"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(LinesWith(run.out, "C3"),
              (std::vector<std::string>{
                  "     0 ms  keyboard K1 will answer command C3 with 0x01020304 after 3 ms",
                  "     0 ms  keyboard K1 receives command 06 01 C3",
                  "     3 ms  keyboard K1 sends 05 C3 04 03 02 01 (answer to C3: 0x01020304)",
                  "     3 ms  HID stack above K1 receives 05 C3 04 03 02 01",
                  "    10 ms  keyboard K1 will not answer command C3",
                  "    10 ms  keyboard K1 receives command 06 01 C3"}));
    // Unanswered, the wait ends after exactly 500 ms with nothing written.
    EXPECT_EQ(
        LinesWith(run.out, "A ioctl 0x222026 out 4"),
        (std::vector<std::string>{
            "     0 ms  A ioctl 0x222026 out 4 -> waiting in the driver",
            "     3 ms  A ioctl 0x222026 out 4 completes STATUS_SUCCESS, 4 bytes: 04 03 02 01",
            "    10 ms  A ioctl 0x222026 out 4 -> waiting in the driver",
            "   510 ms  A ioctl 0x222026 out 4 completes STATUS_SUCCESS, 0 bytes"}));
}

// Two keyboards at once: each has its control device, clients open the one they name, keyboard
// steps go to the keyboard in hand, and a plug of the music interface alone shows its shape.
TEST(ScenarioRunner, SeveralKeyboardsAreToldApartByNameAndControlDevice) {
    Played run = Play(Script("several_keyboards"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(LinesWith(run.out, "plugged in"),
              (std::vector<std::string>{
                  "     0 ms  keyboard K1 plugged in (5E3A:1C07 revision 0005, two interface "
                  "entries), control device #1",
                  "     0 ms  keyboard K2 plugged in (5E3A:1C07 revision 0102, one interface "
                  "entry), control device #2"}));
    EXPECT_EQ(LinesWith(run.out, "completes"),
              (std::vector<std::string>{
                  "     0 ms  B read 200 completes STATUS_SUCCESS, 4 bytes: 90 29 0A 00 (note on "
                  "41, velocity 10)",
                  "     0 ms  A read 200 completes STATUS_SUCCESS, 4 bytes: 90 2A 14 00 (note on "
                  "42, velocity 20)"}));
    EXPECT_EQ(LinesWith(run.out, "B ioctl 0x22200E"),
              (std::vector<std::string>{
                  "     0 ms  B ioctl 0x22200E out 1 -> STATUS_SUCCESS, 1 byte: 02"}));
    EXPECT_EQ(
        LinesWith(run.out, "receives"),
        (std::vector<std::string>{"     0 ms  HID stack above K2 receives 03 41 0A 00 00",
                                  "     0 ms  HID stack above K1 receives 03 42 14 00 00",
                                  "     0 ms  keyboard K2 receives command 06 01 C5",
                                  "     0 ms  keyboard K2 receives LED report 02 (Caps Lock on)"}));
    EXPECT_EQ(LinesWith(run.out, "HID stack above K2: transfer on endpoint 82 fails").size(), 2u);
    EXPECT_TRUE(LinesWith(run.out, "HID stack above K1: transfer").empty());
}

// A keyboard with neither id of ours fails its start and is taken down at once: no control
// device is left for a client to open.
TEST(ScenarioRunner, KeyboardRefusedAtStartLeavesNoControlDevice) {
    Played run = Play(Script("keyboard_refused_at_start"));
    ASSERT_EQ(run.code, kRunOk) << run.errors;
    EXPECT_EQ(
        LinesWith(run.out, "K2"),
        (std::vector<std::string>{
            "     0 ms  keyboard K2 plugged in (1234:5678 revision 0005, two interface entries)",
            "     0 ms  keyboard K2's start fails STATUS_INVALID_PARAMETER"}));
    EXPECT_EQ(LinesWith(run.out, "A open"),
              (std::vector<std::string>{"     0 ms  A open -> STATUS_OBJECT_NAME_NOT_FOUND"}));
}

TEST(ScenarioRunner, ScriptMistakesStopEverythingBeforeItRuns) {
    struct Case {
        const char* script;
        const char* error;
    } cases[] = {
        {"open A\nfly A\n", "test.scn: line 2: unknown step 'fly'\n"},
        {"open A\nread B\n", "test.scn: line 2: client 'B' is not open\n"},
        {"open A\nclose A\nread A\n", "test.scn: line 3: client 'A' is not open\n"},
        {"open A\nopen A\n", "test.scn: line 2: client 'A' is already open\n"},
        {"press sustain pedal\n", "test.scn: line 1: no button 'pedal' on the keyboard\n"},
        {"release 0x2B\n", "test.scn: line 1: no button '0x2B' on the keyboard\n"},
        {"key-down 64\n", "test.scn: line 1: music key 64 is above 63\n"},
        {"plug\n", "test.scn: line 1: keyboard K1 is already plugged in\n"},
        {"unplug\nunplug\n", "test.scn: line 2: keyboard K1 is not plugged in\n"},
        {"unplug\nkey-down 1\n", "test.scn: line 2: keyboard K1 is not plugged in\n"},
        {"plug K2\nkeyboard K1\nunplug\npress sustain\n",
         "test.scn: line 4: keyboard K1 is not plugged in\n"},
        {"keyboard K2\n", "test.scn: line 1: keyboard K2 is not plugged in\n"},
        {"unplug K2\n", "test.scn: line 1: keyboard K2 is not plugged in\n"},
        {"start\n", "test.scn: line 1: keyboard K1 is not stopped\n"},
        {"stop\nstop\n", "test.scn: line 2: keyboard K1 is already stopped\n"},
        {"disable\nstart\n", "test.scn: line 2: keyboard K1 is disabled\n"},
        {"unplug\nstop\n", "test.scn: line 2: keyboard K1 is not plugged in\n"},
    };
    for (const auto& c : cases) {
        Played run = Play(c.script);
        EXPECT_EQ(run.code, kRunScriptError) << c.script;
        EXPECT_EQ(run.errors, c.error) << c.script;
        EXPECT_EQ(run.out, "") << c.script;
    }
}

TEST(ScenarioProgram, BadScriptExitsNonZeroWithItsLineOnStandardError) {
    std::string command = std::string("printf 'open A\\nfly A\\n' | '") + OVTM_SCENARIO_PROGRAM +
                          "' - 2>&1 >/dev/null; echo \"exit $?\"";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    EXPECT_EQ(output, "<stdin>: line 2: unknown step 'fly'\nexit 1\n");
}

// Several scripts play one after another, each on a fresh world under its own heading, as the
// Wine tier's comparison plays them; the exit code is the worst of theirs.
TEST(ScenarioProgram, SeveralScriptsPlayInTurnUnderTheirHeadings) {
    std::string dir = std::string(OVTM_SOURCE_DIR) + "/tests/scenarios/";
    std::string first = dir + "generic_ioctl.scn";
    std::string second = dir + "completions_in_client_order.scn";
    std::string command = std::string("'") + OVTM_SCENARIO_PROGRAM + "' '" + first + "' '" +
                          second + "' /nonexistent/none.scn 2>/dev/null; echo \"exit $?\"";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    EXPECT_EQ(output, "== " + first + "\n" + ReadFile(dir + "generic_ioctl.expected") + "== " +
                          second + "\n" + ReadFile(dir + "completions_in_client_order.expected") +
                          "== /nonexistent/none.scn\nexit 1\n");
}

TEST(ScenarioProgram, MissingScriptFileExitsNonZero) {
    std::string command = std::string("'") + OVTM_SCENARIO_PROGRAM +
                          "' /nonexistent/none.scn 2>&1 >/dev/null; echo \"exit $?\"";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    EXPECT_EQ(output, "ovtm-scenario: cannot read /nonexistent/none.scn\nexit 1\n");
}

} // namespace
} // namespace scenario
