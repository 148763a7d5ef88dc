// Bytes through the input component's load by content: the format the
// content names, then its reader, then every row of the result is touched.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "io/pictureio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rv::TPictureIO io;
  io.SetImageLimits(rv::FuzzLimits());
  io.LoadBuffer(data, static_cast<int64_t>(size), 0);

  // Rows handed out must be whole: read every byte of every row.
  rv::TouchPixels(*io.TargetBitmap());
  return 0;
}
