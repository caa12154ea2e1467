// A file's bytes, read whole through the system's file calls.
#pragma once

#include <optional>
#include <string>

namespace ovtm::setup {

// The file's contents; nullopt when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(const std::string& path);

} // namespace ovtm::setup
