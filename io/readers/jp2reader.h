// The JPEG 2000 reader: JP2 files (format 13) and raw J2K code streams
// (format 14) through OpenJPEG 2.5, read from a TStream through OpenJPEG's
// stream callbacks. Which of the two a stream holds is decided by its first
// bytes (the JP2 signature box or the SOC+SIZ markers), so a code stream
// named .jp2 still loads; data that is neither goes to the format asked for.
//
// Pixels: sRGB, unspecified 3-component and sYCC/e-YCC pictures load as
// pxRGB24 (sYCC converted to RGB, subsampled chroma replicated), CMYK as
// pxRGB24 through (255 − C)(255 − K)/255, gray as pxGray8; with
// NativePixelFormat, pictures of more than 8 bits per sample load as pxRGB48
// or pxGray16. Samples are scaled to the output depth by
// round(v × outMax / (2^precision − 1)) after signed samples are offset by
// half their range. A component the file marks as opacity (or, without
// colour information, the component after the colour ones) becomes the
// alpha channel. JP2 palettes and channel definitions are applied by
// OpenJPEG.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data:
//   - a header OpenJPEG refuses, no components, more tiles than a code stream
//     can number (65535), more components than it allows (16384), samples of
//     more than 31 bits, a picture the limits check refuses (counting every
//     component's samples): abort before decoding;
//   - a code stream that ends early decodes what is there (OpenJPEG's
//     non-strict mode); a decode error aborts with the bitmap untouched,
//     since pixels are only stored after a successful decode.
#pragma once

#include <cstdint>

#include "io/formats.h"
#include "io/readcontext.h"

namespace rv {

class TStream;

// Limits of the code stream syntax, applied before anything is decoded.
inline constexpr int64_t kJ2kMaxTiles = 65535;
inline constexpr int64_t kJ2kMaxComponents = 16384;

struct TJpeg2000ReadOptions {
  // The format the data is taken for when its first bytes name neither:
  // ffJP2 (13) or ffJ2K (14).
  int32_t FileType = ffJP2;
};

// Decodes the JPEG 2000 data at the stream's position into the bitmap (and
// its alpha channel: ctx.MaskOut is not used). Fills Width, Height,
// BitsPerSample (of the first component), SamplesPerPixel (components after
// OpenJPEG's palette and channel handling), DpiX and DpiY (from the JP2
// resolution box, display before capture; 300 without one), frees ColorMap,
// keeps an ICC profile in the input profile. The registry's reader for
// formats 13 (default options) and 14 (FileType ffJ2K).
void ReadJpeg2000(TReadContext& ctx, const TJpeg2000ReadOptions& options = {});

// Content tests: the 12-byte JP2 signature box; the code stream's SOC and
// SIZ markers (FF 4F FF 51).
bool IsJp2(TStream& stream);
bool IsJ2k(TStream& stream);

}  // namespace rv
