#include "platform/Process.h"

#include "platform/WinHandles.h"

#include <psapi.h>

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

unsigned long long PeakResidentBytes() {
    // Through kernel32's own entry (Windows 7 on), so no program gains an import of psapi.dll.
    using TGetMemoryInfo = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    auto get = reinterpret_cast<TGetMemoryInfo>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo")));
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!get || !get(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.PeakWorkingSetSize;
}

} // namespace platform
