#include "io/readers/exif.h"

#include <cstring>

#include "imaging/pxbitmap.h"
#include "imaging/pxrotate.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"

namespace rv {

bool ParseExifBlock(const uint8_t* data, int64_t length, TIOParamsVals& params, TTiffJpegDecoder jpeg) {
  // "Exif" and a zero byte, then a pad byte, then the TIFF structure.
  if (data == nullptr || length < 6 || std::memcmp(data, "Exif", 5) != 0) return false;
  return ReadExifTiff(data + 6, length - 6, params, jpeg);
}

bool ReadExifTiff(const uint8_t* tiff, int64_t size, TIOParamsVals& params, TTiffJpegDecoder jpeg) {
  if (tiff == nullptr || size < 8) return false;
  TPxMemStream stream(tiff, size);
  // First pass: the values, into a scratch record so a bad block changes nothing.
  TIOParamsVals scratch;
  TPxBitmap none;
  bool aborted = false;
  TProgressRecord probe;
  probe.Aborted = &aborted;
  scratch.SetImageIndex(0);
  TTiffReadOptions values;
  values.IgnoreAlpha = true;
  TReadContext valuesContext{
      .Stream = stream, .Bitmap = none, .Params = scratch, .Progress = probe, .ParamsOnly = true};
  DecodeTiff(valuesContext, values);
  // Directory 0 of an EXIF block has no picture size (so the probe "fails"):
  // only a missing header or directory means nothing was found.
  if (!((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M')) || scratch.TiffImageCount == 0)
    return false;
  static_cast<TExifValues&>(params) = static_cast<const TExifValues&>(scratch);
  params.ExifImageDescription = scratch.TiffImageDescription;
  params.ExifPresent = 1;
  params.SetDpiX(scratch.DpiX());
  params.SetDpiY(scratch.DpiY());

  // Second pass: the thumbnail in directory 1.
  TIOParamsVals thumbParams;
  thumbParams.SetImageIndex(1);
  thumbParams.SetThumbnailOnly(1);
  bool thumbAborted = false;
  TProgressRecord thumbProgress;
  thumbProgress.Aborted = &thumbAborted;
  TImageLimits small;
  small.MaxSide = kMaxTiffThumbnailSide * 8;  // old-style JPEG thumbnails bring their own size
  small.MaxPixels = int64_t(kMaxTiffThumbnailSide) * kMaxTiffThumbnailSide * 4;
  thumbProgress.Limits = &small;
  TPxMemStream again(tiff, size);
  TPxBitmap& thumb = params.ExifThumbnail();
  TTiffReadOptions thumbnail;
  thumbnail.ThumbnailMode = true;
  thumbnail.IgnoreAlpha = true;
  thumbnail.Jpeg = jpeg;
  TReadContext thumbContext{.Stream = again, .Bitmap = thumb, .Params = thumbParams, .Progress = thumbProgress};
  DecodeTiff(thumbContext, thumbnail);
  if (thumbAborted)
    thumb.ReleaseStorage(true);
  else if (!thumb.IsEmpty())
    ApplyOrientation(thumb, scratch.Orientation());  // the thumbnail is stored as the picture is
  return true;
}

}  // namespace rv
