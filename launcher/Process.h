#pragma once
// Starting the managed application and the start script. Windows only.

#include <cstdint>
#include <string>

// What the system reports about a started process; all zero when the start failed.
struct TProcessInformation {
    std::uintptr_t Process = 0;
    std::uintptr_t Thread = 0;
    std::uint32_t ProcessId = 0;
    std::uint32_t ThreadId = 0;
};

// Starts the command line (the system takes the program from its first token and adds ".exe")
// in a new console, with the show state, in the directory (empty: the current one). The
// caller owns the handles. Neither text is cut, however long.
void StartProcess(const std::string& commandLine, std::uint16_t showState,
                  const std::string& directory, TProcessInformation& info);

// Starts the command line, waits for it to end and gives its exit code; the negated system
// error code when it cannot be started.
std::int32_t RunAndWait(const std::string& commandLine, std::uint16_t showState,
                        const std::string& directory);

// The system's message text for an error code, in the default language; empty when it has none.
std::string SystemMessageText(std::uint32_t code);
