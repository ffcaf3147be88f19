#include "platform/Process.h"

#include <sys/resource.h>

#include "platform/PosixPath.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <limits.h>
#include <unistd.h>

namespace platform {

std::string ModuleFileName() {
    char buffer[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return {};
    return ProgramPath(std::string(buffer, static_cast<std::size_t>(n)));
}

std::string RawCommandLine() {
    // Rebuilds one line from the argument vector, quoting words that hold separators, the way
    // a Windows shell would have passed them.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line, word;
    auto flush = [&] {
        bool quote = word.empty() || word.find_first_of(" \t") != std::string::npos;
        if (!line.empty())
            line += ' ';
        line += quote ? "\"" + word + "\"" : word;
        word.clear();
    };
    for (char c : all) {
        if (c == '\0')
            flush();
        else
            word += c;
    }
    if (!word.empty())
        flush();
    return line;
}

} // namespace platform

namespace platform {

bool WriteStandardOutput(std::string_view bytes) {
    return WriteAll(1, bytes);
}

unsigned long long PeakResidentBytes() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return static_cast<unsigned long long>(usage.ru_maxrss) * 1024; // Linux counts KiB
}

} // namespace platform
