// What every fuzz target shares: size limits and a read of the whole result.
#pragma once

#include <cstdint>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "io/limits.h"

namespace rv {

// Low enough that a hostile header is refused long before memory runs short,
// high enough for every seed picture.
inline TImageLimits FuzzLimits() {
  TImageLimits limits;
  limits.MaxSide = 8192;
  limits.MaxPixels = int64_t(1) << 22;
  return limits;
}

// Reads every byte of every row, of the alpha channel and of the mask, so
// rows handed out half-written show up under the sanitizers. A mask must
// have its bitmap's size; one that does not stops the run.
inline void TouchPixels(TPxBitmap& bitmap, const TPxMask* mask = nullptr) {
  unsigned sum = 0;
  auto rows = [&sum](TPxBitmap& b) {
    if (b.IsEmpty()) return;
    const int height = b.Height(), rowLength = b.RowLength();
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = b.RowPointer(y);
      for (int i = 0; i < rowLength; ++i) sum += row[i];
    }
  };
  rows(bitmap);
  if (bitmap.HasAlphaChannel()) rows(*bitmap.AlphaChannel());
  if (mask) {
    if (mask->Width() != bitmap.Width() || mask->Height() != bitmap.Height()) __builtin_trap();
    for (int y = 0; y < mask->Height(); ++y)
      for (int x = 0; x < mask->Width(); ++x) sum += mask->MaskRow(y)[x];
  }
  // Keeps the reads from being optimised away.
  volatile unsigned sink = sum;
  (void)sink;
}

}  // namespace rv
