// The JPEG reader: baseline and progressive JPEG (JFIF, EXIF or Adobe) through
// libjpeg (API 62, libjpeg-turbo as Debian ships it). The library does the
// entropy decoding, inverse DCT, upsampling and colour conversion; this reader
// feeds it from a TStream, turns its fatal errors into the abort flag, picks
// the output colour space and scale, stores the rows and records the JPEG
// fields and markers of the parameter record.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data:
//   - no start marker (FF D8 FF) in the first 100 bytes: abort, nothing else
//     touched;
//   - any fatal libjpeg error (corrupt header, unsupported process such as
//     12-bit or lossless, corrupt data the library cannot go on with, more
//     than kMaxJpegScans scans): abort; rows stored before the error stay;
//   - data that ends early: the library fills the remaining rows from what it
//     has and counts a warning; the load does not fail;
//   - warnings (extraneous bytes, corrupt Huffman data it can skip) do not
//     fail the load; their number and the last code are in JpegWarningCount
//     and JpegWarningCode.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "io/readcontext.h"

namespace rv {

class TStream;

// A fatal libjpeg error, with the text of the library's message table ("?" in
// place of every argument). It never leaves ReadJpeg.
class EPxJpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Progressive files with more scans than this are refused: each scan makes the
// library pass over the whole coefficient buffer, so hundreds of tiny scans
// turn a small file into minutes of work.
inline constexpr int kMaxJpegScans = 100;

// The position of the first FF D8 FF among the 100 positions starting at the
// current one, or -1. The stream position is restored.
int64_t FindJpegStart(TStream& stream);

// The defaults are a JPEG file as the registry loads it.
struct TJpegReadOptions {
  // A separate stream holding only tables (JPEG-in-TIFF), or null.
  TStream* Tables = nullptr;
  // Drop the APP2 markers when a colour profile was applied (colour
  // management is off in this system, so profiles are only kept).
  bool ApplyProfile = true;
  // CMYK samples are stored the ordinary way (0 = no ink) and are inverted
  // before the CMYK conversion.
  bool InvertCmyk = false;
  // IPTC from APP13, EXIF from the first APP1.
  bool ParseMetadata = true;
  // No colour conversion; pxRGB24 rows hold Y, Cb, Cr as read.
  bool RawYCbCr = false;
};

// Decodes the JPEG at the stream's current position (the start marker may be
// up to 99 bytes further on) into the bitmap and fills the JPEG fields of the
// parameters (ctx.MaskOut is not used). Reads JpegDctMethod, JpegScale,
// Width/Height (the wanted size for JpegScale 0), NativePixelFormat,
// AutoRotate and ThumbnailOnly. With the default options, the registry's
// reader for format 3.
void ReadJpeg(TReadContext& ctx, const TJpegReadOptions& options = {});

// Content test: a "JFIF" stream header, or a start marker where the reader
// looks for one (FindJpegStart).
bool IsJpeg(TStream& stream);

}  // namespace rv
