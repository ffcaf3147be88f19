#pragma once

#include <string>

namespace platform {

// Today's date (no time) in the user's short date format.
std::string ShortDateText();

} // namespace platform

namespace platform {

// Whether the byte begins a double-byte character in the system code page (never in 1252).
bool IsLeadByte(unsigned char c);

// The local time's offset from UTC in minutes (east positive), daylight saving included;
// false when the system's time-zone information cannot be read.
bool LocalUtcOffsetMinutes(int& minutes);

} // namespace platform
