#pragma once

#include <string>

namespace platform {

// Today's date (no time) in the user's short date format.
std::string ShortDateText();

} // namespace platform
