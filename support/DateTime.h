#pragma once
// Date-times as days since 30 December 1899, the fraction being the time of day; 0 means "not
// set" wherever a date field is written.

#include <string>

using TDateTime = double;

TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0);
// False for a date outside the years 1 to 9999 or a time out of range.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       TDateTime& value);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);
// The current time in UTC.
TDateTime NowUtc();
