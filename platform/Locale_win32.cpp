#include "platform/Locale.h"

#include <windows.h>

namespace platform {

std::string ShortDateText() {
    char buffer[128] = {};
    int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, buffer,
                           sizeof buffer);
    return n > 0 ? std::string(buffer) : std::string();
}

} // namespace platform
