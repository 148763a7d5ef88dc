// The TIFF reader: one directory (page) of a classic TIFF stream ("II" or
// "MM", version 42) into a TPxBitmap, with an optional transparency mask,
// filling the TIFF and EXIF fields of the parameter record. The decoding
// itself is tiffdecode's (below the JPEG reader, which needs it for EXIF
// thumbnails); this is that decoding with the JPEG reader for JPEG data.
//
// Decoded: strips and tiles (edge tiles clipped), contiguous and separate
// planes; compressions none, PackBits, LZW (with horizontal predictor, and
// old-style bit order), CCITT modified Huffman, Group 3 one- and
// two-dimensional, Group 4 (tiffccitt), JPEG (7) through the JPEG reader and
// old-style JPEG (6) with an interchange format; bilevel, gray and palette
// data of 1 to 8 bits, 16-bit gray, RGB of 8 and 16 bits (with alpha),
// 16-bit 5-5-5 RGB, CMYK of 8 and 16 bits, CIE Lab of 8 bits. Every
// layout is decoded into the bitmap given, which keeps its storage (a bitmap
// held in a platform bitmap keeps that platform bitmap).
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown for bad data:
//   - no "II"/"MM" header, no first directory, the wanted page missing,
//     unequal bits per sample, zero width or height, a sample layout,
//     compression or sample format this reader does not decode, a picture
//     the limits check refuses: abort before anything is allocated; the
//     bitmap keeps its previous picture.
//   - fewer strip or tile offsets than the picture needs, or compressed data
//     of several strips without byte counts: abort before allocating.
//   - strip or tile byte counts past the end of the file: the bytes up to the
//     end are used. Uncompressed data without byte counts: the bytes the rows
//     need (or up to the end). Data that ends early (a file cut short, a
//     strip past its end) is not an error: the picture keeps the header's
//     size and the samples the data does not reach are zero (black for RGB
//     and gray, palette entry 0, white where 0 means white).
//   - LZW data that cannot be right, JPEG strips or tiles smaller than
//     their place, CCITT data in which not one row decodes: abort, keeping
//     the rows already decoded (the others are cleared). CCITT data with a bad code later on keeps
//     the rows before it (the rest is white); PackBits runs are clamped to
//     the strip.
//   - directory loops (a visited set), more than kMaxTiffDirectories
//     directories, entry counts or tag data past the end of the file: the
//     walk ends there; tag data is never read past the file.
#pragma once

#include <cstdint>

#include "io/readcontext.h"
#include "io/readers/tiffdecode.h"
#include "io/readers/tiffdir.h"

namespace rv {

class TStream;

// Decodes directory TiffImageIndex of the TIFF at the stream's current
// position (offsets are relative to it) into the bitmap. A mask is created
// into *ctx.MaskOut (when given) for alpha samples, sized to the picture; with
// TiffAutoRotate it goes into the bitmap's alpha channel instead, turned with
// the picture. The result's PageCount is the number of directories in the
// file (also stored in the image count fields). Applies TiffAutoRotate
// (turning by Orientation) after decoding. JPEG data goes through the JPEG
// reader unless options name a decoder. With the default options, the
// registry's reader for format 1.
TTiffReadResult ReadTiff(TReadContext& ctx, const TTiffReadOptions& options = {});

// The JPEG reader as TIFF's JPEG decoder.
TTiffJpegDecoder TiffJpegDecoder();

// Content test: a "TIFF" stream header, or a TIFF header ("II" or "MM", the
// first directory's offset as a signed 32-bit number below the stream's size;
// for "MM" no 0xBA at stream offset 8) whose first directory does not mark a
// camera raw file (a DNG version, CFA or linear-raw photometric
// interpretation, or sub-directories beside an image under 200 x 200).
bool IsTiff(TStream& stream);

}  // namespace rv
