// The PNM reader: a whole file converted to 24 bits, kept in its native 16-bit
// format, and its parameters only.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/pnmreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, bool native, bool paramsOnly) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.NativePixelFormat = native ? 1 : 0;
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  rv::ReadPnm(stream, bitmap, params, paramsOnly, progress);

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
  Decode(data, size, false, false);
  Decode(data, size, true, false);
  Decode(data, size, false, true);
  return 0;
}
