// Scaled rendering: draws a rectangle of a TPxBitmap of any format into a
// rectangle of a 24-bit destination through nearest-neighbour index tables,
// with alpha blending and a global transparency; with a filter, pxRGB24 and
// pxMono1 pictures are first resampled to the destination size.
//
// Ownership: callers own the bitmaps and any tables they pass in. Failure:
// empty or off-target rectangles draw nothing; an error raised while rows are
// written ends the drawing silently (the call never throws for that part).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxresample.h"
#include "platform/tbitmap.h"

namespace rv {

// Inclusive destination rectangle outside which nothing is written.
struct TRenderClip {
  int Left, Top, Right, Bottom;
};

// Index tables of one render geometry. A non-empty span is the caller's table
// and is used as given: RowTable holds the address of every destination row,
// XTable[i] the source column drawn at destination column DstX + i, YTable[i]
// the source row drawn at destination row DstY + i (DstX, DstY after cutting
// the rectangle to the destination). Empty spans are built by the call; with
// FreeTables false the built tables are left in the Owned vectors and the
// spans point at them, ready to be passed back for the same geometry.
// Entries outside the picture shorten the drawn span instead of being read.
// Move-only: a copy's spans would point into the original's vectors; a move
// takes the vectors with the spans and leaves the source empty.
struct TRenderTables {
  TRenderTables() = default;
  TRenderTables(const TRenderTables&) = delete;
  TRenderTables& operator=(const TRenderTables&) = delete;
  TRenderTables(TRenderTables&& other) noexcept { *this = std::move(other); }
  TRenderTables& operator=(TRenderTables&& other) noexcept;

  std::span<uint8_t* const> RowTable;
  std::span<const int32_t> XTable;
  std::span<const int32_t> YTable;
  std::vector<uint8_t*> OwnedRowTable;
  std::vector<int32_t> OwnedXTable;
  std::vector<int32_t> OwnedYTable;
};

// Operation 0 (the source replaces the destination) is the only combine rule;
// other values draw the same way.
void RenderScaled(TPxBitmap& source, TPxBitmap& dest, TRenderTables* tables, const TRenderClip* clip, int dstX,
                  int dstY, int dstW, int dstH, int srcX, int srcY, int srcW, int srcH, bool useAlpha, bool reuseRows,
                  int transparency, TResampleFilter filter, bool freeTables, int operation);

// The same on a platform bitmap, wrapped without copying; only a 24-bit
// platform bitmap is drawn on.
void RenderScaledToTBitmap(TPxBitmap& source, TBitmap& dest, TRenderTables* tables, const TRenderClip* clip, int dstX,
                           int dstY, int dstW, int dstH, int srcX, int srcY, int srcW, int srcH, bool useAlpha,
                           bool reuseRows, int transparency, TResampleFilter filter, bool freeTables, int operation);

// Short forms: alpha honoured, no row reuse, no clip, fresh tables.
void RenderScaled(TPxBitmap& source, TPxBitmap& dest, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY,
                  int srcW, int srcH, int transparency, TResampleFilter filter, int operation = 0);
void RenderScaledToTBitmap(TPxBitmap& source, TBitmap& dest, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY,
                           int srcW, int srcH, int transparency, TResampleFilter filter, int operation = 0);

// The row writers: for each source format one that copies (StretchRowsOpaque)
// and one that blends through the alpha channel and the transparency
// (StretchRowsBlended), chosen from a table by the source format.
struct TStretchJob {
  TPxBitmap* Source = nullptr;
  TPxBitmap* Dest = nullptr;           // pxRGB24
  TPxBitmap* Alpha = nullptr;          // the source's alpha channel when blending through it, else nullptr
  uint8_t* const* RowTable = nullptr;  // destination row addresses, or nullptr: Dest->RowPointer per row
  int Operation = 0;
  bool ReuseRows = false;
  int XStep = 16384, YStep = 16384;      // 2.14 fixed point, 16384 = one to one
  int X0 = 0, X1 = -1, Y0 = 0, Y1 = -1;  // destination span, inclusive
  int DstX = 0, DstY = 0, SrcX = 0, SrcY = 0;
  const int32_t* XTable = nullptr;  // source column of destination column X0 + i
  const int32_t* YTable = nullptr;  // source row of destination row Y0 + i
  int Transparency = 255;
};
using TStretchRows = void (*)(const TStretchJob& job);
struct TStretchWriters {
  TStretchRows StretchRowsOpaque;
  TStretchRows StretchRowsBlended;
};
// nullptr for pxNoFormat and unknown values.
const TStretchWriters* StretchWritersFor(TPxBitmapFormat format);

}  // namespace rv
