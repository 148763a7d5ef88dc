// The TIFF reader's decoding of one directory (tiffreader.h says what it
// decodes and how it fails). JPEG data inside TIFF (compressions 6 and 7)
// goes through the JPEG decoder it is handed: this module sits below the JPEG
// reader, whose EXIF thumbnails are TIFF pictures decoded here.
#pragma once

#include <cstdint>
#include <memory>

namespace rv {

class TStream;
class TPxBitmap;
class TPxMask;
class TIOParamsVals;
struct TProgressRecord;

// Decodes one whole JPEG stream into bitmap, with no metadata and no colour
// profile. tables: a stream holding only tables (for compression 7), or
// null. invertCmyk: CMYK samples are stored the ordinary way (0 = no ink).
// rawYCbCr: no colour transform (the samples come out as stored). Failure:
// progress.Fail, as the JPEG reader reports it.
using TTiffJpegDecoder = void (*)(TStream& data, TStream* tables, TPxBitmap& bitmap, bool invertCmyk, bool rawYCbCr,
                                  TProgressRecord& progress, TIOParamsVals& params);

struct TTiffReadOptions {
  // Decode the EXIF thumbnail directory: a missing size is allowed (old-style
  // JPEG data brings its own), more than 400 pixels a side is refused.
  bool ThumbnailMode = false;
  // Do not produce a mask for alpha samples.
  bool IgnoreAlpha = false;
  // JPEG data; null: JPEG-compressed pictures are refused.
  TTiffJpegDecoder Jpeg = nullptr;
};

inline constexpr int kMaxTiffThumbnailSide = 400;

// ReadTiff (tiffreader.h) with the JPEG decoder of options.
int32_t DecodeTiff(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                   TProgressRecord& progress, std::unique_ptr<TPxMask>* mask, const TTiffReadOptions& options);

}  // namespace rv
