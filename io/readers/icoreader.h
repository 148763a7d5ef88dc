// The icon and cursor readers: Windows ICO and CUR files, a directory of
// images each stored as a device-independent bitmap (an XOR bitmap with a
// doubled height in its header, then a 1-bit AND bitmap) or as a PNG file.
// The XOR bitmap is decoded by the BMP reader (ReadBmp with IconEntry: it
// halves the stored height and says where the AND bitmap starts), PNG images by the PNG reader (ReadPng); this reader
// picks the entry, holds the entry's size against the bitmap, applies the AND bitmap and fills the icon fields.
//
// Transparency: pixels whose AND bit is set get mask 0 and the background
// colour (IcoBackground or CurBackground; a 1-bit picture shows its XOR bit,
// inverted over a white background). 32-bit images take their alpha from
// their fourth byte instead, unless every one of those bytes is 0 or 255,
// in which case the AND bitmap decides. PNG images bring their own alpha.
// An AND bitmap that is missing or cut short leaves the pixels it does not
// cover opaque. A bitmap whose XOR rows are cut short keeps the header's size
// (as the BMP reader does, io/limits.h): the rows not reached are black.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown. What each kind of bad input gives:
//   - the image index is negative or not below the number of images: nothing
//     happens and the abort flag stays clear (callers ask for images that
//     may not be there).
//   - a directory that cannot be right (reserved word not 0, type not 1 or
//     2, no images, not one whole entry in the file), an entry whose data
//     starts inside the directory or past the end of the file, an embedded
//     header of unknown size, a height below 2, no usable bit count: abort
//     before anything is allocated; the bitmap keeps its
//     previous picture. The embedded BMP and PNG data fail as those readers
//     say (bmpreader.h, pngreader.h).
//   - a directory count larger than the file holds: the entries there are
//     used. Entry data that passes the end of the file is cut there.
//   - the entry's size bytes disagree with the embedded header: the header
//     gives the picture's size. An entry size of 0, or too small for the
//     bitmap the header describes, is not used: the header says how much
//     data the image takes (Pillow and ImageMagick read such files). The
//     planes field of the embedded header is not looked at.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

struct TIcoReadOptions {
  // No mask: *ctx.MaskOut is reset (pixels under set AND bits still take the
  // background colour).
  bool IgnoreAlpha = false;
};

// Decodes image IcoImageIndex of the icon at the stream's current position
// into the bitmap and fills Width, Height, BitsPerSample, SamplesPerPixel,
// DpiX, DpiY, ColorMap, IcoSizes and IcoBitCounts (the first 16 entries of
// the directory) and ImageCount (the number of entries). Data starting with
// "BM" is read as a BMP file. *ctx.MaskOut holds the transparency afterwards,
// or is reset when the picture is fully opaque. With the default options
// (alpha kept), the registry's reader for format 6.
void ReadIco(TReadContext& ctx, const TIcoReadOptions& options = {});

// The same for image CurImageIndex of a cursor, with CurHotSpotX, CurHotSpotY
// and CurBackground; SamplesPerPixel is 1 and BitsPerSample the bit count.
// Unless IgnoreAlpha, the mask is returned even when opaque. With the default
// options, the registry's reader for format 7.
void ReadCur(TReadContext& ctx, const TIcoReadOptions& options = {});

// Content tests: an icon (resource type 1) or cursor (type 2) directory of
// at least one entry, every entry with a zero reserved byte, a data size and
// a data offset not below the entry's end; the stream holds 23 bytes or more.
bool IsIco(TStream& stream);
bool IsCur(TStream& stream);

}  // namespace rv
