// Editing a device's lower filter list: decoding the registry's multi-string bytes, finding a
// name, and the lists the add modes and remove mode write back.
#pragma once

#include "command_line.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace ovtm::inject {

using FilterListBytes = std::vector<unsigned char>;

// The names of a multi-string of size bytes: zero-terminated names up to the first empty one.
// A list without its final zeros still yields the names it holds; nothing past size is read.
std::vector<std::string> DecodeFilterList(const unsigned char* bytes, size_t size);

// The bytes to write: every name with its zero, then the closing zero; no names give no bytes
// (an empty list is written with size 0).
FilterListBytes EncodeFilterList(const std::vector<std::string>& names);

// The index of the first name equal to name (letter case aside), if any.
std::optional<size_t> FindFilterEntry(const std::vector<std::string>& names,
                                      const std::string& name);

// Where an add mode puts the service: Add at the start, Last at the end, Before at the first
// entry equal to reference (else the start), After behind it (else the end).
size_t InsertionPosition(const std::vector<std::string>& names, InjectMode mode,
                         const std::string& reference);

// The list with service inserted where mode puts it; nullopt (write nothing) when the list
// names the service already, or the service is empty (a quoted "" on the command line).
std::optional<FilterListBytes> ListWithServiceAdded(const std::vector<std::string>& names,
                                                    InjectMode mode, const std::string& reference,
                                                    const std::string& service);

// The list without the first entry equal to name; nullopt (write nothing) when there is none.
// Only that one entry goes: a name listed twice needs two runs.
std::optional<FilterListBytes> ListWithEntryRemoved(const std::vector<std::string>& names,
                                                    const std::string& name);

} // namespace ovtm::inject
