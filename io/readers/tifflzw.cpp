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

// Every entry's string is already somewhere it can be copied from: a literal
// in kLiterals, any other entry in the output (the previous code's string,
// written at the previous position, followed by one byte, which is the first
// byte written for the code after it). So an entry is a pointer and a
// length, and emitting any code is one copy, with no branch on its kind.
struct TLzwTable {
  const uint8_t* start[kTableSize];
  uint16_t length[kTableSize];
};

// Bytes 0..255, and room for a 16-byte load from the last of them.
struct TLiterals {
  uint8_t bytes[256 + 16];
  constexpr TLiterals() : bytes() {
    for (int i = 0; i < 256; ++i) bytes[i] = uint8_t(i);
  }
};
constexpr TLiterals kLiterals;

// The longest string: 256 entries of one byte, each later one a byte longer
// at most. Where this much room plus a 16-byte piece is left, copies need no
// bound check.
constexpr int64_t kRoom = kTableSize + 16;

// Reads codes of a given width from the data, in either bit order. The bits
// not yet used sit at the top of acc_ (most significant bit first) or at its
// bottom (least significant bit first); while eight bytes are left it is
// topped up with one unaligned load, else a byte at a time.
template <bool kLsbFirst>
class TCodeReader {
 public:
  TCodeReader(const uint8_t* in, int64_t size) : p_(in), e_(in + size) {}
  // The next code, or kNoCode when the input has run out.
  static constexpr int kNoCode = 1 << 16;
  int Next(int width) {
    if (bits_ < width) {
      Refill();
      if (bits_ < width) return kNoCode;
    }
    int code;
    if constexpr (kLsbFirst) {
      code = int(acc_ & ((uint64_t(1) << width) - 1));
      acc_ >>= width;
    } else {
      code = int(acc_ >> (64 - width));
      acc_ <<= width;
    }
    bits_ -= width;
    return code;
  }

 private:
  void Refill() {
    if (e_ - p_ >= 8) {
      uint64_t v;
      std::memcpy(&v, p_, 8);
      if constexpr (kLsbFirst != (std::endian::native == std::endian::little)) v = __builtin_bswap64(v);
      if constexpr (kLsbFirst)
        acc_ |= v << bits_;
      else
        acc_ |= v >> bits_;
      p_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return;
    }
    while (bits_ <= 56 && p_ < e_) {
      if constexpr (kLsbFirst)
        acc_ |= uint64_t(*p_++) << bits_;
      else
        acc_ |= uint64_t(*p_++) << (56 - bits_);
      bits_ += 8;
    }
  }

  const uint8_t* p_;
  const uint8_t* e_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

// Copies a string of len bytes that lies wholly before d. With kRoom bytes
// of room at d it goes in 16-byte pieces: each piece reads only bytes before
// d or ones this copy already wrote, and what lands past the string is
// overwritten by the next one (the caller clears what follows the last).
inline void CopyString(uint8_t* d, const uint8_t* s, int64_t len) {
  uint8_t piece[16];
  std::memcpy(piece, s, 16);
  std::memcpy(d, piece, 16);
  for (int64_t i = 16; i < len; i += 16) {
    std::memcpy(piece, s + i, 16);
    std::memcpy(d + i, piece, 16);
  }
}

template <bool kOldStyle>
TLzwResult Decode(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  TLzwResult result;
  if (outSize <= 0) {
    result.Status = TLzwStatus::kOutputFull;
    return result;
  }
  // 40 KB: on the stack, no allocation per strip.
  TLzwTable t;
  for (int i = 0; i < 256; ++i) {
    t.start[i] = kLiterals.bytes + i;
    t.length[i] = 1;
  }
  // Old-style data grows its width one code later than the published form.
  constexpr int kEarly = kOldStyle ? 0 : 1;
  constexpr int kNoCode = TCodeReader<kOldStyle>::kNoCode;
  TCodeReader<kOldStyle> reader(in, inSize);
  int64_t pos = 0;
  int64_t prevPos = 0;  // where the previous code's string was written
  int64_t prevLen = 0;  // and its length; 0 right after a clear code
  int next = kFirstFree;
  int width = 9;
  int grow = (1 << width) - kEarly;  // the width grows when next reaches this

  // Writes len bytes from s at pos, only what fits.
  auto emit = [&](const uint8_t* s, int64_t len) {
    if (outSize - pos >= kRoom) {
      CopyString(out + pos, s, len);
      pos += len;
      return;
    }
    const int64_t n = std::min<int64_t>(len, outSize - pos);
    for (int64_t i = 0; i < n; ++i) out[pos + i] = s[i];
    pos += n;
  };

  for (;;) {
    if (pos >= outSize) {
      result.Status = TLzwStatus::kOutputFull;
      break;
    }
    const int code = reader.Next(width);
    if (code < next && code != kClear && code != kEndCode && prevLen > 0) {
      // The common case: a known code after another one. The new entry is
      // the previous string plus this string's first byte.
      if (next < kTableSize) {
        t.start[next] = out + prevPos;
        t.length[next] = uint16_t(prevLen + 1);
        if (++next >= grow && width < 12) grow = (1 << ++width) - kEarly;
      }
      const int64_t len = t.length[code];
      prevPos = pos;
      prevLen = len;
      emit(t.start[code], len);
      continue;
    }
    if (code == kNoCode || code == kEndCode) break;  // the end code, or the input ran out
    if (code == kClear) {
      next = kFirstFree;
      width = 9;
      grow = (1 << width) - kEarly;
      prevLen = 0;
      continue;
    }
    if (prevLen == 0) {
      // Right after a clear code (and at the start) only a literal can come.
      if (code >= 256) {
        result.Status = TLzwStatus::kBad;
        break;
      }
      prevPos = pos;
      prevLen = 1;
      out[pos++] = uint8_t(code);
      continue;
    }
    if (code != next || next >= kTableSize) {
      // Past the next free entry: the data cannot be right.
      result.Status = TLzwStatus::kBad;
      break;
    }
    // code == next: the entry being defined, the previous string plus its
    // own first byte. Copy the previous string again, then repeat its first
    // byte.
    t.start[next] = out + prevPos;
    t.length[next] = uint16_t(prevLen + 1);
    if (++next >= grow && width < 12) grow = (1 << ++width) - kEarly;
    const int64_t from = prevPos;
    prevPos = pos;
    emit(out + from, prevLen);
    if (pos < outSize) out[pos++] = out[from];
    prevLen = prevLen + 1;
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
