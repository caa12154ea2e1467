// ovtm-scenario: plays a scenario script (a file, or '-' for standard input) against the host
// tier and prints what happens, one line per event.
#include <fstream>
#include <iostream>
#include <sstream>

#include <hostkernel/kernel.h>

#include "runner.h"

int main(int argc, char** argv) {
    bool trace = argc == 3 && std::string(argv[1]) == "--trace";
    if (argc != 2 && !trace) {
        std::cerr << "usage: ovtm-scenario [--trace] <script file | ->\n";
        return scenario::kRunScriptError;
    }
    // --trace: the driver's debug output (what went wrong, and where) on standard error.
    hostkernel::ShowDebugOutput(trace);
    std::string source = argv[argc - 1];
    std::stringstream text;
    if (source == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream file(source);
        if (!file) {
            std::cerr << "ovtm-scenario: cannot read " << source << '\n';
            return scenario::kRunScriptError;
        }
        text << file.rdbuf();
    }
    return scenario::RunScenario(text.str(), source == "-" ? "<stdin>" : source, std::cout,
                                 std::cerr);
}
