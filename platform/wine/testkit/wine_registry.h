// Registry helpers for Wine-tier tests: write, read and delete values and keys of the bench
// prefix, byte-exact, so tests can state a registry as it stands and check what a program left.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace ovtm::wine {

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    // The data as text, up to its first zero (or its end when it has none).
    std::string Text() const;
    // The names of a multi-string, up to the first empty one (or the end of the data).
    std::vector<std::string> Strings() const;
};

// The bytes of a multi-string: every name with its zero, then the closing zero.
std::vector<BYTE> MultiStringBytes(std::initializer_list<std::string> names);
std::vector<BYTE> MultiStringBytes(const std::vector<std::string>& names);
// The bytes of a text with its final zero.
std::vector<BYTE> StringBytes(const std::string& text);

bool WriteRegistryValue(HKEY root, const std::string& key, const std::string& name, DWORD type,
                        const std::vector<BYTE>& data);
bool WriteRegistryString(HKEY root, const std::string& key, const std::string& name,
                         const std::string& text);
std::optional<RegistryValue> ReadRegistryValue(HKEY root, const std::string& key,
                                               const std::string& name);
bool DeleteRegistryValue(HKEY root, const std::string& key, const std::string& name);
// Deletes the key with everything below it; true also when it did not exist.
bool DeleteRegistryTree(HKEY root, const std::string& key);
bool RegistryKeyExists(HKEY root, const std::string& key);

} // namespace ovtm::wine
