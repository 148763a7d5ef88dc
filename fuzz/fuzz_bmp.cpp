// The BMP reader alone, in the ways its callers use it: a whole file (with
// and without native palettes), its parameters only, and the information
// header without a file header bounded by a data size, as the icon reader
// calls it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/bmpreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, int32_t dataSize, bool noFileHeader, bool paramsOnly, bool native,
            bool ignoreAlpha) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.NativePixelFormat = native ? 1 : 0;
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
  rv::ReadBmp(ctx, {.DataSize = dataSize, .IgnoreAlpha = ignoreAlpha, .NoFileHeader = noFileHeader});

  rv::TouchPixels(bitmap, mask.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, 0, false, false, false, false);
  Decode(data, size, 0, false, false, true, true);
  Decode(data, size, 0, false, true, false, false);
  // The same bytes as an icon's bitmap: no file header, bounded by a size
  // taken from the input so the bound varies too.
  if (size > 14) {
    const int32_t dataSize = static_cast<int32_t>(size - 14 - (data[2] % 16));
    Decode(data + 14, size - 14, dataSize, true, false, false, false);
  }
  return 0;
}
