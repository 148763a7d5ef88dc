// Filtered resampling of a TPxBitmap into another of a different size: the
// kernel filters (separable, integer weights x 256), fast linear (17-bit
// fractions), area interpolation, projection to 1 bit and nearest neighbour.
//
// Ownership: callers own both bitmaps; the functions keep nothing between
// calls. Failure: bad geometry (empty pictures, zero sizes) writes nothing;
// exhausted memory raises std::bad_alloc.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "imaging/pxbitmap.h"

namespace rv {

enum TResampleFilter : uint8_t {
  rfNone = 0,
  rfTriangle = 1,
  rfHermite = 2,
  rfBell = 3,
  rfBSpline = 4,
  rfLanczos3 = 5,
  rfMitchell = 6,
  rfNearest = 7,
  rfLinear = 8,
  rfFastLinear = 9,
  rfBilinear = 10,
  rfBicubic = 11,
  rfProjectBW = 12,
  rfProjectWB = 13,
};
inline constexpr int kResampleFilterCount = 14;

// "rfLanczos3" ...; nullptr for a value outside the enumeration.
const char* ResampleFilterName(TResampleFilter filter);
// Accepts the stored name ("rfLanczos3") or the short one ("lanczos3"), any case.
bool ResampleFilterFromName(std::string_view name, TResampleFilter& filter);

// True for the filters with a convolution kernel (rfTriangle .. rfLinear).
inline constexpr bool IsKernelFilter(TResampleFilter f) {
  return f >= rfTriangle && f <= rfLinear;
}

// The kernel of a kernel filter at x (0 for other filters) and its support.
double ResampleKernel(TResampleFilter filter, double x);
double ResampleSupport(TResampleFilter filter);

// One destination index of one axis: the source indices that contribute and
// their weights (kernel x 256, rounded half to even). Source indices beyond
// the edges are mirrored and clamped into 0 .. srcLength - 1.
struct TContributor {
  int pixel;
  int weight;
};
using TContributorList = std::vector<TContributor>;
std::vector<TContributorList> BuildContributors(int srcLength, int dstLength, TResampleFilter filter);

// Fills Dest (already allocated at the wanted size) from Source.
//  - rfNone: nearest neighbour, every format; Dest takes Source's format and
//    palette when its own format differs.
//  - kernels, rfFastLinear, rfBilinear, rfBicubic: an pxRGB24 result (gray for
//    an pxMono1 source); a Dest of another format receives it converted.
//  - rfProjectBW/WB: an pxMono1 result; Dest is reallocated as pxMono1.
// Sources that are neither pxRGB24 nor pxMono1 are converted to pxRGB24 first
// (Source itself is not changed). Progress is reported in per cent.
void FilteredResample(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter,
                      const TProgressHandler& progress = {});

// The same for a rectangle of Source (clipped to it) instead of all of it.
void FilteredResampleRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                          TResampleFilter filter, const TProgressHandler& progress = {});

// One-channel variant for alpha channels: both bitmaps pxGray8, otherwise
// nothing is written. Projections and area filters use fast linear.
void FilteredResampleAlpha(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter);
void FilteredResampleAlphaRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                               TResampleFilter filter);

// Reduction of an pxMono1 rectangle (inclusive corners) to 24-bit gray: each
// destination pixel is 255 x (set bits) div (bits) of its block. Dest is
// pxRGB24, already allocated.
void MonoBoxAverage(TPxBitmap& source, int left, int top, int right, int bottom, TPxBitmap& dest);

}  // namespace rv
