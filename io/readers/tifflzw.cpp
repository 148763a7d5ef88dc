#include "io/readers/tifflzw.h"

#include <cstring>

namespace rv {

namespace {

constexpr int kClear = 256;
constexpr int kEndCode = 257;
constexpr int kFirstFree = 258;
constexpr int kTableSize = 4096;

struct TLzwTable {
  uint16_t prefix[kTableSize];
  uint16_t length[kTableSize];
  uint8_t suffix[kTableSize];
  uint8_t first[kTableSize];
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
  // The table is 16 KB: on the heap of the caller's thread would need an
  // allocation per strip, so it lives on the stack.
  TLzwTable t;
  for (int i = 0; i < 256; ++i) {
    t.prefix[i] = 0;
    t.length[i] = 1;
    t.suffix[i] = uint8_t(i);
    t.first[i] = uint8_t(i);
  }
  // Old-style data grows its width one code later than the published form.
  constexpr int kEarly = kOldStyle ? 0 : 1;
  TCodeReader<kOldStyle> reader(in, inSize);
  int64_t pos = 0;
  int next = kFirstFree;
  int width = 9;
  int prev = -1;

  // Writes the string of code at pos (only the part that fits).
  auto emit = [&](int code) {
    const int len = t.length[code];
    if (pos + len <= outSize) {
      uint8_t* dst = out + pos + len - 1;
      int c = code;
      for (int i = 0; i < len; ++i) {
        *dst-- = t.suffix[c];
        c = t.prefix[c];
      }
      pos += len;
    } else {
      int c = code;
      for (int i = len - 1; i >= 0; --i) {
        if (pos + i < outSize) out[pos + i] = t.suffix[c];
        c = t.prefix[c];
      }
      pos = outSize;
    }
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
    if (prev < 0) {
      // Right after a clear code (and at the start) only a literal can come.
      if (code >= 256) {
        result.Status = TLzwStatus::kBad;
        break;
      }
      out[pos++] = uint8_t(code);
      prev = code;
      continue;
    }
    if (code < next) {
      emit(code);
      if (next < kTableSize) {
        t.prefix[next] = uint16_t(prev);
        t.suffix[next] = t.first[code];
        t.first[next] = t.first[prev];
        t.length[next] = uint16_t(t.length[prev] + 1);
        ++next;
      }
    } else if (code == next && next < kTableSize) {
      t.prefix[next] = uint16_t(prev);
      t.suffix[next] = t.first[prev];
      t.first[next] = t.first[prev];
      t.length[next] = uint16_t(t.length[prev] + 1);
      ++next;
      emit(code);
    } else {
      result.Status = TLzwStatus::kBad;
      break;
    }
    prev = code;
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
