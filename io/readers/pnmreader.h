// The PNM reader: PBM, PGM and PPM in their plain (P1, P2, P3) and raw (P4,
// P5, P6) forms, 1 to 16 bits per sample, with "#" comments in the header.
//
// Pixels: P1 and P4 give pxMono1 (a set bit is white; in the file 1 is
// black). Every other form gives pxRGB24 with samples scaled from 0..maxval
// to 0..255 (trunc(v × 255 / maxval); for maxval 65535 the upper byte).
// With params.NativePixelFormat, raw 16-bit data keeps its samples: P6 as
// pxRGB48, P5 as pxGray16.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown. What each kind of bad input gives:
//   - a header that cannot be right (magic outside P1..P6, a size or maxval
//     that is not a decimal number or does not fit 32 bits, width or height
//     0, maxval 0 or above 65535, a header longer than 64 KiB, a picture the
//     limits check refuses): abort before anything is allocated; the bitmap
//     keeps its previous picture.
//   - samples above maxval: taken as maxval.
//   - raw data that ends early, even right after the header: not an error;
//     the bitmap keeps the header's size (io/limits.h), the rows the data
//     does not reach and the rest of a row cut short are black. A file
//     claiming far more than its bytes is refused by the limits check.
//   - plain data that ends early: not an error; the rest is black. A plain
//     sample that is not a number stops decoding there with the abort flag
//     set; the rows decoded so far stay.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

// Decodes the PNM at the stream's current position into the bitmap and fills
// the parameters (Width, Height, DpiX = DpiY = 300, BitsPerSample,
// SamplesPerPixel, PnmComments; ColorMap freed). The registry's reader entry
// for format 12.
void ReadPnm(TReadContext& ctx);

// Content test: the header's magic (P1..P6), width and height as this reader
// reads them (same tokens, comments and 64 KiB header limit; sizes decimal,
// positive and below 2^31). Maxval and the data are not looked at.
bool IsPnm(TStream& stream);

}  // namespace rv
