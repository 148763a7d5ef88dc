// The TIFF reader's decoding of one directory (tiffreader.h says what it
// decodes and how it fails). JPEG data inside TIFF (compressions 6 and 7)
// goes through the JPEG decoder it is handed: this module sits below the JPEG
// reader, whose EXIF thumbnails are TIFF pictures decoded here.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

// How TIFF wants one piece of JPEG data decoded.
struct TTiffJpegOptions {
  // A stream holding only tables (for compression 7), or null.
  TStream* Tables = nullptr;
  // CMYK samples are stored the ordinary way (0 = no ink).
  bool InvertCmyk = false;
  // No colour transform: the samples come out as stored.
  bool RawYCbCr = false;
};

// Decodes the whole JPEG stream ctx.Stream into ctx.Bitmap, with no metadata
// and no colour profile. Failure: ctx.Progress.Fail, as the JPEG reader
// reports it.
using TTiffJpegDecoder = void (*)(TReadContext& ctx, const TTiffJpegOptions& options);

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

struct TTiffReadResult {
  // The number of directories (pages) in the file.
  int32_t PageCount = 0;
};

// ReadTiff (tiffreader.h) with the JPEG decoder of options.
TTiffReadResult DecodeTiff(TReadContext& ctx, const TTiffReadOptions& options);

}  // namespace rv
