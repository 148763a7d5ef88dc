// The GIF reader (GIF87a and GIF89a) in two layers:
//   - ReadGif parses the block structure and decodes exactly one image of
//     the file, the one GifImageIndex names, into a bitmap plus a
//     transparency mask. The LZW data goes through the parameter record's
//     GifDecoder, else the built-in DecodeGifLzw (io/readers/giflzw.h).
//   - LoadGifComposed builds the picture a viewer shows: for a file with one
//     image that image; for an animation a canvas of the logical-screen size
//     on which images 0..GifImageIndex are drawn in order at their positions,
//     through their transparency, honouring disposal method 2 (restore to
//     background). Methods 0, 1 and 3 leave the canvas as it is.
//
// Pixels: a colour table of exactly (black, white) gives pxMono1; any other
// table pxRGB24, or pxPalette8 with the table as palette when
// NativePixelFormat is set. The table is always read as 256 entries: those
// the file does not give are black, so an index past the table shows black.
// An image without any colour table uses a gray ramp.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data, and the bitmap keeps its previous picture:
//   - no "GIF" signature, or nothing after the header;
//   - an image the size limits refuse (checked for every decoded image,
//     including its size against the bytes left in the file);
//   - a decoder that does not move the stream (the built-in one: LZW code
//     size outside 2..8, or the end code right after a clear code with data
//     behind it);
//   - a colour image wider or taller than 65000 pixels ending within 2000
//     bytes of the end of the stream (such headers are garbage in practice).
// Not failures: a file ending early (the byte that cannot be read counts as
// the trailer; images complete before it count), LZW data that is corrupt or
// too short (decoding stops; indices not decoded are 0), too much data
// (ignored past width × height), a wanted image that does not exist (nothing
// is decoded), an image with a zero side (counted, nothing decoded).
// At most kMaxGifImages images are counted; the rest of the file is ignored.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

constexpr int32_t kMaxGifImages = 16384;

struct TGifReadOptions {
  // No mask is made.
  bool IgnoreTransparency = false;
};

struct TGifReadResult {
  // The number of images in the file; 0 when the file's blocks could not be
  // read.
  int32_t ImageCount = 0;
};

// Decodes image GifImageIndex of the GIF at the stream's position. Fills the
// parameters: GifVersion, GifScreenWidth/Height, GifAspectRatio, DpiX/Y
// (300), SamplesPerPixel (1), GifBackground, GifComments (all comment blocks),
// and for the wanted image GifTransparentColor, GifXPos, GifYPos, Width,
// Height, GifDelayTime, GifTransparent, GifInterlaced, GifDisposal,
// BitsPerSample and the ColorMap; the image count fields at the end. With
// ctx.ParamsOnly nothing is decoded. The mask goes to *ctx.MaskOut: (re)made
// at the image's size when it has transparent pixels (8 bits, 0 where
// transparent, 255 elsewhere, padding 255), reset when every pixel is opaque.
TGifReadResult ReadGif(TReadContext& ctx, const TGifReadOptions& options = {});

// The composed picture of image GifImageIndex into the bitmap (with its alpha
// channel; *ctx.MaskOut is reset), converted to the format ReadGif gave the
// last image drawn. Parses the file once: images up to the index are drawn as
// they come, the rest are counted; an image that fails still counts.
// Afterwards the parameters describe the last image drawn (for an animation
// with GifXPos = GifYPos = 0 and GifDisposal = 2, the canvas), the image index
// fields hold the wanted index again and the count fields the image count,
// which is also in the result; the stream is left at the first image not
// drawn, or where a failing image stopped, else where the file's blocks end.
// On failure the bitmap keeps what it held before, or the canvas of the images
// drawn before the failing one. Progress: for index 0 the decoding of image
// 0, else after each frame the share of the file read. With ctx.ParamsOnly:
// ReadGif's parameters (transparency ignored). The registry's reader for
// format 2.
TGifReadResult LoadGifComposed(TReadContext& ctx);

// Content test: a GIF signature ("GIF") in a stream of more than 13 bytes.
bool IsGif(TStream& stream);

}  // namespace rv
