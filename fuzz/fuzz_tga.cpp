// The TGA reader: a whole file with alpha, without alpha, and its parameters
// only.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
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
  rv::TReadContext ctx{.Stream = stream,
                       .Bitmap = bitmap,
                       .Params = params,
                       .Progress = progress,
                       .ParamsOnly = paramsOnly,
                       .MaskOut = &mask};
  rv::ReadTga(ctx, {.IgnoreAlpha = ignoreAlpha});

  rv::TouchPixels(bitmap, mask.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, false, false);
  Decode(data, size, true, false);
  Decode(data, size, false, true);
  return 0;
}
