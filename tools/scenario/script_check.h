// Checks a parsed script against the world it will run in before anything runs: every client
// step names a client that is open at that point, the keyboard is plugged in when it is played
// and plugged or unplugged only when that makes sense, and every button name is a button of the
// keyboard. A script that passes cannot stop half-way on a mistake of its own.
#pragma once

#include <string>
#include <vector>

#include "script.h"

namespace scenario {

// Empty when the script can run; else "line N: what is wrong".
std::string CheckScript(const std::vector<Step>& steps);

} // namespace scenario
