#include "platform/Profile.h"

#include <windows.h>

namespace platform {

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue) {
    char buffer[ProfileValueMax + 1] = {};
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                                       sizeof buffer, path.c_str());
    return std::string(buffer, n);
}

bool WriteProfileValue(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& value) {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) !=
           0;
}

bool DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key) {
    if (ReadProfileValue(path, section, key, "\x01") == "\x01")
        return true; // no such key: the file stays as it is
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, path.c_str()) != 0;
}

} // namespace platform
