// The JPEG 2000 reader alone: the input as a JP2 file and as a code stream
// (the first bytes decide which it is read as), in the 8-bit and the native
// formats.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/jp2reader.h"

namespace {

void Decode(const uint8_t* data, size_t size, int32_t fileType, bool native) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.NativePixelFormat = native ? 1 : 0;
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  rv::TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress};
  rv::ReadJpeg2000(ctx, {.FileType = fileType});
  rv::TouchPixels(bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, size % 2 ? rv::ffJP2 : rv::ffJ2K, false);
  Decode(data, size, rv::ffJ2K, true);
  return 0;
}
