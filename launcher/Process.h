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
    // The system's error code, taken the moment the start failed; 0 after a start.
    std::uint32_t ErrorCode = 0;
};

// Starts the command line in a new console, with the show state, in the directory (empty: the
// current one). The program is application, a full path, when given; otherwise the system
// takes it from the command line's first token (and adds ".exe"), which in a folder whose name
// has a space may be another program. The caller owns the handles. No text is cut, however
// long.
void StartProcess(const std::string& commandLine, std::uint16_t showState,
                  const std::string& directory, TProcessInformation& info,
                  const std::string& application = {});

// Starts the command line, waits for it to end and gives its exit code; the negated system
// error code when it cannot be started.
std::int32_t RunAndWait(const std::string& commandLine, std::uint16_t showState,
                        const std::string& directory);

// The system's message text for an error code, in the default language; empty when it has none.
std::string SystemMessageText(std::uint32_t code);
