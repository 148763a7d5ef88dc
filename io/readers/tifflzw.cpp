#include "io/readers/tifflzw.h"

#include <algorithm>
#include <bit>
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
    if (bits_ < width) Refill();
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
  // Tops the accumulator up with whole bytes, eight loaded at once, while
  // eight remain; the byte loop above takes the last few.
  void Refill() {
    if (e_ - p_ < 8) return;
    const int n = (63 - bits_) >> 3;  // 1..7 bytes fit beside what is held
    uint64_t v;
    std::memcpy(&v, p_, 8);
    if constexpr (kLsbFirst != (std::endian::native == std::endian::little)) v = __builtin_bswap64(v);
    if constexpr (kLsbFirst) {
      acc_ |= (v & ((uint64_t(1) << (8 * n)) - 1)) << bits_;
    } else {
      acc_ = (acc_ << (8 * n)) | (v >> (64 - 8 * n));
    }
    p_ += n;
    bits_ += 8 * n;
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

  // Copies len bytes from out[from] to out[pos] (only what fits). The
  // string lies wholly before pos, so where 16 bytes of room are left it
  // goes in 16-byte pieces; each piece reads only bytes before pos or ones
  // this copy already wrote, and what lands past the string is overwritten
  // by the next one (the caller clears what follows the last).
  auto copy = [&](int64_t from, int64_t len) {
    uint8_t* d = out + pos;
    const uint8_t* src = out + from;
    if (outSize - pos >= ((len + 15) & ~int64_t(15))) {
      for (int64_t i = 0; i < len; i += 16) {
        uint8_t piece[16];
        std::memcpy(piece, src + i, 16);
        std::memcpy(d + i, piece, 16);
      }
      pos += len;
      return;
    }
    const int64_t n = std::min<int64_t>(len, outSize - pos);
    for (int64_t i = 0; i < n; ++i) d[i] = src[i];
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
      // own first byte.
      const bool fresh = code == next;
      if (next < kTableSize) {
        t.start[next] = prevPos;
        t.length[next] = uint16_t(t.length[prev] + 1);
        ++next;
      }
      if (code < 256) {
        out[pos++] = uint8_t(code);
      } else if (fresh) {
        // Its last byte is the one being written: copy the previous string
        // again, then repeat its first byte.
        copy(prevPos, t.length[prev]);
        if (pos < outSize) out[pos++] = out[prevPos];
      } else {
        copy(t.start[code], t.length[code]);
      }
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
