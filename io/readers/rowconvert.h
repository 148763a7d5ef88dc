// Row conversions more than one reader needs, compiled once as row kernels
// (io/readers/rowkernel.h) so every caller gets the vectorised versions.
#pragma once

#include <cstdint>

namespace rv {

// count pixels of red, green, blue bytes to the blue, green, red order of
// pxRGB24 rows. src and dst must not overlap.
void RgbToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t count);

}  // namespace rv
