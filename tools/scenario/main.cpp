// ovtm-scenario: plays a scenario script (a file, or '-' for standard input), or several in
// turn, and prints what happens, one line per event. Built for Linux it plays on the host tier;
// built for Windows x86_64 it plays against the real filter in Wine on the bench's virtual USB bus.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#else
#include <hostkernel/kernel.h>
#endif

#include "runner.h"

namespace {

int Play(const std::string& source) {
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

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The same bytes as on the host tier, so that both tiers' output compares line by line.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "--trace") {
#ifndef _WIN32
        // The driver's debug output (what went wrong, and where) on standard error.
        hostkernel::ShowDebugOutput(true);
#endif
        first = 2;
    }
    if (argc - first < 1) {
        std::cerr << "usage: ovtm-scenario [--trace] <script file | -> [script file ...]\n";
        return scenario::kRunScriptError;
    }
    if (argc - first == 1)
        return Play(argv[first]);
    // Several scripts play one after another, each on a fresh world and under a heading of its
    // own; the exit code is the highest of theirs.
    int worst = scenario::kRunOk;
    for (int at = first; at < argc; ++at) {
        std::cout << "== " << argv[at] << '\n' << std::flush;
        worst = std::max(worst, Play(argv[at]));
    }
    return worst;
}
