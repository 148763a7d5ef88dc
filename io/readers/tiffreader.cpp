#include "io/readers/tiffreader.h"

#include "io/readers/jpegreader.h"

namespace rv {

namespace {

void DecodeJpegForTiff(TStream& data, TStream* tables, TPxBitmap& bitmap, bool invertCmyk, bool rawYCbCr,
                       TProgressRecord& progress, TIOParamsVals& params) {
  ReadJpeg(data, tables, bitmap, false, invertCmyk, false, rawYCbCr, false, progress, params);
}

}  // namespace

TTiffJpegDecoder TiffJpegDecoder() {
  return DecodeJpegForTiff;
}

int32_t ReadTiff(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress,
                 std::unique_ptr<TPxMask>* mask, const TTiffReadOptions& options) {
  TTiffReadOptions withJpeg = options;
  if (!withJpeg.Jpeg) withJpeg.Jpeg = DecodeJpegForTiff;
  return DecodeTiff(stream, bitmap, params, paramsOnly, progress, mask, withJpeg);
}

void ReadTiffFormat(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                    TProgressRecord& progress, std::unique_ptr<TPxMask>& maskOut) {
  ReadTiff(stream, bitmap, params, paramsOnly, progress, &maskOut, {});
}

}  // namespace rv
