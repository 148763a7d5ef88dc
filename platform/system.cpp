#include "platform/system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

namespace rv {

uint64_t FreePhysicalMemory() {
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kb = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
        found = true;
        break;
      }
    }
    std::fclose(f);
    if (found) return uint64_t(kb) * 1024;
  }
  struct sysinfo si;
  if (sysinfo(&si) == 0) return uint64_t(si.freeram) * si.mem_unit;
  return 0;
}

std::string TempDirectory() {
  std::string dir;
  if (const char* t = std::getenv("TMPDIR")) {
    struct stat st;
    if (*t && stat(t, &st) == 0 && S_ISDIR(st.st_mode)) dir = t;
  }
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

uint64_t TickCountMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

double PerformanceSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int CreateTempFile(const std::string& prefix, std::string* name) {
  static thread_local std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<uint32_t> dist(0, 2147483646u);
  const std::string dir = TempDirectory();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", dist(rng));
    std::string candidate = dir + prefix + "-" + hex + ".tmp";
    // O_EXCL with O_CREAT fails on any existing entry, a planted symbolic link included.
    int fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (name) *name = candidate;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace rv
