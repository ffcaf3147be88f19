#include "update/Rollout.h"

#include "platform/Crypto.h"

#include <chrono>

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t n, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2;
    const int era = year / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

bool LeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

} // namespace

bool ParseUtcTime(std::string_view text, std::int64_t& seconds) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return false;
    int year, month, day, hour, minute, second;
    if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
        !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second))
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > days[month - 1] + (month == 2 && LeapYear(year)) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool CandidateDue(int group, std::int64_t start, int hours, std::int64_t now) {
    if (group < 0 || group >= RolloutGroups || hours < 1 || hours > CandidateHoursMax)
        return false;
    return now >= start + std::int64_t(hours) * 3600 * group / RolloutGroups;
}

int DrawGroup() {
    // The largest multiple of the groups below 2^32 keeps every group equally likely.
    constexpr std::uint32_t Limit = UINT32_MAX - UINT32_MAX % RolloutGroups;
    for (int tries = 0; tries < 16; ++tries) {
        std::uint32_t value = 0;
        if (!platform::RandomBytes(&value, sizeof value))
            return -1;
        if (value < Limit)
            return static_cast<int>(value % RolloutGroups);
    }
    return -1;
}

std::int64_t UtcNow() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
