// The TGA reader: a whole file with alpha, without alpha, and its parameters
// only.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_limits.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/tgareader.h"

namespace {

void Decode(const uint8_t* data, size_t size, bool ignoreAlpha, bool paramsOnly) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  std::unique_ptr<rv::TPxMask> mask;
  rv::ReadTga(stream, bitmap, params, ignoreAlpha, mask, paramsOnly, progress);

  // Reads every pixel byte, so reads of memory never written show up.
  unsigned sum = 0;
  if (!bitmap.IsEmpty()) {
    const int height = bitmap.Height(), rowLength = bitmap.RowLength();
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = bitmap.RowPointer(y);
      for (int i = 0; i < rowLength; ++i) sum += row[i];
    }
  }
  if (mask) {
    // A mask always has the bitmap's size.
    if (mask->Width() != bitmap.Width() || mask->Height() != bitmap.Height()) __builtin_trap();
    for (int y = 0; y < mask->Height(); ++y)
      for (int x = 0; x < mask->Width(); ++x) sum += mask->MaskRow(y)[x];
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
