// The JPEG reader alone, as its callers use it: a whole file (as loaded, in
// the native formats, scaled to 1/8), its parameters only, and a JPEG-in-TIFF
// strip whose tables come from a separate stream (the input split in two).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/jpegreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, const uint8_t* tables, size_t tablesSize, bool native, int scale,
            bool paramsOnly, bool invertCmyk, bool rawYCbCr) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxMemStream tableStream(tables, static_cast<int64_t>(tablesSize));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.NativePixelFormat = native ? 1 : 0;
  params.JpegScale = static_cast<uint8_t>(scale);
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  rv::TReadContext ctx{
      .Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .ParamsOnly = paramsOnly};
  rv::ReadJpeg(ctx, {.Tables = tables ? &tableStream : nullptr,
                     .InvertCmyk = invertCmyk,
                     .ParseMetadata = !tables,
                     .RawYCbCr = rawYCbCr});
  rv::TouchPixels(bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, nullptr, 0, false, 1, false, false, false);
  Decode(data, size, nullptr, 0, true, 4, false, false, false);
  Decode(data, size, nullptr, 0, false, 1, true, false, false);
  if (size > 4) {
    const size_t split = data[size - 1] % (size / 2 + 1);
    Decode(data + split, size - split, data, split, false, 1, false, true, true);
  }
  return 0;
}
