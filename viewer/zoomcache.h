// Reduced copies of the view's picture for smooth zooming out. Reducing a
// large picture with rfFastLinear reads every source pixel of the visible
// rectangle on every frame (72 MB for a 24 MP picture at 10 %); the cache
// keeps the picture halved, quartered, ... (each level the 2 x 2 box average
// of the one before) and reduces from the smallest level that is still at
// least as large as the frame, so a frame reads at most about four times
// its own pixels.
//
// Render takes the arguments of RenderScaledToTBitmap and is a drop-in for
// it. Only opaque rfFastLinear reductions by 2 or more of a pxRGB24 picture
// without an alpha channel in use, from a rectangle inside the picture into
// one inside the buffer (the view's case), go through the levels; the
// render tables are then neither read nor handed back. Everything else
// (rfNone, other filters, enlargements, reductions by less than 2, other
// formats, blending) is passed to RenderScaledToTBitmap unchanged, pixel for
// pixel the same.
//
// Difference from the direct path: both are box averages. Destination pixel
// i covers source columns srcX + Trunc(i r) .. srcX + Trunc((i + 1) r) - 1
// (r = srcW / dstW), which lie inside the direct path's box; the cache
// averages the level-k pixels holding them (2^k <= r, each the mean of a
// 2^k x 2^k block), so every source pixel it reads lies within 2^k - 1
// source pixels (less than one destination pixel) of the direct path's box,
// and each channel lies between the smallest and the largest source value
// there. On smooth pictures the two agree within a few levels.
//
// Ownership: the cache owns its levels (together about a third of the
// picture's size once the first level exists) and refers to no picture
// between calls. It notices a picture of another size or format, but not new
// pixels in the same bitmap: the owner calls Invalidate whenever the picture
// changes (a new picture loaded, rotated, edited). Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxrender.h"
#include "platform/tbitmap.h"

namespace rv {

class TZoomRenderCache {
 public:
  TZoomRenderCache();
  ~TZoomRenderCache();
  TZoomRenderCache(const TZoomRenderCache&) = delete;
  TZoomRenderCache& operator=(const TZoomRenderCache&) = delete;

  // Drops every level; the next reduction rebuilds what it needs.
  void Invalidate();

  void Render(TPxBitmap& source, TBitmap& dest, TRenderTables* tables, const TRenderClip* clip, int dstX, int dstY,
              int dstW, int dstH, int srcX, int srcY, int srcW, int srcH, bool useAlpha, bool reuseRows,
              int transparency, TResampleFilter filter, bool freeTables, int operation);

  // Levels built so far (level k + 1 is the picture halved k + 1 times) and
  // the bytes they hold.
  int LevelCount() const { return int(levels_.size()); }
  size_t LevelBytes() const;

  // The level a reduction of srcW x srcH into dstW x dstH reads: the largest
  // k with 2^k <= both ratios, 0 meaning the picture itself.
  static int LevelFor(int srcW, int srcH, int dstW, int dstH);

 private:
  TPxBitmap& Level(TPxBitmap& source, int k);

  const TPxBitmap* source_ = nullptr;
  int width_ = 0, height_ = 0;
  std::vector<std::unique_ptr<TPxBitmap>> levels_;
};

// The 2 x 2 box average of an pxRGB24 picture into dest (reallocated as
// pxRGB24, Ceil(w / 2) x Ceil(h / 2), in memory): each channel is
// (a + b + c + d + 2) shr 2; an odd last column (row) pairs with itself.
void HalvePicture(TPxBitmap& source, TPxBitmap& dest);

}  // namespace rv
