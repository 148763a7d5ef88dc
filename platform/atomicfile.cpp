#include "platform/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace rv {

EFileWriteError::EFileWriteError(const std::string& fileName, int systemError)
    : std::runtime_error("Unable to write to " + fileName), systemError_(systemError) {}

std::string EFileWriteError::Reason() const {
  return std::strerror(systemError_);
}

namespace {

// The file a write really replaces: the target of a symbolic link (renaming over
// the link would turn it into a plain file), else the name itself.
std::string WriteTarget(const std::string& fileName) {
  struct stat st;
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* resolved = ::realpath(fileName.c_str(), nullptr)) {
      std::string target = resolved;
      std::free(resolved);
      return target;
    }
    // A dangling link: write where it points, relative to the link's folder.
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(fileName.c_str(), buffer, sizeof buffer - 1);
    if (n > 0) {
      std::string link(buffer, size_t(n));
      if (link[0] == '/') return link;
      size_t slash = fileName.rfind('/');
      return slash == std::string::npos ? link : fileName.substr(0, slash + 1) + link;
    }
  }
  return fileName;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(size_t(n));
  }
  return true;
}

}  // namespace

void ReplaceFileContent(const std::string& fileName, std::string_view data) {
  const std::string target = WriteTarget(fileName);
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

  // Hidden name in the same folder, so the rename stays on one file system and a
  // leftover after a power cut is not taken for a picture or a settings file.
  std::string temp = (slash == std::string::npos ? std::string() : folder) + "." + base + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) throw EFileWriteError(fileName, errno);

  int failure = 0;
  struct stat old;
  mode_t mode;
  if (::stat(target.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd, mode) != 0 || !WriteAll(fd, data) || ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temp.c_str(), target.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temp.c_str());
    throw EFileWriteError(fileName, failure);
  }
  // Make the rename itself durable; the content is already safe either way.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

bool ReadWholeFile(const std::string& fileName, std::string* data) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  int e = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (e != 0) {
    // open(2) takes a folder for reading; it would only fail at the first read.
    ::close(fd);
    errno = e;
    return false;
  }
  data->clear();
  if (st.st_size > 0) data->reserve(size_t(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      errno = e;
      return false;
    }
    if (n == 0) break;
    data->append(buffer, size_t(n));
  }
  ::close(fd);
  return true;
}

}  // namespace rv
