#pragma once
// The POSIX stand-ins' view of the program's path form. Included by POSIX-only sources alone.

#include <cerrno>
#include <string>
#include <string_view>

#include <unistd.h>

#include "platform/UniqueHandle.h"

namespace platform {

inline std::string NativePath(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

inline std::string ProgramPath(std::string path) {
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Writes every byte, going on after short writes and interruptions.
inline bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

struct FdTraits {
    using Handle = int;
    static Handle Invalid() noexcept { return -1; }
    static void Close(Handle fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

} // namespace platform
