#pragma once
// What the running process knows about itself.

#include <string>

namespace platform {

// Full path of the running executable, in the program's path form (see Files.h).
std::string ModuleFileName();

// The process's command line as one text, program path first, as the system keeps it.
std::string RawCommandLine();

} // namespace platform
