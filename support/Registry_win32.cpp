#include "support/Registry.h"

#include <windows.h>

#include "platform/UniqueHandle.h"

const char* const HandlesKey = "\\Software\\Dravo\\Handles\\";

namespace {

struct KeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { RegCloseKey(h); }
};
using UniqueKey = UniqueHandle<KeyTraits>;

HKEY RootKey(std::uint32_t root) {
    switch (root) {
    case RootCurrentUser:
        return HKEY_CURRENT_USER;
    case RootLocalMachine:
        return HKEY_LOCAL_MACHINE;
    default:
        return nullptr;
    }
}

// The leading backslash marks the path as absolute; the platform wants it without.
std::string Relative(const std::string& key) {
    return !key.empty() && key[0] == '\\' ? key.substr(1) : key;
}

UniqueKey Open(std::uint32_t root, const std::string& key, REGSAM access) {
    HKEY h = nullptr;
    HKEY base = RootKey(root);
    if (!base || RegOpenKeyExA(base, Relative(key).c_str(), 0, access, &h) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(h);
}

} // namespace

bool RegValueExists(std::uint32_t root, const std::string& key, const std::string& name) {
    if (!Open(root, key, KEY_ALL_ACCESS))
        return false;
    UniqueKey k = Open(root, key, KEY_READ);
    return k && RegQueryValueExA(k.Get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                    ERROR_SUCCESS;
}

void RegWriteString(std::uint32_t root, const std::string& key, const std::string& name,
                    const std::string& text) {
    HKEY base = RootKey(root);
    HKEY h = nullptr;
    if (!base || RegCreateKeyExA(base, Relative(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &h, nullptr) != ERROR_SUCCESS)
        return;
    UniqueKey k(h);
    DWORD type = 0, size = 0;
    LONG found = RegQueryValueExA(k.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::string stored;
    if (found == ERROR_SUCCESS) {
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return; // a value of another type is not ours to replace
        std::string buffer(size, '\0');
        if (size > 0 &&
            RegQueryValueExA(k.Get(), name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
            return;
        stored.assign(buffer.c_str());
    } else if (found != ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (stored == text)
        return;
    RegSetValueExA(k.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
}

std::int32_t RegReadInteger(std::uint32_t root, const std::string& key, const std::string& name) {
    if (root == RootUserOrMachine)
        root = RegValueExists(RootCurrentUser, key, name) ? RootCurrentUser : RootLocalMachine;
    UniqueKey k = Open(root, key, KEY_READ);
    if (!k)
        return 0;
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(k.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    return static_cast<std::int32_t>(value);
}
