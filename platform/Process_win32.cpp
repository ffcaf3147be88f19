#include "platform/Process.h"

#include "platform/WinHandles.h"

#include <vector>

namespace platform {

std::string ModuleFileName() {
    // Paths are normally at most MAX_PATH, but a longer one is read whole rather than cut.
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return std::string(buffer.data(), n);
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string RawCommandLine() {
    const char* line = GetCommandLineA();
    return line ? std::string(line) : std::string();
}

} // namespace platform

namespace platform {

bool WriteStandardOutput(std::string_view bytes) {
    return WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
}

} // namespace platform
