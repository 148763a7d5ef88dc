#include "io/readers/giflzw.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "imaging/pxblock.h"
#include "platform/stream.h"

namespace rv {

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kTableSize = 1 << kMaxCodeBits;

// Codes least significant bit first from a byte buffer, through a 64-bit
// accumulator refilled eight bytes at a time while they are there.
class TLsbBitReader {
 public:
  TLsbBitReader(const uint8_t* data, size_t size) : p_(data), end_(data + size), begin_(data) {}

  // False when fewer than n bits are left.
  bool Read(int n, uint32_t& code) {
    if (bits_ < n) {
      Refill();
      if (bits_ < n) return false;
    }
    code = uint32_t(acc_) & ((1u << n) - 1);
    acc_ >>= n;
    bits_ -= n;
    return true;
  }

  // Whole bytes after the one holding the last bit read.
  bool BytesLeft() const {
    const int64_t consumedBits = int64_t(p_ - begin_) * 8 - bits_;
    return (consumedBits + 7) / 8 < int64_t(end_ - begin_);
  }

 private:
  void Refill() {
    if (end_ - p_ >= 8) {
      uint64_t v;
      std::memcpy(&v, p_, 8);  // little-endian hosts only, as the rest of the imaging code
      acc_ |= v << bits_;
      p_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return;
    }
    while (bits_ <= 56 && p_ < end_) {
      acc_ |= uint64_t(*p_++) << bits_;
      bits_ += 8;
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
  const uint8_t* begin_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

// Copies n >= 1 bytes between ranges that do not overlap. Most strings are a
// few bytes long: two overlapping loads and stores of a fixed width cover
// them without a loop and without touching a byte past dst + n.
inline void CopyShort(uint8_t* dst, const uint8_t* src, int64_t n) {
  if (n <= 8) {
    if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(dst, &a, 4);
      std::memcpy(dst + n - 4, &b, 4);
    } else if (n >= 2) {
      uint16_t a, b;
      std::memcpy(&a, src, 2);
      std::memcpy(&b, src + n - 2, 2);
      std::memcpy(dst, &a, 2);
      std::memcpy(dst + n - 2, &b, 2);
    } else {
      dst[0] = src[0];
    }
  } else if (n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else {
    std::memcpy(dst, src, size_t(n));
  }
}

// Moves the rows of a picture decoded in stream order to their interlaced
// places: the passes start at rows 0, 4, 2, 1 and step 8, 8, 4, 2.
void Deinterlace(uint8_t* indices, int width, int height) {
  if (height <= 1 || width <= 0) return;
  const size_t rowBytes = size_t(width);
  std::vector<uint8_t> streamOrder(indices, indices + rowBytes * size_t(height));
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  int s = 0;
  for (int pass = 0; pass < 4; ++pass)
    for (int y = kStart[pass]; y < height; y += kStep[pass], ++s)
      std::memcpy(indices + size_t(y) * rowBytes, streamOrder.data() + size_t(s) * rowBytes, rowBytes);
}

// The data sub-blocks from the stream's position joined into one block.
// Each read takes a block and the next one's length byte straight into
// place; the length byte is then overwritten by the block it announces.
// A code stream is no longer than what is left of the stream, so a block of
// that size (up to 64 MiB, growing past it only if needed) is rarely copied,
// and from 8 MiB it sits on huge pages.
size_t ReadJoinedSubBlocks(TStream& stream, TPxByteBlock& block) {
  constexpr size_t kFirstLimit = size_t(1) << 26;
  const int64_t left = stream.Size() - stream.Position();
  size_t capacity = size_t(std::clamp<int64_t>(left, 0, int64_t(kFirstLimit))) + 256;
  block = MakePxByteBlock(capacity);
  size_t used = 0;
  uint8_t n = 0;
  if (stream.Read(&n, 1) != 1) return 0;
  while (n != 0) {
    if (used + n + 1 > capacity) {
      const size_t grown = std::max(used + n + 1, capacity * 2);
      TPxByteBlock bigger = MakePxByteBlock(grown);
      std::memcpy(bigger.get(), block.get(), used);
      block = std::move(bigger);
      capacity = grown;
    }
    const int64_t got = std::max<int64_t>(stream.Read(block.get() + used, int64_t(n) + 1), 0);
    used += size_t(std::min<int64_t>(got, n));
    if (got < int64_t(n) + 1) break;
    n = block[used];
  }
  return used;
}

}  // namespace

TGifLzwResult DecodeGifLzwData(const uint8_t* data, size_t size, int minCodeSize, int width, int height,
                               uint8_t* indices, bool interlaced) {
  TGifLzwResult result;
  if (minCodeSize < kGifLzwMinCodeSize || minCodeSize > kGifLzwMaxCodeSize) {
    result.Stop = TGifLzwStop::kBadCodeSize;
    return result;
  }
  const int64_t total = width > 0 && height > 0 ? int64_t(width) * height : 0;
  if (total == 0) {
    result.Stop = TGifLzwStop::kOutputFull;
    return result;
  }

  // Entry k's string was once written to the output: it is the previous
  // code's string plus the first index of the code after it, which follow
  // each other there. So an entry is an offset and a length into the output,
  // and decoding a code is a copy, with no chain to walk.
  std::array<int64_t, kTableSize> offset;
  std::array<uint16_t, kTableSize> length;
  const uint32_t clear = 1u << minCodeSize;
  const uint32_t end = clear + 1;
  uint32_t next = clear + 2;
  int codeBits = minCodeSize + 1;
  uint32_t limit = 1u << codeBits;

  TLsbBitReader in(data, size);
  int64_t pos = 0;
  // The previous code's output, or none right after a clear code.
  bool havePrev = false;
  int64_t prevPos = 0;
  int64_t prevLen = 0;
  uint32_t code = 0;

  for (;;) {
    if (pos >= total) {
      result.Stop = TGifLzwStop::kOutputFull;
      break;
    }
    if (!in.Read(codeBits, code)) {
      result.Stop = TGifLzwStop::kDataExhausted;
      break;
    }
    int64_t len;
    if (code < clear && havePrev) {
      indices[pos] = uint8_t(code);
      len = 1;
    } else if (code > end && code < next) {
      // A table entry (there is none without a previous code).
      len = length[code];
      CopyShort(indices + pos, indices + offset[code], std::min(len, total - pos));
    } else if (code == next && havePrev && next < uint32_t(kTableSize)) {
      // The previous string and its own first index. The previous string
      // ends where this one starts.
      len = prevLen + 1;
      CopyShort(indices + pos, indices + prevPos, std::min(prevLen, total - pos));
      if (pos + prevLen < total) indices[pos + prevLen] = indices[prevPos];
    } else {
      // Rare codes: a clear code, the end code, a literal with no previous
      // code, a code past the table.
      if (code == clear) {
        next = clear + 2;
        codeBits = minCodeSize + 1;
        limit = 1u << codeBits;
        bool more = true;
        while ((more = in.Read(codeBits, code)) && code == clear) {
        }
        if (!more) {
          result.Stop = TGifLzwStop::kDataExhausted;
          break;
        }
        if (code == end) {
          result.Stop = in.BytesLeft() ? TGifLzwStop::kEndAfterClear : TGifLzwStop::kEndCode;
          break;
        }
        // First code of a fresh table: a plain index; anything not yet in
        // the table stands for index 0.
        indices[pos] = code < clear ? uint8_t(code) : 0;
      } else if (code == end) {
        result.Stop = TGifLzwStop::kEndCode;
        break;
      } else if (code < clear) {
        // A stream that starts without a clear code.
        indices[pos] = uint8_t(code);
      } else {
        result.Stop = TGifLzwStop::kBadCode;
        break;
      }
      // A first index: no table entry yet.
      havePrev = true;
      prevPos = pos;
      prevLen = 1;
      ++pos;
      continue;
    }
    if (next < uint32_t(kTableSize)) {
      offset[next] = prevPos;
      length[next] = uint16_t(prevLen + 1);
      ++next;
      if (next == limit && codeBits < kMaxCodeBits) {
        ++codeBits;
        limit <<= 1;
      }
    }
    prevPos = pos;
    prevLen = len;
    pos += len;
  }
  result.Written = std::min(pos, total);
  if (interlaced) Deinterlace(indices, width, height);
  return result;
}

int64_t ReadGifSubBlocks(TStream& stream, std::vector<uint8_t>* out) {
  int64_t total = 0;
  uint8_t n = 0;
  if (stream.Read(&n, 1) != 1) return 0;
  // Each read takes a block and the length byte of the next one.
  uint8_t block[256];
  while (n != 0) {
    const int64_t got = std::max<int64_t>(stream.Read(block, int64_t(n) + 1), 0);
    const int64_t data = std::min<int64_t>(got, n);
    if (out) out->insert(out->end(), block, block + data);
    total += data;
    if (got < int64_t(n) + 1) break;
    n = block[n];
  }
  return total;
}

void DecodeGifLzw(TStream& stream, int height, int width, uint8_t* indices, bool interlaced) {
  const int64_t start = stream.Position();
  uint8_t minCodeSize = 0;
  if (stream.Read(&minCodeSize, 1) != 1 || minCodeSize < kGifLzwMinCodeSize || minCodeSize > kGifLzwMaxCodeSize) {
    stream.Seek(start, soBeginning);
    return;
  }
  const size_t total = width > 0 && height > 0 ? size_t(width) * size_t(height) : 0;
  TPxByteBlock data;
  const size_t size = ReadJoinedSubBlocks(stream, data);
  if (size == 0) {
    std::memset(indices, 0, total);
    return;
  }
  // Indices the stream does not give are 0. Interlaced rows move after
  // decoding, so there the whole buffer is cleared first; otherwise only
  // what is left behind the decoded part.
  if (interlaced) std::memset(indices, 0, total);
  const TGifLzwResult r = DecodeGifLzwData(data.get(), size, minCodeSize, width, height, indices, interlaced);
  if (!interlaced && size_t(r.Written) < total) std::memset(indices + r.Written, 0, total - size_t(r.Written));
  if (r.Stop == TGifLzwStop::kEndAfterClear) stream.Seek(start, soBeginning);
}

}  // namespace rv
