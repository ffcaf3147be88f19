#pragma once
// The POSIX stand-ins' view of the program's path form. Included by POSIX-only sources alone.

#include <string>

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

struct FdTraits {
    using Handle = int;
    static Handle Invalid() noexcept { return -1; }
    static void Close(Handle fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

} // namespace platform
