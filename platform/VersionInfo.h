#pragma once

#include <string>

namespace platform {

// The "FileVersion" text of the file's Portuguese (Brazil) / code page 1252 string table
// (\StringFileInfo\041604E4). Empty when the file, its version resource or that table is
// missing; other translations are not looked at. The POSIX stand-in always gives empty text.
std::string FileVersionText(const std::string& path);

} // namespace platform
