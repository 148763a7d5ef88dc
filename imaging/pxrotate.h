// Rotation and mirroring of TPxBitmap pictures, as pure functions on bitmaps:
// quarter and half turns of every pixel format, the three-shear rotation by
// any angle (two-tap blends in 12-bit fixed point), the nearest-pixel rotation
// of 1-bit pictures, an interpolating rotation of true-colour pictures, Mirror
// and ApplyOrientation. TPictureProc adds undo, events and the viewer on top.
//
// Angles are in degrees, positive counter-clockwise. Every function works on
// any store (memory, temporary file, platform bitmap). Failure: a result that
// cannot be held raises std::bad_alloc before the picture is touched;
// exhausted memory later on raises it too, with the picture unchanged unless
// the final copy into a platform bitmap fails.
#pragma once

#include <cstdint>

#include "imaging/pxbitmap.h"

namespace rv {

// One pixel in the raw layout of some format (at most 6 bytes are used).
// For pxMono1, Bytes[0] is 0 or 1.
struct TPxPixelBytes {
  uint8_t Bytes[8] = {};
};

// The pixel of `bitmap`'s format nearest to `color`: gray formats take its
// gray level, pxPalette8 the closest palette entry, pxMono1 white only when
// red, green and blue are all non-zero.
TPxPixelBytes BackgroundPixel(TPxBitmap& bitmap, TColorBGR color);

// Quarter turns: dest becomes a Height x Width picture of the source's format
// (palette copied). Clockwise: dest (x, y) = source (y, H - 1 - x);
// counter-clockwise: dest (x, y) = source (W - 1 - y, x). Half turn: dest
// (x, y) = source (W - 1 - x, H - 1 - y). Alpha channels are not touched.
void QuarterTurnClockwise(TPxBitmap& source, TPxBitmap& dest);
void QuarterTurnCounterClockwise(TPxBitmap& source, TPxBitmap& dest);
void HalfTurn(TPxBitmap& source, TPxBitmap& dest);

// The three-shear rotation by `degrees` (0 < |degrees| <= 45): rows move by
// Round(y tan(theta / 2)), then columns by Round(x sin(theta)), then rows
// again, each pixel optionally blended with its neighbour by the sub-pixel
// rest in 12-bit fixed point. The offsets and the result size come from
// where the picture's pixels actually land, so no pixel is cut off and the
// result is the tight box around them: every edge row and column of it holds
// part of the picture. Formats with 8-bit, 16-bit and float samples are
// sheared sample by sample (Lab's a and b as signed values); pxPalette8 is
// never blended; pxMono1 goes to the 1-bit method. Progress in per cent.
void ShearRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, bool antialias, const TPxPixelBytes& background,
                 const TProgressHandler& progress = {});
// Upper bounds of the result size and of the two working buffers (pixels).
struct TShearBounds {
  int64_t Width = 0, Height = 0;
  int64_t BufferPixels = 0;
};
TShearBounds ShearRotatedBounds(int w0, int h0, double degrees, bool antialias);

// Size of the 1-bit method's result for a W x H picture turned by `degrees`.
void NearestRotatedSize(int w, int h, double degrees, int64_t& width, int64_t& height);
// The 1-bit method on pxMono1 or one-byte pictures: every result pixel takes
// the source pixel nearest to where the inverse rotation puts it, or
// `background` outside the picture.
void NearestRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, const TPxPixelBytes& background,
                   const TProgressHandler& progress = {});

// The interpolating rotation of pxRGB24 (and one-byte alpha) pictures: the
// picture is framed by 3 pixels of background, every result pixel is mapped
// back into it and interpolated bilinearly (weights x 4096).
void InterpolatedRotatedSize(int w, int h, double degrees, int64_t& width, int64_t& height);
void InterpolatedRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, const TPxPixelBytes& background,
                        const TProgressHandler& progress = {});

// Turns `bitmap` and its alpha channel (new corners transparent) by `angle`.
// Whole multiples of 90 degrees are exact quarter or half turns for every
// format. Otherwise: pxMono1 uses the 1-bit method; pxRGB24 with antialias and
// a non-zero mode the interpolating rotation; every other format the
// three-shear method after the quarter turns that bring the rest within 45
// degrees. NaN and infinite angles change nothing.
void RotateBitmap(TPxBitmap& bitmap, double angle, bool antialias, uint8_t antialiasMode, TColorBGR background,
                  const TProgressHandler& progress = {});
// The size RotateBitmap gives (for the three-shear method an upper bound of
// it, at most a few pixels more); false when the result or the working
// buffers cannot be held, so that callers can refuse before changing anything.
bool RotatedBitmapSize(int w, int h, TPxBitmapFormat format, double angle, bool antialias, uint8_t antialiasMode,
                       int64_t& width, int64_t& height);

// Mirrors in place, alpha channel included: left-right (vertical = false) or
// top-bottom (vertical = true). Every format; padding bits of pxMono1 rows
// never move into the picture.
void Mirror(TPxBitmap& bitmap, bool vertical);

// Turns a picture stored with a TIFF / EXIF orientation code upright:
// 2 mirror left-right, 3 half turn, 4 mirror top-bottom, 5 transpose,
// 6 quarter turn clockwise, 7 transverse, 8 quarter turn counter-clockwise;
// 1 and every other value change nothing. The alpha channel follows.
void ApplyOrientation(TPxBitmap& bitmap, int orientation);

}  // namespace rv
