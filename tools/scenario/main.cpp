// ovtm-scenario: plays a scenario script (a file, or '-' for standard input) against the host
// tier and prints what happens, one line per event.
#include <fstream>
#include <iostream>
#include <sstream>

#include "runner.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ovtm-scenario <script file | ->\n";
        return scenario::kRunScriptError;
    }
    std::string source = argv[1];
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
