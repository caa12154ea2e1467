// Plays a scenario script against a world (the host tier or Wine) and prints what happens,
// one line per event.
#pragma once

#include <ostream>
#include <string>

namespace scenario {

// Exit codes of a run.
enum RunResult {
    kRunOk = 0,
    kRunScriptError = 1,   // the script does not parse or names what is not there
    kRunSetupFailed = 2,   // the driver could not be loaded, or the bus reached
    kRunFindings = 3,      // the kernel's verifier caught the driver breaking a rule
    kRunCallNeverCame = 4, // a call stayed inside the driver past every limit
};

// Parses and checks the whole script first; a mistake goes to `errors` as
// "<source>: line N: what" and nothing runs. Else runs it, writing events to `out`.
int RunScenario(const std::string& text, const std::string& source, std::ostream& out,
                std::ostream& errors);

} // namespace scenario
