// A temporary folder for file tests, removed with everything in it, and a scoped
// environment variable.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

namespace rv::test {

class TTestFolder {
 public:
  TTestFolder() {
    path_ = testing::TempDir() + "rv_files_XXXXXX";
    if (!mkdtemp(path_.data())) ADD_FAILURE() << "mkdtemp failed";
  }
  ~TTestFolder() {
    // Folders a test made unreadable must be opened again before they can be emptied.
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat* st, int type, FTW*) {
          if (type == FTW_D || type == FTW_DNR) chmod(p, 0700);
          (void)st;
          return 0;
        },
        16, FTW_PHYS);
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  std::string Write(const std::string& relative, const std::string& content) const {
    std::string p = *this / relative;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(*this / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string MakeFolder(const std::string& relative) const {
    std::string p = *this / relative;
    EXPECT_EQ(mkdir(p.c_str(), 0755), 0) << p;
    return p;
  }
  void Link(const std::string& target, const std::string& relative) const {
    EXPECT_EQ(symlink(target.c_str(), (*this / relative).c_str()), 0) << relative;
  }
  // Sets a file's last-write time (UTC seconds since 1970 and nanoseconds).
  void SetTime(const std::string& relative, int64_t seconds, long nanoseconds = 0) const {
    struct timespec times[2] = {{time_t(seconds), nanoseconds}, {time_t(seconds), nanoseconds}};
    EXPECT_EQ(utimensat(AT_FDCWD, (*this / relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << relative;
  }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for a scope; with TZ the
// C library's time zone is read again both ways.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~TScopedEnv() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    if (value)
      setenv(name_.c_str(), value->c_str(), 1);
    else
      unsetenv(name_.c_str());
    tzset();
  }
  std::string name_;
  std::optional<std::string> old_;
};

// 2012-11-21 13:37:46 UTC, the day count 41234.5678935185 when no offset applies.
inline constexpr int64_t kSample2012 = 1353505066;

}  // namespace rv::test
