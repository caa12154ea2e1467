// Registry helpers for Wine-tier tests (see wine_registry.h).
#include "wine_registry.h"

#include <algorithm>

namespace ovtm::wine {

std::string RegistryValue::Text() const {
    auto end = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), end);
}

std::vector<std::string> RegistryValue::Strings() const {
    std::vector<std::string> names;
    auto at = data.begin();
    while (at != data.end()) {
        auto end = std::find(at, data.end(), BYTE{0});
        if (end == at) {
            break;
        }
        names.emplace_back(at, end);
        at = end == data.end() ? end : end + 1;
    }
    return names;
}

std::vector<BYTE> MultiStringBytes(const std::vector<std::string>& names) {
    std::vector<BYTE> bytes;
    for (const auto& name : names) {
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

std::vector<BYTE> MultiStringBytes(std::initializer_list<std::string> names) {
    return MultiStringBytes(std::vector<std::string>(names));
}

std::vector<BYTE> StringBytes(const std::string& text) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

bool WriteRegistryValue(HKEY root, const std::string& key, const std::string& name, DWORD type,
                        const std::vector<BYTE>& data) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG result =
        RegSetValueExA(handle, name.empty() ? nullptr : name.c_str(), 0, type,
                       data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

bool WriteRegistryString(HKEY root, const std::string& key, const std::string& name,
                         const std::string& text) {
    return WriteRegistryValue(root, key, name, REG_SZ, StringBytes(text));
}

std::optional<RegistryValue> ReadRegistryValue(HKEY root, const std::string& key,
                                               const std::string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue value;
    DWORD size = 0;
    const char* valueName = name.empty() ? nullptr : name.c_str();
    LONG result = RegQueryValueExA(handle, valueName, nullptr, &value.type, nullptr, &size);
    if (result == ERROR_SUCCESS) {
        value.data.resize(size);
        result = RegQueryValueExA(handle, valueName, nullptr, &value.type,
                                  value.data.empty() ? nullptr : value.data.data(), &size);
        value.data.resize(size);
    }
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

bool DeleteRegistryValue(HKEY root, const std::string& key, const std::string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
        return false;
    }
    LONG result = RegDeleteValueA(handle, name.c_str());
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

bool DeleteRegistryTree(HKEY root, const std::string& key) {
    LONG result = RegDeleteTreeA(root, key.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) {
        result = RegDeleteKeyA(root, key.c_str());
    }
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool RegistryKeyExists(HKEY root, const std::string& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

} // namespace ovtm::wine
