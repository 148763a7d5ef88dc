// The icon and cursor readers: the same bytes as an icon and as a cursor, with
// an image index taken from the input, with and without alpha.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
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
  rv::TReadContext ctx{.Stream = stream,
                       .Bitmap = bitmap,
                       .Params = params,
                       .Progress = progress,
                       .ParamsOnly = paramsOnly,
                       .MaskOut = &mask};
  if (cursor) {
    rv::ReadCur(ctx, {.IgnoreAlpha = ignoreAlpha});
  } else {
    rv::ReadIco(ctx, {.IgnoreAlpha = ignoreAlpha});
  }

  rv::TouchPixels(bitmap, mask.get());
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
