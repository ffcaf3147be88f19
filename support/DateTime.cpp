#include "support/DateTime.h"

#include <chrono>
#include <cmath>

namespace {

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468 + 25569; // 1970-01-01 is 25569
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
    z -= 25569;
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

} // namespace

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       TDateTime& value) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return false;
    value = static_cast<double>(
                DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) +
            (hour * 3600 + minute * 60 + second) / 86400.0;
    return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
    TDateTime value = 0;
    TryEncodeDateTime(year, month, day, hour, minute, second, value);
    return value;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second) {
    // Round to the nearest second first, so 23:59:59.9999 does not become a new day halfway.
    long long total = std::llround(value * 86400.0);
    long long days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
    long long secs = total - days * 86400;
    CivilFromDays(days, year, month, day);
    hour = static_cast<int>(secs / 3600);
    minute = static_cast<int>(secs / 60 % 60);
    second = static_cast<int>(secs % 60);
}

int DayOfWeek(TDateTime value) {
    long long days = static_cast<long long>(std::floor(value));
    // 1899-12-30 was a Saturday (7).
    return static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
}

TDateTime NowUtc() {
    using namespace std::chrono;
    double seconds = duration<double>(system_clock::now().time_since_epoch()).count();
    return 25569.0 + seconds / 86400.0;
}
