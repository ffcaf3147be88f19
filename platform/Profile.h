#pragma once
// Profile (INI) files, read and written one key at a time with the platform's rules: section and
// key names match without regard to case, the first match wins, a missing file, section or key
// gives the default, and a value read is cut to ProfileValueMax characters. A write creates the
// file, the section and the key as needed. Nothing is cached between calls.

#include <cstddef>
#include <string>

namespace platform {

// The read buffer holds 2048 bytes including the terminator.
constexpr std::size_t ProfileValueMax = 2047;

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue);

// False when the platform refuses the write (missing directory, read-only file, ...).
bool WriteProfileValue(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& value);

// Removes the key (nothing to do when there is none); false when the platform refuses.
bool DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key);

} // namespace platform
