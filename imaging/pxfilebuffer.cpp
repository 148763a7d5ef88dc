#include "imaging/pxfilebuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/system.h"

namespace rv {

TPxFileBuffer::~TPxFileBuffer() {
  Release();
}

bool TPxFileBuffer::Create(const std::string& prefix, int64_t size) {
  Release();
  if (size < 0) return false;
  std::string name;
  int fd = CreateTempFile(prefix, &name);
  if (fd < 0) return false;
  // The name is dropped at once: nothing is left behind however the process ends.
  unlink(name.c_str());
  // Reserve the space now so a full disk is noticed here, not half-way through
  // writing rows; file systems without fallocate get a sparse file.
  int rc = size > 0 ? fallocate(fd, 0, 0, size) : 0;
  if (rc != 0 && (errno == EOPNOTSUPP || errno == ENOSYS)) rc = ftruncate(fd, size);
  if (rc != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  size_ = size;
  fileName_ = name;
  return true;
}

bool TPxFileBuffer::ReadAt(int64_t offset, void* data, int64_t count) {
  auto* p = static_cast<uint8_t*>(data);
  while (count > 0) {
    ssize_t n = pread(fd_, p, size_t(std::min<int64_t>(count, 1 << 30)), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::memset(p, 0, size_t(count));
      return false;
    }
    p += n;
    offset += n;
    count -= n;
  }
  return true;
}

bool TPxFileBuffer::WriteAt(int64_t offset, const void* data, int64_t count) {
  auto* p = static_cast<const uint8_t*>(data);
  while (count > 0) {
    ssize_t n = pwrite(fd_, p, size_t(std::min<int64_t>(count, 1 << 30)), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += n;
    count -= n;
  }
  return true;
}

uint8_t* TPxFileBuffer::MapView(int64_t offset, int64_t length, uint8_t access) {
  View v{offset, length, std::unique_ptr<uint8_t[]>(new uint8_t[size_t(length)]), access};
  if (access & kAccessRead) {
    ReadAt(offset, v.buffer.get(), length);
  }
  uint8_t* p = v.buffer.get();
  views_.push_back(std::move(v));
  return p;
}

void TPxFileBuffer::UnmapView(uint8_t* buffer) {
  auto it = std::find_if(views_.begin(), views_.end(), [&](const View& v) { return v.buffer.get() == buffer; });
  if (it == views_.end()) return;
  if ((it->access & kAccessWrite) && fd_ >= 0) WriteAt(it->offset, it->buffer.get(), it->length);
  views_.erase(it);
}

void TPxFileBuffer::UnmapAllViews() {
  for (View& v : views_)
    if ((v.access & kAccessWrite) && fd_ >= 0) WriteAt(v.offset, v.buffer.get(), v.length);
  views_.clear();
}

void TPxFileBuffer::Release() {
  UnmapAllViews();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  size_ = 0;
  fileName_.clear();
}

bool TPxFileBuffer::CopyFrom(TPxFileBuffer& source, int64_t offset, int64_t count) {
  source.UnmapAllViews();
  UnmapAllViews();
  if (fd_ < 0 || source.fd_ < 0 || offset < 0 || count < 0) return false;
  // The kernel copies between the two files without a round trip through user
  // memory; a 1 MiB buffer serves where it cannot.
  loff_t in = offset, out = offset;
  int64_t left = count;
  while (left > 0) {
    ssize_t n = copy_file_range(source.fd_, &in, fd_, &out, size_t(std::min<int64_t>(left, 1 << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    left -= n;
  }
  if (left > 0) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[1 << 20]);
    int64_t pos = offset + (count - left);
    while (left > 0) {
      int64_t chunk = std::min<int64_t>(left, 1 << 20);
      if (!source.ReadAt(pos, buf.get(), chunk) || !WriteAt(pos, buf.get(), chunk)) return false;
      pos += chunk;
      left -= chunk;
    }
  }
  return true;
}

}  // namespace rv
