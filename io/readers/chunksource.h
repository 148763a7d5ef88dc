// A buffered reader of one byte range of a stream, for the readers whose
// run-length packets want bytes one at a time without a virtual call each.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/stream.h"

namespace rv {

// Pieces of this size: few stream calls, and the piece stays in the cache
// while it is decoded.
inline constexpr int64_t kChunkSourceBytes = int64_t(1) << 18;

// Reads the byte range [pos, end) of a stream through a buffer.
class TChunkSource {
 public:
  TChunkSource(TStream& stream, int64_t pos, int64_t end)
      : stream_(stream), pos_(pos), end_(end), buffer_(size_t(std::clamp<int64_t>(end - pos, 1, kChunkSourceBytes))) {}

  // Stream offset of the next byte, and of the end of the range.
  int64_t Offset() const { return pos_ - (e - p); }
  int64_t End() const { return end_; }

  // The next byte (Get moves past it), or -1 at the end of the data.
  int Peek() {
    if (p == e && !Refill()) return -1;
    return *p;
  }
  int Get() {
    if (p == e && !Refill()) return -1;
    return *p++;
  }

  // Makes p < e hold again; false at the end of the data.
  bool Refill() {
    if (pos_ >= end_) return false;
    const int64_t want = std::min<int64_t>(int64_t(buffer_.size()), end_ - pos_);
    if (stream_.Position() != pos_) stream_.Seek(pos_, soBeginning);
    const int64_t got = std::max<int64_t>(stream_.Read(buffer_.data(), want), 0);
    if (got == 0) {
      pos_ = end_;  // the stream is shorter than it said
      return false;
    }
    pos_ += got;
    p = buffer_.data();
    e = p + got;
    return true;
  }

  // Copies up to n bytes; returns the bytes copied.
  int64_t Copy(uint8_t* out, int64_t n) {
    int64_t done = 0;
    while (done < n) {
      if (p == e && !Refill()) break;
      const int64_t k = std::min<int64_t>(n - done, e - p);
      std::memcpy(out + done, p, size_t(k));
      p += k;
      done += k;
    }
    return done;
  }

  // The next n bytes: inside the buffer when they are there in one piece,
  // else copied into scratch. *got: the bytes there are (fewer at the end).
  const uint8_t* Take(int64_t n, uint8_t* scratch, int64_t* got) {
    if (e - p >= n) {
      const uint8_t* r = p;
      p += n;
      *got = n;
      return r;
    }
    *got = Copy(scratch, n);
    return scratch;
  }

  const uint8_t* p = nullptr;
  const uint8_t* e = nullptr;

 private:
  TStream& stream_;
  int64_t pos_;
  int64_t end_;
  std::vector<uint8_t> buffer_;
};

}  // namespace rv
