#include "platform/Locale.h"

#include <ctime>

namespace platform {

// The stand-in uses the Brazilian short date form.
std::string ShortDateText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!::localtime_r(&now, &local))
        return {};
    char buffer[32];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%d/%m/%Y", &local);
    return std::string(buffer, n);
}

} // namespace platform

namespace platform {

bool IsLeadByte(unsigned char) {
    return false;
}

bool LocalUtcOffsetMinutes(int& minutes) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!::localtime_r(&now, &local))
        return false;
    minutes = static_cast<int>(local.tm_gmtoff / 60);
    return true;
}

} // namespace platform
