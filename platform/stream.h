// Byte streams: the abstract TStream the readers consume, a growable memory
// stream and a file stream on a POSIX descriptor.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rv {

enum TSeekOrigin : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Raised when a file cannot be opened or created; the text names the file and the reason.
class EFOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Raised by streams that cannot do what was asked (writing a read-only stream).
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TStream {
 public:
  virtual ~TStream() = default;
  // Returns the bytes read (fewer at the end of the stream).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Returns the bytes written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position; an unknown origin, or a target before the start
  // (or past 2^63 - 1), leaves the position unchanged. Seeking from the end:
  // position = size + offset. A position past the end is allowed: reads there
  // return 0 bytes and writes extend the stream.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  // The default measures by seeking to the end and back.
  virtual int64_t Size();
  // The default throws EStreamError: a stream must say how it is sized.
  virtual void SetSize(int64_t size);
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t p) { Seek(p, soBeginning); }
  // Reads exactly count bytes or throws EStreamError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes (all from the start when count is 0) from source and
  // returns the bytes copied; throws EStreamError when source ends early.
  // A negative count copies nothing.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable stream over memory it owns. Writing past the end grows it (the gap
// is zero-filled); a size that cannot be held throws std::bad_alloc.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear() {
    data_.clear();
    pos_ = 0;
  }
  // Replaces the contents with the whole file and rewinds; false (contents
  // unchanged) when the file cannot be opened or read.
  bool LoadFromFile(const std::string& path);

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

enum TFileMode { fmOpenRead, fmOpenReadWrite, fmCreate };

// A stream on a file. The constructor throws EFOpenError when the file cannot be
// opened (or is a directory). Offsets are 64-bit. SetSize throws EStreamError
// when the file cannot be resized.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& path, TFileMode mode);
  ~TFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;
  const std::string& FileName() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace rv
