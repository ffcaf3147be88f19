#pragma once
// The registry values other software of the installation shares with the launcher. No routine
// lets a registry error reach its caller. Windows only.

#include <cstdint>
#include <string>

constexpr std::uint32_t RootCurrentUser = 0x80000001;
constexpr std::uint32_t RootLocalMachine = 0x80000002;
// Not a registry root: the current user's value when it exists there, else the machine's.
constexpr std::uint32_t RootUserOrMachine = 0x80000010;

// The key under which the launcher and its neighbours exchange values.
extern const char* const HandlesKey;

// Whether the value exists (of any type); a key that cannot be opened with full access counts
// as missing.
bool RegValueExists(std::uint32_t root, const std::string& key, const std::string& name);

// Writes the text as REG_SZ when the stored text differs, creating the key when missing. A value
// of another type is left alone; failures are swallowed.
void RegWriteString(std::uint32_t root, const std::string& key, const std::string& name,
                    const std::string& text);

// The REG_DWORD value, or 0 when the key or value is missing or of another type or size.
std::int32_t RegReadInteger(std::uint32_t root, const std::string& key, const std::string& name);
