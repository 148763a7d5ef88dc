// The TIFF reader alone: the first pages of a file (native and converted
// pixel formats, parameters only) and the same bytes as the TIFF structure of
// an EXIF block, as the JPEG reader hands it over.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/exif.h"
#include "io/readers/tiffreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, int page, bool paramsOnly, bool native, bool rotate) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.SetImageIndex(page);
  params.NativePixelFormat = native ? 1 : 0;
  params.TiffAutoRotate = rotate ? 1 : 0;
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
  rv::ReadTiff(ctx);
  rv::TouchPixels(bitmap, mask.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, 0, false, false, false);
  Decode(data, size, 0, false, true, true);
  Decode(data, size, 1, false, false, false);
  Decode(data, size, 0, true, false, false);
  rv::TIOParamsVals exif;
  rv::ReadExifTiff(data, static_cast<int64_t>(size), exif, rv::TiffJpegDecoder());
  return 0;
}
