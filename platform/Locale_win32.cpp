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

namespace platform {

bool IsLeadByte(unsigned char c) {
    return IsDBCSLeadByte(c) != 0;
}

bool LocalUtcOffsetMinutes(int& minutes) {
    TIME_ZONE_INFORMATION tz;
    DWORD kind = GetTimeZoneInformation(&tz);
    if (kind == TIME_ZONE_ID_INVALID)
        return false;
    LONG bias = tz.Bias;
    if (kind == TIME_ZONE_ID_DAYLIGHT)
        bias += tz.DaylightBias;
    else if (kind == TIME_ZONE_ID_STANDARD)
        bias += tz.StandardBias;
    minutes = -static_cast<int>(bias);
    return true;
}

} // namespace platform
