// 64-bit offsets on every target, also where off_t defaults to 32 bits.
#define _FILE_OFFSET_BITS 64

#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace rv {

namespace {

// Largest single read(2)/write(2) request; Linux transfers at most ~2 GiB per call anyway.
constexpr int64_t kMaxIoChunk = int64_t{1} << 30;
constexpr int64_t kCopyChunk = int64_t{1} << 16;

// Target position of a seek, or -1 when it would lie before 0 or overflow.
int64_t SeekTarget(int64_t offset, int origin, int64_t current, int64_t size) {
  int64_t base;
  switch (origin) {
    case soBeginning:
      base = 0;
      break;
    case soCurrent:
      base = current;
      break;
    case soEnd:
      base = size;
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  return target;
}

// Closes a descriptor on every way out of a scope.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// ---- TStream ----

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) {
  throw EStreamError("Stream size cannot be changed");
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count < 0) return 0;
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(count, kCopyChunk)));
  int64_t done = 0;
  while (done < count) {
    int64_t n = std::min(count - done, kCopyChunk);
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    done += n;
  }
  return done;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || pos_ >= size) return 0;
  int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end;
  if (__builtin_add_overflow(pos_, count, &end) || static_cast<uint64_t>(end) > data_.max_size())
    throw std::bad_alloc();
  if (end > Size()) {
    // Grow geometrically so a stream written in small pieces stays linear.
    if (static_cast<size_t>(end) > data_.capacity()) {
      size_t wanted = std::max(static_cast<size_t>(end), data_.capacity() + data_.capacity() / 2);
      data_.reserve(std::min(wanted, data_.max_size()));
    }
    data_.resize(static_cast<size_t>(end));
  }
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t target = SeekTarget(offset, origin, pos_, Size());
  if (target >= 0) pos_ = target;
  return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  if (static_cast<uint64_t>(size) > data_.max_size()) throw std::bad_alloc();
  data_.resize(static_cast<size_t>(size));
  if (pos_ > size) pos_ = size;
}

bool TMemoryStream::LoadFromFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  FdGuard guard{fd};
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::vector<uint8_t> data;
  if (ok) {
    // The size is only a hint: the file may change while it is read.
    data.reserve(static_cast<size_t>(std::max<off_t>(st.st_size, 0)));
    uint8_t chunk[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      data.insert(data.end(), chunk, chunk + n);
    }
  }
  if (!ok) return false;
  data_ = std::move(data);
  pos_ = 0;
  return true;
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& path, TFileMode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmOpenRead:
      flags |= O_RDONLY;
      break;
    case fmOpenReadWrite:
      flags |= O_RDWR;
      break;
    case fmCreate:
      flags |= O_CREAT | O_TRUNC | O_RDWR;
      break;
  }
  const char* verb = mode == fmCreate ? "Cannot create file \"" : "Cannot open file \"";
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw EFOpenError(verb + path + "\". " + std::strerror(errno));
  // open(2) accepts a directory for reading; it would only fail later, at the first read.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw EFOpenError(verb + path + "\". " + std::strerror(EISDIR));
  }
  fd_ = fd;
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::read(fd_, out + done, static_cast<size_t>(std::min(count - done, kMaxIoChunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file, or an error: report what arrived
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  auto* in = static_cast<const uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::write(fd_, in + done, static_cast<size_t>(std::min(count - done, kMaxIoChunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // disk full or an error: the caller sees the short count
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, int origin) {
  off_t current = ::lseek(fd_, 0, SEEK_CUR);
  if (current < 0) return -1;
  int64_t target = SeekTarget(offset, origin, current, origin == soEnd ? Size() : 0);
  if (target < 0) return current;
  off_t result = ::lseek(fd_, static_cast<off_t>(target), SEEK_SET);
  return result < 0 ? current : result;
}

int64_t TFileStream::Size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return 0;
  return st.st_size;
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw EStreamError("Cannot resize file \"" + path_ + "\". " + std::strerror(errno));
  if (Seek(0, soCurrent) > size) Seek(size, soBeginning);
}

}  // namespace rv
