// Last-write times of files and their conversion to the day-count values
// (days since 30 December 1899, time of day as the fraction) the picture list
// keys are made of.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rv {

// Last-write time of a file (symbolic links followed) in UTC milliseconds since
// 1970, truncated from nanoseconds. False when the file cannot be looked up.
bool LastWriteTimeMs(const std::string& path, int64_t* utcMs);

// The local time zone's offset from UTC in seconds at the given moment, and now.
// The time zone is read again (TZ) on each call of the current offset.
int64_t UtcOffsetSecondsAt(int64_t unixSeconds);
int64_t CurrentUtcOffsetSeconds();

// A UTC time shifted by offsetSeconds and encoded as a day count: whole days since
// 30 December 1899 plus the time of day as a fraction of 86,400,000 ms. Before that
// day the whole part is negative and the fraction is subtracted (-1.5 is noon on
// 29 December 1899), as in the classic date-time type.
double FileTimeToLocalDateTime(int64_t utcMs, int64_t offsetSeconds);
// The same with the current offset (not the offset at the file's own date, so
// values keep UTC order across daylight-saving changes).
double FileTimeToLocalDateTime(int64_t utcMs);

// A day count as general decimal text: 15 significant digits, no exponent for
// ordinary dates, trailing zeros of the fraction removed, no separator when the
// fraction is zero; the separator is the given text.
std::string DayCountText(double dayCount, std::string_view decimalSeparator);

// The decimal separator of the user's numeric locale (LC_ALL, LC_NUMERIC, LANG of
// the environment), whatever the process's own locale is; "." when that locale
// is "C" or not installed.
std::string LocaleDecimalSeparator();

}  // namespace rv
