// The CCITT decoders alone: the first bytes choose the scheme, the options,
// the width and the rows; the rest is the code stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/readers/tiffccitt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  rv::TCcittOptions o;
  o.Scheme = static_cast<rv::TCcittScheme>(data[0] % 3);
  o.TwoDimensional = (data[0] & 4) != 0;
  o.Width = 1 + ((int64_t(data[1]) << 4) | (data[2] >> 4));  // 1..4096
  const int64_t rows = 1 + (data[2] & 15) * 16 + (data[3] & 15);
  const int64_t rowBytes = (o.Width + 7) / 8;
  std::vector<uint8_t> out(size_t(rows * rowBytes));
  const rv::TCcittResult r = rv::DecodeCcitt(data + 4, int64_t(size - 4), o, rows, out.data(), rowBytes);
  if (r.Rows < 0 || r.Rows > rows) __builtin_trap();
  return 0;
}
