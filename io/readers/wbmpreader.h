// The WBMP reader (Wireless Bitmap, type 0: one bit per pixel, a set bit is
// white), giving pxMono1.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown. What each kind of bad input gives:
//   - a header that cannot be right (type or fixed header not 0, a
//     multi-byte integer longer than 4 bytes (leading 0x80 bytes, which add
//     nothing, are skipped, up to 16 of them) or cut off by the end of the
//     file, width or height 0, a picture the limits check refuses, such as
//     one claiming far more than the bytes present): abort before anything
//     is allocated; the bitmap keeps its previous picture.
//   - data that ends early, even right after the header: not an error; the
//     bitmap keeps the header's size (io/limits.h), what the data does not
//     reach is black.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

// Decodes the WBMP at the stream's current position into the bitmap and fills
// the parameters (Width, Height, DpiX = DpiY = 300, BitsPerSample =
// SamplesPerPixel = 1; ColorMap freed). The registry's reader entry for
// format 16.
void ReadWbmp(TReadContext& ctx);

}  // namespace rv
