// Device matching by property text (see device_match.h).
#include "device_match.h"

#include "text_compare.h"

#include <algorithm>

namespace ovtm::inject {

std::string FirstPropertyText(const PropertyBytes& bytes) {
    auto end = std::find(bytes.begin(), bytes.end(), static_cast<unsigned char>(0));
    return std::string(bytes.begin(), end);
}

bool PropertyMatches(const std::optional<PropertyBytes>& property, const std::string& hardwareId) {
    return property.has_value() && EqualIgnoringCase(FirstPropertyText(*property), hardwareId);
}

} // namespace ovtm::inject
