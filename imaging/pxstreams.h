// Streams of the imaging core: a read-ahead wrapper around another stream and
// a read-only stream over memory the caller owns.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/stream.h"

namespace rv {

// Reads another stream through a buffer. The wrapped stream is not owned and
// must outlive this one; its size is taken once, at construction, and the
// logical position starts at its current position. Bytes past that size are
// never returned, and a wrapped stream that shrinks or fails just ends the
// data early. Write throws EStreamError.
class TPxBufferedReadStream : public TStream {
 public:
  // A buffer size below 1 is taken as 1; the buffer is never larger than the stream.
  TPxBufferedReadStream(TStream& stream, int64_t bufferSize);

  int64_t Read(void* buffer, int64_t count) override;
  // Throws EStreamError("TPxBufferedReadStream cannot write!").
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }
  int64_t BufferSize() const { return bufferSize_; }

 private:
  void Fill();

  TStream& stream_;
  int64_t bufferSize_;
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t position_ = 0;  // logical position in the wrapped stream
  int64_t next_ = 0;      // next byte within the buffer
  int64_t filled_ = 0;    // valid bytes in the buffer
  int64_t size_ = 0;
};

// A read-only stream over size bytes at address; the memory is neither copied
// nor freed and must outlive the stream. SetSize does nothing and Write writes
// nothing (returns 0).
class TPxMemStream : public TStream {
 public:
  TPxMemStream(const void* address, int64_t size);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }
  void SetSize(int64_t) override {}
  const uint8_t* Memory() const { return base_; }

 private:
  const uint8_t* base_;
  int64_t size_;
  int64_t position_ = 0;
};

}  // namespace rv
