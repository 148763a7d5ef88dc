#include "io/readers/tifflzw.h"

#include <algorithm>
#include <cstring>

namespace rv {

namespace {

constexpr int kClear = 256;
constexpr int kEndCode = 257;
constexpr int kFirstFree = 258;
constexpr int kTableSize = 4096;

// Every entry's string is already in the output: it is the previous code's
// string (written at the previous position) followed by one byte, which is
// the first byte written for the code after it. So an entry is a position
// and a length, and emitting it is a copy within the output.
struct TLzwTable {
  int64_t start[kTableSize];
  uint16_t length[kTableSize];
};

// Reads codes of a given width from the data, in either bit order.
template <bool kLsbFirst>
class TCodeReader {
 public:
  TCodeReader(const uint8_t* in, int64_t size) : p_(in), e_(in + size) {}
  // The next code, or -1 when the input has run out.
  int Next(int width) {
    while (bits_ < width) {
      if (p_ == e_) return -1;
      if constexpr (kLsbFirst) {
        acc_ |= uint64_t(*p_++) << bits_;
      } else {
        acc_ = (acc_ << 8) | *p_++;
      }
      bits_ += 8;
    }
    const uint32_t mask = (1u << width) - 1;
    if constexpr (kLsbFirst) {
      const int code = int(acc_ & mask);
      acc_ >>= width;
      bits_ -= width;
      return code;
    } else {
      bits_ -= width;
      return int((acc_ >> bits_) & mask);
    }
  }

 private:
  const uint8_t* p_;
  const uint8_t* e_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

template <bool kOldStyle>
TLzwResult Decode(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  TLzwResult result;
  if (outSize <= 0) {
    result.Status = TLzwStatus::kOutputFull;
    return result;
  }
  // 40 KB: on the stack, no allocation per strip.
  TLzwTable t;
  for (int i = 0; i < 256; ++i) t.length[i] = 1;
  // Old-style data grows its width one code later than the published form.
  constexpr int kEarly = kOldStyle ? 0 : 1;
  TCodeReader<kOldStyle> reader(in, inSize);
  int64_t pos = 0;
  int64_t prevPos = 0;
  int next = kFirstFree;
  int width = 9;
  int prev = -1;

  // Copies len bytes from out[from] to out[pos] (only what fits); the ranges
  // may overlap by design (a code defined by itself), so short or
  // overlapping copies go forward byte by byte.
  auto copy = [&](int64_t from, int64_t len) {
    const int64_t n = std::min<int64_t>(len, outSize - pos);
    uint8_t* d = out + pos;
    const uint8_t* src = out + from;
    if (n > 16 && from + n <= pos) {
      std::memcpy(d, src, size_t(n));
    } else {
      for (int64_t i = 0; i < n; ++i) d[i] = src[i];
    }
    pos += n;
  };

  for (;;) {
    if (pos >= outSize) {
      result.Status = TLzwStatus::kOutputFull;
      break;
    }
    const int code = reader.Next(width);
    if (code < 0 || code == kEndCode) break;
    if (code == kClear) {
      next = kFirstFree;
      width = 9;
      prev = -1;
      continue;
    }
    const int64_t here = pos;
    if (prev < 0) {
      // Right after a clear code (and at the start) only a literal can come.
      if (code >= 256) {
        result.Status = TLzwStatus::kBad;
        break;
      }
      out[pos++] = uint8_t(code);
    } else if (code < next || (code == next && next < kTableSize)) {
      // code == next: the entry being defined, the previous string plus its
      // own first byte; it is defined before it is copied.
      if (next < kTableSize) {
        t.start[next] = prevPos;
        t.length[next] = uint16_t(t.length[prev] + 1);
        ++next;
      }
      if (code < 256)
        out[pos++] = uint8_t(code);
      else
        copy(t.start[code], t.length[code]);
    } else {
      result.Status = TLzwStatus::kBad;
      break;
    }
    prev = code;
    prevPos = here;
    if (width < 12 && next + kEarly >= (1 << width)) ++width;
  }
  result.Produced = pos;
  return result;
}

TLzwResult DecodeAny(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  return DecodeTiffLzw(in, inSize, out, outSize);
}

}  // namespace

bool IsOldStyleTiffLzw(const uint8_t* in, int64_t inSize) {
  return inSize >= 2 && in[0] == 0 && (in[1] & 1) != 0;
}

TLzwResult DecodeTiffLzw(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  if (in == nullptr || inSize <= 0) return {};
  if (IsOldStyleTiffLzw(in, inSize)) return Decode<true>(in, inSize, out, outSize);
  return Decode<false>(in, inSize, out, outSize);
}

const TTiffLzwCodec& BuiltInTiffLzwCodec() {
  static const TTiffLzwCodec codec{DecodeAny, nullptr};
  return codec;
}

}  // namespace rv
