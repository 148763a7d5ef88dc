// The BMP reader: Windows and OS/2 device-independent bitmaps (file header
// "BM", core, information, V4 and V5 headers and the OS/2 2.x header),
// uncompressed 1/2/4/8/16/24/32-bit data, RLE4 and RLE8, bit fields with or
// without alpha. The icon reader calls ReadBmp for the bitmaps inside icons
// (TBmpReadOptions::IconEntry).
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data. What each kind of bad input gives:
//   - a header that cannot be right (no "BM", unknown header size, planes not
//     1 (not looked at inside icons), a bit count and compression that do
//     not belong together, width <= 0, height 0 or -2^31, unusable bit-field
//     masks, pixel data offset inside the header or past the end of the data,
//     a picture the limits check refuses): abort before anything is
//     allocated; the bitmap keeps its previous picture.
//   - irregular but clear headers load as Pillow and ImageMagick load them:
//     top-down RLE (the first row at the top), 24-bit pixels with bit fields
//     that are the plain 24-bit layout.
//   - uncompressed data that ends early, even right where it starts (a
//     header-only file): not an error. The bitmap keeps the header's size
//     (io/limits.h): the rows there are decoded (the bottom ones of a bottom-up
//     file), a final partial row is completed with zero bytes, the rows past
//     the data are cleared (black, or palette index 0 when indexed; opaque).
//     A claim far beyond the bytes present is refused by the limits check.
//   - RLE data that ends early (no end-of-bitmap, or cut short): not an error;
//     pixels never written are zero (black, or palette entry 0 when indexed).
//   - RLE runs or absolute runs that pass the row end (writers encode the row
//     padding of odd widths too): the pixels past the last column are
//     dropped and decoding goes on; a delta past the row end moves to the
//     row end, one past the last row ends decoding. Not an error.
//   - pixel indexes past the colour table: the picture is decoded with those
//     pixels black (the table is always 256 entries, zero-filled) and the
//     abort flag is set afterwards.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

struct TBmpReadOptions {
  // Bytes of BMP data from the current position; <= 0: to the end of the
  // stream. Nothing past them is read.
  int32_t DataSize = 0;
  // 32-bit (and bit-field alpha) data loads without a mask.
  bool IgnoreAlpha = false;
  // The data starts with the information header (icons); the pixel data
  // follows the colour table.
  bool NoFileHeader = false;
  // The data is an icon or cursor entry's bitmap (implies NoFileHeader): an
  // information header whose height counts the picture and, below it, the
  // 1-bit AND bitmap. The picture, half that height, is decoded and the
  // result's IconLayout says where the AND bitmap lies; applying it is the
  // icon reader's business. A stored height below 2 and a bit count of 0
  // with no fallback are refused.
  bool IconEntry = false;
  // The bit count to use when the header's is 0 (the entry's); 0: none.
  int IconFallbackBitCount = 0;
};

// An icon entry's bitmap as decoded (TBmpReadOptions::IconEntry), filled
// once the header is read, also with ctx.ParamsOnly.
struct TBmpIconLayout {
  int64_t Width = 0;
  int64_t Height = 0;  // half the header's
  bool TopDown = false;
  bool Core = false;  // 12-byte OS/2 1.x header
  int BitCount = 0;   // the header's, or the fallback
  int32_t Xppm = 0;
  int32_t Yppm = 0;
  // Offset of the AND bitmap from the start of the data (right after the
  // picture's rows); -1 for compressed data, whose end is not known.
  int64_t AndStart = -1;
  int64_t AndRowBytes = 0;
};

struct TBmpReadResult {
  TBmpIconLayout IconLayout;  // with TBmpReadOptions::IconEntry
};

// Decodes a BMP from the stream's current position into the bitmap and fills
// the BMP fields of the parameters (Width, Height, BitsPerSample,
// SamplesPerPixel, DpiX, DpiY, ColorMap, BmpVersion, BmpRunLength); reads
// NativePixelFormat. When the data carries alpha, the mask (8-bit, the
// picture's size) goes to *ctx.MaskOut: created there unless the caller
// passed one, and filled; when every alpha value is 0 or every one is 255 it
// is freed (reset), so such files load opaque. The stream position is left
// after the last byte read. With the default options (a whole BMP file with
// its file header, alpha kept), the registry's reader for format 5.
TBmpReadResult ReadBmp(TReadContext& ctx, const TBmpReadOptions& options = {});

// Content test: "BM" in a stream longer than the 14-byte file header.
bool IsBmp(TStream& stream);

}  // namespace rv
