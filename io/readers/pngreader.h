// The PNG reader, built on libpng 1.6: libpng parses the chunks, checks the
// CRCs, inflates, unfilters and applies the transformations (expand, tRNS to
// alpha, strip 16 to 8, packing, gray to RGB, BGR order); this reader feeds
// it from a TStream, picks the transformations and the pixel format, places
// the rows of each Adam7 pass, stores the rows and the alpha channel, and
// fills the PNG fields of the parameter record.
//
// Pixel formats: 1-bit gray, and 1-bit palette whose palette is black then
// white, load as pxMono1 with the file's bits when they have no tRNS chunk;
// with NativePixelFormat 8-bit gray loads as pxGray8 and 8-bit palette as
// pxPalette8 (transparency ignored); everything else loads as pxRGB24, with
// an alpha channel for colour types with alpha and for any tRNS chunk: the
// palette's alpha values, or the colour key of a gray or truecolour picture
// (pixels equal to the key in all their bits are transparent, the others
// opaque). 16-bit samples keep their high byte. No gamma is applied.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data:
//   - no PNG signature, CRC error in a critical chunk, invalid header,
//     corrupt compressed data, a picture the limits check refuses (libpng's
//     own limits are set explicitly as well): abort; rows read before stay;
//   - data that ends early: not an error. The rows whose compressed data
//     arrived whole stay (libpng asks for image data in pieces of up to
//     8 KiB, and a piece cut short is lost), the rest are black;
//   - warnings (problems in ancillary chunks) are ignored.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

// libpng's own limits, set on every read: at most this many pixels per side
// (libpng's default; the process limits may lower it), this many ancillary
// chunks kept, and this many bytes for one ancillary chunk.
inline constexpr uint32_t kPngMaxSide = 1000000;
inline constexpr uint32_t kPngMaxCachedChunks = 1000;
inline constexpr uint32_t kPngMaxChunkBytes = 8000000;

// Decodes the PNG at the stream's position (its signature) into the bitmap
// (and its alpha channel: ctx.MaskOut is not used) and fills Width, Height,
// BitsPerSample, SamplesPerPixel, DpiX, DpiY, ColorMap, PngInterlaced,
// PngTextKeys and PngTextValues; reads NativePixelFormat. Afterwards the
// stream is after the IEND chunk, or where reading stopped. The registry's
// reader entry for format 8.
void ReadPng(TReadContext& ctx);

// Content test: the PNG signature's first four bytes in a stream of more
// than 8 bytes.
bool IsPng(TStream& stream);

}  // namespace rv
