// The PCX and DCX readers: a whole PCX (also cut short by a data size taken
// from the input, as DCX pages are), its parameters only, and the same bytes
// as a DCX with a page index taken from the input.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/pcxreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, bool dcx, int64_t dataSize, int32_t index, bool paramsOnly) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.SetImageIndex(index);
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  rv::TReadContext ctx{
      .Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .ParamsOnly = paramsOnly};
  if (dcx) {
    rv::ReadDcx(ctx);
  } else {
    rv::ReadPcx(ctx, {.DataSize = dataSize});
  }
  rv::TouchPixels(bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, false, 0, 0, false);
  Decode(data, size, false, 0, 0, true);
  if (size > 16) Decode(data, size, false, static_cast<int64_t>(size) - data[size - 1] * 4, 0, false);
  Decode(data, size, true, 0, size > 8 ? data[8] % 4 : 0, false);
  return 0;
}
