#include "platform/filetime.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/testfolder.h"

namespace rv {
namespace {

using test::kSample2012;
using test::TScopedEnv;
using test::TTestFolder;

TEST(FileTimeTest, DayCountsOfUtcTimesAndOffsets) {
  struct Case {
    int64_t utcSeconds;
    int64_t ms;
    int64_t offset;
    const char* text;
  };
  const Case cases[] = {
      {kSample2012, 0, 0, "41234.5678935185"},
      {kSample2012 - 3600, 0, 3600, "41234.5678935185"},   // an hour east of UTC
      {kSample2012 + 7200, 0, -7200, "41234.5678935185"},  // two hours west
      {1353456000, 0, 0, "41234"},                         // midnight: no separator
      {1353456000, 1, 0, "41234.0000000116"},
      {1353456000 + 43200, 0, 0, "41234.5"},
      {1353456000 - 1, 999, 0, "41233.9999999884"},
      {0, 0, 0, "25569"},                         // 1 January 1970
      {-25569LL * 86400, 0, 0, "0"},              // 30 December 1899
      {-25570LL * 86400 + 43200, 0, 0, "-1.5"},   // noon the day before: whole part down, fraction subtracted
      {-25571LL * 86400 + 21600, 0, 0, "-2.25"},  // 06:00 two days before
      {6430816800, 0, 0, "99999.75"},             // 2173-10-13 18:00, the last five-digit day
  };
  for (const Case& c : cases) {
    double value = FileTimeToLocalDateTime(c.utcSeconds * 1000 + c.ms, c.offset);
    EXPECT_EQ(DayCountText(value, "."), c.text) << c.utcSeconds << " " << c.offset;
  }
}

TEST(FileTimeTest, TextUsesTheSeparatorGiven) {
  const double value = FileTimeToLocalDateTime(kSample2012 * 1000, 0);
  EXPECT_EQ(DayCountText(value, ","), "41234,5678935185");
  EXPECT_EQ(DayCountText(value, "\xD9\xAB"),
            "41234\xD9\xAB"
            "5678935185");  // a two-byte separator
  EXPECT_EQ(DayCountText(41234.0, ","), "41234");
}

TEST(FileTimeTest, LastWriteTimeTruncatesToMilliseconds) {
  TTestFolder folder;
  folder.Write("a.jpg", "x");
  const struct {
    int64_t seconds;
    long ns;
    int64_t ms;
  } cases[] = {{kSample2012, 999999999, kSample2012 * 1000 + 999},
               {kSample2012, 1000000, kSample2012 * 1000 + 1},
               {kSample2012, 999999, kSample2012 * 1000},
               {-1, 500000000, -500}};
  for (const auto& c : cases) {
    folder.SetTime("a.jpg", c.seconds, c.ns);
    int64_t ms = 0;
    ASSERT_TRUE(LastWriteTimeMs(folder / "a.jpg", &ms));
    EXPECT_EQ(ms, c.ms) << c.seconds << "." << c.ns;
  }
  int64_t ms = 0;
  EXPECT_FALSE(LastWriteTimeMs(folder / "missing.jpg", &ms));
}

TEST(FileTimeTest, CurrentOffsetFollowsTheTimeZone) {
  {
    TScopedEnv tz("TZ", "UTC0");
    EXPECT_EQ(CurrentUtcOffsetSeconds(), 0);
  }
  {
    TScopedEnv tz("TZ", "XXX-5:30");  // five and a half hours east, no daylight saving
    EXPECT_EQ(CurrentUtcOffsetSeconds(), 19800);
    EXPECT_EQ(DayCountText(FileTimeToLocalDateTime(kSample2012 * 1000 - 19800 * 1000), "."), "41234.5678935185");
  }
  {
    // Central Europe: +1 h in winter, +2 h in summer. The current offset applies to
    // every date, so a summer and a winter time stay exactly their UTC distance apart.
    TScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(UtcOffsetSecondsAt(1341136800), 7200);  // 1 July 2012
    EXPECT_EQ(UtcOffsetSecondsAt(kSample2012), 3600);
    const int64_t now = CurrentUtcOffsetSeconds();
    EXPECT_EQ(now, UtcOffsetSecondsAt(int64_t(time(nullptr))));
    const double summer = FileTimeToLocalDateTime(1341136800LL * 1000);
    const double winter = FileTimeToLocalDateTime(kSample2012 * 1000);
    EXPECT_DOUBLE_EQ(summer, FileTimeToLocalDateTime(1341136800LL * 1000, now));
    EXPECT_NEAR((winter - summer) * 86400.0, double(kSample2012 - 1341136800), 1e-3);
  }
}

TEST(FileTimeTest, SeparatorOfTheEnvironmentsLocale) {
  {
    TScopedEnv all("LC_ALL", "C");
    EXPECT_EQ(LocaleDecimalSeparator(), ".");
  }
  {
    TScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");  // not installed anywhere
    EXPECT_EQ(LocaleDecimalSeparator(), ".");
  }
  // A German locale, compiled for this test when the machine has none installed.
  TTestFolder folder;
  std::optional<TScopedEnv> path;
  locale_t probe = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", locale_t(0));
  if (probe) {
    freelocale(probe);
  } else {
    const std::string command = "localedef -i de_DE -f UTF-8 " + folder.Path() + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no de_DE locale and no localedef sources for one";
    path.emplace("LOCPATH", folder.Path());
  }
  TScopedEnv all("LC_ALL", std::nullopt);
  TScopedEnv numeric("LC_NUMERIC", "de_DE.UTF-8");
  // Asked in a child process: glibc keeps a locale loaded from LOCPATH for the
  // rest of the process, which the leak checker of the sanitizer build reports.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string separator = LocaleDecimalSeparator();
    ssize_t written = write(fds[1], separator.data(), separator.size());
    _exit(written == ssize_t(separator.size()) ? 0 : 1);
  }
  close(fds[1]);
  char buffer[16];
  ssize_t n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(std::string(buffer, size_t(std::max<ssize_t>(n, 0))), ",");
  // The process's own locale is not what counts.
  EXPECT_STREQ(setlocale(LC_NUMERIC, nullptr), "C");
}

}  // namespace
}  // namespace rv
