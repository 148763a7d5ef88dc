// The TIFF LZW decoder alone, into an output whose size the input chooses:
// it must never write past it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/readers/tifflzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t outSize = (size_t(data[0]) << 8 | data[1]) * 4;
  std::vector<uint8_t> out(outSize);
  const rv::TLzwResult r = rv::DecodeTiffLzw(data + 2, int64_t(size - 2), out.data(), int64_t(outSize));
  if (r.Produced < 0 || r.Produced > int64_t(outSize)) __builtin_trap();
  return 0;
}
