// Names of the NTSTATUS values a scenario is likely to meet, so that output reads
// "STATUS_CANCELLED" rather than 0xC0000120.
#pragma once

#include <cstdint>
#include <string>

namespace scenario {

// The value's name, or its value in hex (0xC00000AB) for one without a name here.
std::string StatusName(uint32_t status);

} // namespace scenario
