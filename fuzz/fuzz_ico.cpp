// The icon and cursor readers: the same bytes as an icon and as a cursor, with
// an image index taken from the input, with and without alpha.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_limits.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/icoreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, bool cursor, int32_t index, bool ignoreAlpha, bool paramsOnly) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.SetImageIndex(index);
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  std::unique_ptr<rv::TPxMask> mask;
  if (cursor) {
    rv::ReadCur(stream, bitmap, params, ignoreAlpha, mask, progress, paramsOnly);
  } else {
    rv::ReadIco(stream, bitmap, params, ignoreAlpha, mask, progress, paramsOnly);
  }

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
  const int32_t index = size > 4 ? data[size - 1] % 4 : 0;
  Decode(data, size, false, 0, false, false);
  Decode(data, size, false, index, true, false);
  Decode(data, size, true, index, false, false);
  Decode(data, size, false, index, false, true);
  return 0;
}
