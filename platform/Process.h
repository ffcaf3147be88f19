#pragma once
// What the running process knows about itself.

#include <string>
#include <string_view>

namespace platform {

// Full path of the running executable, in the program's path form (see Files.h).
std::string ModuleFileName();

// The process's command line as one text, program path first, as the system keeps it.
std::string RawCommandLine();

} // namespace platform

namespace platform {

// Writes bytes to standard output exactly as they are (no line-end translation).
bool WriteStandardOutput(std::string_view bytes);

// The most memory the process has held resident so far (its peak working set), in bytes; 0
// when the system does not say.
unsigned long long PeakResidentBytes();

} // namespace platform
