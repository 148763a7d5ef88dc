// The TIFF LZW decoder alone, into an output whose size the input chooses:
// it must never write past it, and must give what a plain decoder (strings
// kept as byte vectors, codes read a bit at a time) gives.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/readers/tifflzw.h"

namespace {

rv::TLzwResult Reference(const uint8_t* in, int64_t inSize, std::vector<uint8_t>& out, int64_t outSize) {
  rv::TLzwResult r;
  const bool old = rv::IsOldStyleTiffLzw(in, inSize);
  int64_t bit = 0;
  auto next = [&](int width) {
    if (bit + width > inSize * 8) return -1;
    int code = 0;
    for (int i = 0; i < width; ++i, ++bit) {
      const int b = old ? (in[bit >> 3] >> (bit & 7)) & 1 : (in[bit >> 3] >> (7 - (bit & 7))) & 1;
      code |= old ? b << i : 0;
      if (!old) code = (code << 1) | b;
    }
    return code;
  };
  std::vector<std::vector<uint8_t>> table(4096);
  for (int i = 0; i < 256; ++i) table[size_t(i)] = {uint8_t(i)};
  int free = 258, width = 9, prev = -1;
  for (;;) {
    if (int64_t(out.size()) >= outSize) {
      r.Status = rv::TLzwStatus::kOutputFull;
      break;
    }
    const int code = next(width);
    if (code < 0 || code == 257) break;
    if (code == 256) {
      free = 258, width = 9, prev = -1;
      continue;
    }
    std::vector<uint8_t> s;
    if (prev < 0) {
      if (code >= 256) {
        r.Status = rv::TLzwStatus::kBad;
        break;
      }
      s = table[size_t(code)];
    } else if (code < free) {
      s = table[size_t(code)];
      if (free < 4096) {
        table[size_t(free)] = table[size_t(prev)];
        table[size_t(free++)].push_back(s[0]);
      }
    } else if (code == free && free < 4096) {
      s = table[size_t(prev)];
      s.push_back(s[0]);
      table[size_t(free++)] = s;
    } else {
      r.Status = rv::TLzwStatus::kBad;
      break;
    }
    for (uint8_t v : s)
      if (int64_t(out.size()) < outSize) out.push_back(v);
    prev = code;
    if (width < 12 && free + (old ? 0 : 1) >= (1 << width)) ++width;
  }
  r.Produced = int64_t(out.size());
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t outSize = (size_t(data[0]) << 8 | data[1]) * 4;
  const uint8_t guard = 0xA5;
  std::vector<uint8_t> out(outSize + 32, guard);
  const int64_t inSize = int64_t(size - 2);
  const rv::TLzwResult r = rv::DecodeTiffLzw(data + 2, inSize, out.data(), int64_t(outSize));
  if (r.Produced < 0 || r.Produced > int64_t(outSize)) __builtin_trap();
  for (size_t i = outSize; i < out.size(); ++i)
    if (out[i] != guard) __builtin_trap();
  if (inSize <= 0) return 0;
  std::vector<uint8_t> expected;
  const rv::TLzwResult e = Reference(data + 2, inSize, expected, int64_t(outSize));
  if (e.Produced != r.Produced || e.Status != r.Status) __builtin_trap();
  for (int64_t i = 0; i < r.Produced; ++i)
    if (out[size_t(i)] != expected[size_t(i)]) __builtin_trap();
  return 0;
}
