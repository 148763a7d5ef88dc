#include "platform/filetime.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>

#include <charconv>
#include <ctime>

namespace rv {

bool LastWriteTimeMs(const std::string& path, int64_t* utcMs) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  // tv_nsec is never negative, so this truncates toward the earlier millisecond.
  *utcMs = int64_t(st.st_mtim.tv_sec) * 1000 + int64_t(st.st_mtim.tv_nsec) / 1000000;
  return true;
}

int64_t UtcOffsetSecondsAt(int64_t unixSeconds) {
  time_t t = time_t(unixSeconds);
  struct tm local;
  if (!localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}

int64_t CurrentUtcOffsetSeconds() {
  // localtime_r alone may keep a time zone read before TZ changed.
  tzset();
  return UtcOffsetSecondsAt(int64_t(time(nullptr)));
}

double FileTimeToLocalDateTime(int64_t utcMs, int64_t offsetSeconds) {
  constexpr int64_t kMsPerDay = 86400000;
  constexpr int64_t kDaysTo1970 = 25569;  // 30 December 1899 to 1 January 1970
  const int64_t localMs = utcMs + offsetSeconds * 1000;
  int64_t days = localMs / kMsPerDay;
  int64_t msOfDay = localMs % kMsPerDay;
  if (msOfDay < 0) {
    msOfDay += kMsPerDay;
    --days;
  }
  const int64_t dayCount = days + kDaysTo1970;
  const double fraction = double(msOfDay) / double(kMsPerDay);
  return dayCount >= 0 ? double(dayCount) + fraction : double(dayCount) - fraction;
}

double FileTimeToLocalDateTime(int64_t utcMs) {
  return FileTimeToLocalDateTime(utcMs, CurrentUtcOffsetSeconds());
}

std::string DayCountText(double dayCount, std::string_view decimalSeparator) {
  char buffer[64];
  // to_chars ignores the process locale, so the separator is only ever the one asked for.
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, dayCount, std::chars_format::general, 15);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (size_t dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, decimalSeparator);
  return text;
}

std::string LocaleDecimalSeparator() {
  locale_t numeric = newlocale(LC_NUMERIC_MASK, "", locale_t(0));
  if (numeric == locale_t(0)) return ".";
  std::string separator = nl_langinfo_l(RADIXCHAR, numeric);
  freelocale(numeric);
  return separator.empty() ? "." : separator;
}

}  // namespace rv
