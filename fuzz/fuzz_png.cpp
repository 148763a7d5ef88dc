// The PNG reader alone: a whole file (as loaded and in the native formats)
// and its parameters only.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/pngreader.h"

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
  rv::TReadContext ctx{
      .Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .ParamsOnly = paramsOnly};
  rv::ReadPng(ctx);
  rv::TouchPixels(bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, false, false);
  Decode(data, size, true, false);
  Decode(data, size, false, true);
  return 0;
}
