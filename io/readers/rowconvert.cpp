#include "io/readers/rowconvert.h"

#include "io/readers/rowkernel.h"

namespace rv {

RV_ROW_KERNEL void RgbToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t count) {
  for (int64_t x = 0; x < count; ++x) {
    dst[3 * x] = src[3 * x + 2];
    dst[3 * x + 1] = src[3 * x + 1];
    dst[3 * x + 2] = src[3 * x];
  }
}

}  // namespace rv
