// Bytes through the input component as the viewer loads them: format by
// content, then the reader, then every row of the result is touched.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imaging/pxbitmap.h"
#include "io/pictureio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rv::TPictureIO io;
  io.SetImageLimits(rv::FuzzLimits());
  io.LoadBuffer(data, static_cast<int64_t>(size), 0);

  // Rows handed out must be whole: read every byte of every row.
  rv::TPxBitmap& bitmap = *io.TargetBitmap();
  unsigned sum = 0;
  if (!bitmap.IsEmpty()) {
    const int height = bitmap.Height(), rowLength = bitmap.RowLength();
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = bitmap.RowPointer(y);
      for (int i = 0; i < rowLength; ++i) sum += row[i];
    }
    if (bitmap.HasAlphaChannel()) sum += bitmap.AlphaAt(bitmap.Width() - 1, bitmap.Height() - 1);
  }
  // Keeps the reads from being optimised away.
  volatile unsigned sink = sum;
  (void)sink;
  return 0;
}
