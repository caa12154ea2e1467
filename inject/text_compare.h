// Comparing device and service names the way the registry does: without regard to letter case.
#pragma once

#include <string>

namespace ovtm::inject {

bool EqualIgnoringCase(const std::string& a, const std::string& b);

} // namespace ovtm::inject
