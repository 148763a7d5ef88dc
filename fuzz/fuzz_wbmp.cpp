// The WBMP reader: a whole file and its parameters only.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/wbmpreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, bool paramsOnly) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  rv::ReadWbmp(stream, bitmap, params, paramsOnly, progress);

  // Reads every pixel byte, so reads of memory never written show up.
  unsigned sum = 0;
  if (!bitmap.IsEmpty()) {
    const int height = bitmap.Height(), rowLength = bitmap.RowLength();
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = bitmap.RowPointer(y);
      for (int i = 0; i < rowLength; ++i) sum += row[i];
    }
  }
  volatile unsigned sink = sum;
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, false);
  Decode(data, size, true);
  return 0;
}
