// A Windows error code as the setup program prints it: the number and the system's words.
#pragma once

#include <windows.h>

#include <string>

namespace ovtm::setup {

std::string SystemErrorText(DWORD error);

} // namespace ovtm::setup
