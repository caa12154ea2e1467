// Comparing device and service names the way the registry does: without regard to letter case.
#pragma once

#include <string>

namespace ovtm::inject {

// Names in the registry and on the command line are ASCII; folding only A-Z keeps results
// independent of the user's code page.
char LowerAscii(char c);

bool EqualIgnoringCase(const std::string& a, const std::string& b);

} // namespace ovtm::inject
