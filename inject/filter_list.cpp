// Lower filter list editing (see filter_list.h).
#include "filter_list.h"

#include "text_compare.h"

#include <cstring>

namespace ovtm::inject {

std::vector<std::string> DecodeFilterList(const unsigned char* bytes, size_t size) {
    std::vector<std::string> names;
    if (bytes == nullptr) {
        return names;
    }
    const char* at = reinterpret_cast<const char*>(bytes);
    const char* end = at + size;
    while (at < end) {
        const char* zero = static_cast<const char*>(std::memchr(at, '\0', end - at));
        const char* nameEnd = zero != nullptr ? zero : end;
        if (nameEnd == at) {
            break; // the empty name that closes the list
        }
        names.emplace_back(at, nameEnd);
        at = nameEnd + 1;
    }
    return names;
}

FilterListBytes EncodeFilterList(const std::vector<std::string>& names) {
    FilterListBytes bytes;
    for (const auto& name : names) {
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
    }
    if (!bytes.empty()) {
        bytes.push_back(0);
    }
    return bytes;
}

std::optional<size_t> FindFilterEntry(const std::vector<std::string>& names,
                                      const std::string& name) {
    for (size_t index = 0; index < names.size(); ++index) {
        if (EqualIgnoringCase(names[index], name)) {
            return index;
        }
    }
    return std::nullopt;
}

size_t InsertionPosition(const std::vector<std::string>& names, InjectMode mode,
                         const std::string& reference) {
    switch (mode) {
    case InjectMode::Last:
        return names.size();
    case InjectMode::Before:
        return FindFilterEntry(names, reference).value_or(0);
    case InjectMode::After: {
        auto found = FindFilterEntry(names, reference);
        return found ? *found + 1 : names.size();
    }
    case InjectMode::Add:
    case InjectMode::Remove:
        break;
    }
    return 0;
}

std::optional<FilterListBytes> ListWithServiceAdded(const std::vector<std::string>& names,
                                                    InjectMode mode, const std::string& reference,
                                                    const std::string& service) {
    // An empty name would end the multi-string early and hide every name behind it.
    if (service.empty() || FindFilterEntry(names, service)) {
        return std::nullopt;
    }
    std::vector<std::string> edited = names;
    edited.insert(edited.begin() + InsertionPosition(names, mode, reference), service);
    return EncodeFilterList(edited);
}

std::optional<FilterListBytes> ListWithEntryRemoved(const std::vector<std::string>& names,
                                                    const std::string& name) {
    auto found = FindFilterEntry(names, name);
    if (!found) {
        return std::nullopt;
    }
    std::vector<std::string> edited = names;
    edited.erase(edited.begin() + *found);
    return EncodeFilterList(edited);
}

} // namespace ovtm::inject
