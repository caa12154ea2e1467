// Whether a device is one the injection command means: one of four of its properties, read in
// order, equals the hardware id given on the command line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace ovtm::inject {

using PropertyBytes = std::vector<unsigned char>;

// The text a property's bytes start with: up to the first zero, never past the end (a property
// without a terminator is taken whole). For a multi-string this is its first entry.
std::string FirstPropertyText(const PropertyBytes& bytes);

// A property that could be read and whose first text equals hardwareId, letter case aside.
// An unreadable property (nullopt) never matches.
bool PropertyMatches(const std::optional<PropertyBytes>& property, const std::string& hardwareId);

} // namespace ovtm::inject
