// The TGA reader (Truevision Targa): colour-mapped, true-colour and gray
// pictures, plain or run-length encoded, every origin, with the TGA 2.0
// footer and extension area.
//
// Pixels: depth 1 gives pxMono1; every other depth pxRGB24. 15/16-bit
// pixels and colour-map entries are 5-5-5 (each channel times 8); 8-bit
// colour-map entries are gray levels (as Pillow and ImageMagick read them); 8-bit
// pixels index the colour map, or a gray ramp when there is none; 16-bit
// gray pictures are gray and alpha. Transparency (a mask) comes from 32-bit
// pixels or map entries and 16-bit gray pixels when the descriptor gives
// alpha bits; a mask whose values are all 0 or all 255 is dropped (such
// files load opaque). Descriptor bit 5 puts the first stored row at the top,
// bit 4 the first stored pixel at the right. 4-bit pictures are allocated
// and left black.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown. What each kind of bad input gives:
//   - a header that cannot be right (image type not 1/2/3/9/10/11, depth not
//     1/4/8/15/16/24/32, colour-map type above 1, a colour map with an entry
//     size other than 8/15/16/24/32 bits, run-length data of 1- or 4-bit
//     pixels, a picture the limits check refuses): abort before anything is
//     allocated; the bitmap keeps its previous picture.
//   - colour-map entries past index 255 are not kept; pixel values with no
//     map entry show black (opaque).
//   - data that ends early, plain or run-length, also inside a packet or
//     right after the header: not an error. The bitmap keeps the header's
//     size (io/limits.h); the pixels the data does not reach are black and
//     opaque (a pixel cut inside its bytes is completed with zero bytes). A
//     plain file claiming far more than its bytes is refused by the limits
//     check. A packet that crosses a row end goes on in the next row;
//     decoding stops at the last pixel of the picture.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

struct TTgaReadOptions {
  // Load without a mask.
  bool IgnoreAlpha = false;
};

// Decodes the TGA from the stream's current position to its end into the
// bitmap and fills the parameters (Width, Height, DpiX = DpiY = 300,
// BitsPerSample, SamplesPerPixel, ColorMap and the Tga* fields). The mask
// goes to *ctx.MaskOut: created there when the picture carries alpha (unless
// the caller passed one), reset when it is all 0 or all 255. With the default
// options (alpha kept), the registry's reader for format 11.
void ReadTga(TReadContext& ctx, const TTgaReadOptions& options = {});

// Content test: an 18-byte header with image type 1-3 or 9-11, colour-map
// type 0 or 1, pixel depth 1, 4, 8, 16, 24 or 32, and non-zero sides.
bool IsTga(TStream& stream);

}  // namespace rv
