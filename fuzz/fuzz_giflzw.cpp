// The GIF LZW decoder alone: the first bytes choose the code size, the
// picture's size and interlacing, the rest is the code stream. Output goes
// into a buffer of exactly width × height bytes (ASan sees any write past it).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/readers/giflzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int minCodeSize = data[0] % 10;  // also 0, 1 and 9, which must be refused
  const int width = 1 + data[1] % 64;
  const int height = 1 + data[2] % 64;
  const bool interlaced = (data[3] & 1) != 0;
  std::vector<uint8_t> out(size_t(width) * size_t(height));
  const rv::TGifLzwResult r =
      rv::DecodeGifLzwData(data + 4, size - 4, minCodeSize, width, height, out.data(), interlaced);
  if (r.Written < 0 || r.Written > int64_t(out.size())) __builtin_trap();
  if (minCodeSize >= 2 && minCodeSize <= 8)
    for (uint8_t v : out)
      if (v >= (1u << minCodeSize)) __builtin_trap();  // only indices below the clear code come out
  return 0;
}
