#include "imaging/pxstreams.h"

#include <algorithm>
#include <cstring>

namespace rv {

namespace {

// New position of a seek, or current when the origin is unknown or the
// target lies before the start.
int64_t SeekPosition(int64_t offset, int origin, int64_t current, int64_t size) {
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
      return current;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return current;
  return target;
}

}  // namespace

// ---- TPxBufferedReadStream ----

TPxBufferedReadStream::TPxBufferedReadStream(TStream& stream, int64_t bufferSize) : stream_(stream) {
  size_ = std::max<int64_t>(stream_.Size(), 0);
  position_ = std::max<int64_t>(stream_.Position(), 0);
  // A buffer larger than the whole stream would only hold nothing.
  bufferSize_ = std::clamp<int64_t>(bufferSize, 1, std::max<int64_t>(size_, 1));
  buffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(bufferSize_));
  Fill();
}

void TPxBufferedReadStream::Fill() {
  next_ = 0;
  filled_ = 0;
  if (position_ >= size_ || stream_.Seek(position_, soBeginning) != position_) return;
  filled_ = std::clamp<int64_t>(stream_.Read(buffer_.get(), bufferSize_), 0, bufferSize_);
}

int64_t TPxBufferedReadStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  count = std::min(count, size_ - position_);
  if (count > bufferSize_) {
    // Too large for the buffer: read straight into the caller's memory and
    // let the next small read refill at the new position.
    int64_t got = 0;
    if (stream_.Seek(position_, soBeginning) == position_)
      got = std::clamp<int64_t>(stream_.Read(out, count), 0, count);
    position_ += got;
    next_ = filled_ = 0;
    return got;
  }
  int64_t done = 0;
  while (done < count) {
    if (next_ >= filled_) {
      Fill();
      if (filled_ == 0) break;  // the wrapped stream ended before its recorded size
    }
    int64_t n = std::min(count - done, filled_ - next_);
    std::memcpy(out + done, buffer_.get() + next_, static_cast<size_t>(n));
    next_ += n;
    position_ += n;
    done += n;
  }
  return done;
}

int64_t TPxBufferedReadStream::Write(const void*, int64_t) {
  throw EStreamError("TPxBufferedReadStream cannot write!");
}

int64_t TPxBufferedReadStream::Seek(int64_t offset, int origin) {
  int64_t target = SeekPosition(offset, origin, position_, size_);
  if (target != position_) {
    position_ = target;
    Fill();
  }
  return position_;
}

// ---- TPxMemStream ----

TPxMemStream::TPxMemStream(const void* address, int64_t size)
    : base_(static_cast<const uint8_t*>(address)), size_(address ? std::max<int64_t>(size, 0) : 0) {}

int64_t TPxMemStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, base_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TPxMemStream::Write(const void*, int64_t) {
  return 0;
}

int64_t TPxMemStream::Seek(int64_t offset, int origin) {
  position_ = SeekPosition(offset, origin, position_, size_);
  return position_;
}

}  // namespace rv
