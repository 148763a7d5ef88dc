#include "imaging/pxrender.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "imaging/pxcolor.h"

namespace rv {

namespace {

// ---------------------------------------------------------------- sample to colour

struct FetchRGB24 {
  explicit FetchRGB24(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const {
    TColorBGR c;
    std::memcpy(&c, row + 3 * size_t(x), 3);
    return c;
  }
};

struct FetchMono1 {
  explicit FetchMono1(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const {
    const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    return TColorBGR{v, v, v};
  }
};

struct FetchGray8 {
  explicit FetchGray8(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const { return TColorBGR{row[x], row[x], row[x]}; }
};

struct FetchPalette8 {
  TColorBGR table[256] = {};
  explicit FetchPalette8(TPxBitmap& source) {
    for (int i = 0; i < 256; ++i) source.GetPaletteEntry(i, table[i]);
  }
  TColorBGR operator()(const uint8_t* row, int x) const { return table[row[x]]; }
};

struct FetchGray16 {
  explicit FetchGray16(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const {
    const uint8_t v = row[2 * size_t(x) + 1];
    return TColorBGR{v, v, v};
  }
};

struct Fetch32f {
  explicit Fetch32f(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const {
    float f;
    std::memcpy(&f, row + 4 * size_t(x), 4);
    // Trunc(v x 255), low 8 bits; values beyond the 64-bit range saturate
    // instead of being undefined.
    const double t = double(f) * 255;
    int64_t i = 0;
    if (t >= 9.2e18)
      i = std::numeric_limits<int64_t>::max();
    else if (t <= -9.2e18)
      i = std::numeric_limits<int64_t>::min();
    else if (!std::isnan(t))
      i = int64_t(t);
    const uint8_t v = uint8_t(i);
    return TColorBGR{v, v, v};
  }
};

struct FetchCMYK {
  explicit FetchCMYK(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const { return InvertedCMYKToBGR(row + 4 * size_t(x)); }
};

struct FetchCIELab {
  explicit FetchCIELab(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const { return LabToBGR(row + 3 * size_t(x)); }
};

struct FetchRGB48 {
  explicit FetchRGB48(TPxBitmap&) {}
  TColorBGR operator()(const uint8_t* row, int x) const {
    const uint8_t* p = row + 6 * size_t(x);
    return TColorBGR{p[5], p[3], p[1]};
  }
};

// ---------------------------------------------------------------- writers

// Rows of a file-backed destination are valid only until the next is asked
// for, so a finished row can be copied only when rows stay addressable.
bool RowsAddressable(const TStretchJob& job) {
  return job.RowTable || job.Dest->Location() != pxTempFile;
}

uint8_t* DestRow(const TStretchJob& job, int y) {
  return job.RowTable ? job.RowTable[y] : job.Dest->RowPointer(y);
}

// Copies the converted source pixels. A destination row whose source row is
// the one of the row above is the same span of pixels, so it is copied from
// there instead of converted again.
// The 24-bit source needs no conversion: each pixel is a 4-byte copy whose
// fourth byte the next pixel overwrites, except at the span's end and where a
// source pixel is the last of its row.
void CopyPixelsRGB24(const uint8_t* s, int sourceBytes, const int32_t* xt, int n, uint8_t* d) {
  for (int i = 0; i < n - 1; ++i) {
    const size_t off = 3 * size_t(xt[i]);
    if (off + 4 <= size_t(sourceBytes)) {
      uint32_t v;
      std::memcpy(&v, s + off, 4);
      std::memcpy(d + 3 * size_t(i), &v, 4);
    } else {
      std::memcpy(d + 3 * size_t(i), s + off, 3);
    }
  }
  std::memcpy(d + 3 * size_t(n - 1), s + 3 * size_t(xt[n - 1]), 3);
}

template <typename Fetch>
void StretchRowsOpaque(const TStretchJob& job) {
  const Fetch fetch(*job.Source);
  const int n = job.X1 - job.X0 + 1;
  const bool canCopy = RowsAddressable(job);
  const int32_t* xt = job.XTable;
  int previousSource = -1;
  const uint8_t* previous = nullptr;
  for (int y = job.Y0; y <= job.Y1; ++y) {
    const int sy = job.YTable[y - job.Y0];
    uint8_t* d = DestRow(job, y) + 3 * size_t(job.X0);
    if (canCopy && previous && sy == previousSource) {
      std::memcpy(d, previous, 3 * size_t(n));
    } else {
      const uint8_t* s = job.Source->RowPointer(sy);
      if constexpr (std::is_same_v<Fetch, FetchRGB24>) {
        CopyPixelsRGB24(s, job.Source->RowLength(), xt, n, d);
      } else {
        for (int i = 0; i < n; ++i) {
          const TColorBGR c = fetch(s, xt[i]);
          std::memcpy(d + 3 * size_t(i), &c, 3);
        }
      }
    }
    previousSource = sy;
    previous = d;
  }
}

// d := d + (alpha x (c - d)) shr 8 per channel, alpha = min(Transparency,
// the source's alpha). With ReuseRows (24-bit and 1-bit sources) a row whose
// source row repeats is copied from the row above, the caller having promised
// that both rows had the same background.
template <typename Fetch, bool kReuseRows>
void StretchRowsBlended(const TStretchJob& job) {
  const Fetch fetch(*job.Source);
  const int n = job.X1 - job.X0 + 1;
  const bool canCopy = kReuseRows && job.ReuseRows && RowsAddressable(job);
  const int32_t* xt = job.XTable;
  const int t = std::clamp(job.Transparency, 0, 255);
  int previousSource = -1;
  const uint8_t* previous = nullptr;
  for (int y = job.Y0; y <= job.Y1; ++y) {
    const int sy = job.YTable[y - job.Y0];
    uint8_t* d = DestRow(job, y) + 3 * size_t(job.X0);
    if (canCopy && previous && sy == previousSource) {
      std::memcpy(d, previous, 3 * size_t(n));
    } else {
      const uint8_t* a = job.Alpha ? job.Alpha->RowPointer(sy) : nullptr;
      const uint8_t* s = job.Source->RowPointer(sy);
      for (int i = 0; i < n; ++i) {
        const int x = xt[i];
        const TColorBGR c = fetch(s, x);
        const int alpha = a ? std::min(t, int(a[x])) : t;
        uint8_t* p = d + 3 * size_t(i);
        p[0] = uint8_t(p[0] + ((alpha * (c.b - p[0])) >> 8));
        p[1] = uint8_t(p[1] + ((alpha * (c.g - p[1])) >> 8));
        p[2] = uint8_t(p[2] + ((alpha * (c.r - p[2])) >> 8));
      }
    }
    previousSource = sy;
    previous = d;
  }
}

// Indexed by TPxBitmapFormat.
const TStretchWriters kWriters[] = {
    {nullptr, nullptr},
    {&StretchRowsOpaque<FetchMono1>, &StretchRowsBlended<FetchMono1, true>},
    {&StretchRowsOpaque<FetchPalette8>, &StretchRowsBlended<FetchPalette8, false>},
    {&StretchRowsOpaque<FetchGray8>, &StretchRowsBlended<FetchGray8, false>},
    {&StretchRowsOpaque<FetchGray16>, &StretchRowsBlended<FetchGray16, false>},
    {&StretchRowsOpaque<FetchRGB24>, &StretchRowsBlended<FetchRGB24, true>},
    {&StretchRowsOpaque<Fetch32f>, &StretchRowsBlended<Fetch32f, false>},
    {&StretchRowsOpaque<FetchCMYK>, &StretchRowsBlended<FetchCMYK, false>},
    {&StretchRowsOpaque<FetchRGB48>, &StretchRowsBlended<FetchRGB48, false>},
    {&StretchRowsOpaque<FetchCIELab>, &StretchRowsBlended<FetchCIELab, false>},
};

// Shortens [lo, hi] (destination indices; the table starts at `base`) so that
// its ends name samples inside 0 .. limit - 1, and checks the rest. False when
// nothing is left or an entry inside the span points outside the picture.
bool FitSpan(std::span<const int32_t> table, int base, int& lo, int& hi, int limit) {
  auto inside = [&](int i) {
    const int64_t k = int64_t(i) - base;
    return k >= 0 && k < int64_t(table.size()) && table[size_t(k)] >= 0 && table[size_t(k)] < limit;
  };
  while (hi >= lo && !inside(hi)) --hi;
  while (lo <= hi && !inside(lo)) ++lo;
  if (lo > hi) return false;
  for (int i = lo; i <= hi; ++i)
    if (!inside(i)) return false;
  return true;
}

void DrawOneToOne(TPxBitmap& source, TPxBitmap& dest, uint8_t* const* rows, int x0, int x1, int y0, int y1, int dx,
                  int dy, int sx, int sy) {
  // Stay inside the source when its rectangle is a little narrower than the
  // destination's (a ratio that rounds to one).
  x1 = std::min(x1, source.Width() - 1 - sx + dx);
  y1 = std::min(y1, source.Height() - 1 - sy + dy);
  if (x1 < x0) return;
  const size_t bytes = 3 * size_t(x1 - x0 + 1);
  for (int y = y0; y <= y1; ++y) {
    const uint8_t* s = source.RowPointer(y + sy - dy) + 3 * size_t(x0 + sx - dx);
    uint8_t* d = rows ? rows[y] : dest.RowPointer(y);
    std::memcpy(d + 3 * size_t(x0), s, bytes);
  }
}

}  // namespace

TRenderTables& TRenderTables::operator=(TRenderTables&& other) noexcept {
  if (this == &other) return *this;
  // Moving a vector keeps its block, so spans into the owned vectors stay
  // valid in their new home; the source's spans are dropped with its vectors.
  RowTable = other.RowTable;
  XTable = other.XTable;
  YTable = other.YTable;
  OwnedRowTable = std::move(other.OwnedRowTable);
  OwnedXTable = std::move(other.OwnedXTable);
  OwnedYTable = std::move(other.OwnedYTable);
  other.RowTable = {};
  other.XTable = {};
  other.YTable = {};
  other.OwnedRowTable.clear();
  other.OwnedXTable.clear();
  other.OwnedYTable.clear();
  return *this;
}

const TStretchWriters* StretchWritersFor(TPxBitmapFormat format) {
  if (format == pxNoFormat || format > pxCIELab) return nullptr;
  return &kWriters[format];
}

void RenderScaled(TPxBitmap& source, TPxBitmap& dest, TRenderTables* tables, const TRenderClip* clip, int dstX,
                  int dstY, int dstW, int dstH, int srcX, int srcY, int srcW, int srcH, bool useAlpha, bool reuseRows,
                  int transparency, TResampleFilter filter, bool freeTables, int operation) {
  if (&source == &dest || source.IsEmpty() || dest.IsEmpty() || dest.Format() != pxRGB24) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const int DW = dest.Width(), DH = dest.Height();
  const int SW = source.Width(), SH = source.Height();
  if (dstW <= 0 || dstH <= 0 || srcW <= 0 || srcH <= 0 || dstY > DH - 1 || dstX > DW - 1) return;

  // Cut the parts of the destination rectangle that lie outside Dest, and the
  // matching parts of the source rectangle.
  const double ry = double(srcH) / dstH, rx = double(srcW) / dstW;
  int64_t dX = dstX, dY = dstY, dWd = dstW, dHt = dstH, sX = srcX, sY = srcY, sWd = srcW, sHt = srcH;
  if (dY < 0) {
    const int64_t k = -dY, t = int64_t(k * ry);
    sY += t, sHt -= t, dHt -= k, dY = 0;
  }
  if (dX < 0) {
    const int64_t k = -dX, t = int64_t(k * rx);
    sX += t, sWd -= t, dWd -= k, dX = 0;
  }
  if (dY + dHt > DH) {
    sHt -= int64_t((dY + dHt - DH) * ry);
    dHt = DH - dY;
  }
  if (dX + dWd > DW) {
    sWd -= int64_t((dX + dWd - DW) * rx);
    dWd = DW - dX;
  }
  const int dx = int(std::clamp<int64_t>(dX, 0, DW - 1)), dy = int(std::clamp<int64_t>(dY, 0, DH - 1));
  const int dw = int(std::clamp<int64_t>(dWd, 0, DW)), dh = int(std::clamp<int64_t>(dHt, 0, DH));
  const int sx = int(std::clamp<int64_t>(sX, 0, SW - 1)), sy = int(std::clamp<int64_t>(sY, 0, SH - 1));
  const int sw = int(std::clamp<int64_t>(sWd, 0, SW)), sh = int(std::clamp<int64_t>(sHt, 0, SH));
  if (dw == 0 || dh == 0 || sw == 0 || sh == 0) return;

  const std::span<uint8_t* const> callerRows =
      tables && tables->RowTable.size() >= size_t(DH) ? tables->RowTable : std::span<uint8_t* const>{};
  const TPxBitmapFormat f = source.Format();
  const bool hasAlpha = useAlpha && source.HasAlphaChannel();

  // Filtered path: resample the rectangle to the destination size, then draw
  // that one to one.
  if (filter != rfNone && filter < kResampleFilterCount && (dw != sw || dh != sh) && (f == pxRGB24 || f == pxMono1)) {
    const bool projection = filter == rfProjectBW || filter == rfProjectWB;
    TPxBitmap scaled;
    scaled.SetLocation(pxInMemory);
    if (sw < dw || f == pxRGB24 || hasAlpha || projection) {
      scaled.AllocatePixels(dw, dh, f == pxMono1 && projection ? pxMono1 : pxRGB24);
      if (scaled.IsEmpty()) return;
      FilteredResampleRect(source, sx, sy, sw, sh, scaled, filter);
      if (hasAlpha) {
        TPxBitmap& sourceAlpha = *source.AlphaChannel();
        TPxBitmap& scaledAlpha = *scaled.AlphaChannel();
        FilteredResampleAlphaRect(sourceAlpha, sx, sy, sw, sh, scaledAlpha, filter);
        scaledAlpha.SetAllOpaque(sourceAlpha.AllOpaque());
      }
    } else {
      scaled.AllocatePixels(dw, dh, pxRGB24);
      if (scaled.IsEmpty()) return;
      MonoBoxAverage(source, sx, sy, sx + sw - 1, sy + sh - 1, scaled);
    }
    TRenderTables rowsOnly;
    rowsOnly.RowTable = callerRows;
    RenderScaled(scaled, dest, &rowsOnly, clip, dx, dy, dw, dh, 0, 0, dw, dh, useAlpha, reuseRows, transparency, rfNone,
                 true, operation);
    return;
  }

  // Drawn span.
  int x0 = dx, x1 = std::min(dx + dw - 1, DW - 1), y0 = dy, y1 = std::min(dy + dh - 1, DH - 1);
  if (clip) {
    x0 = std::max(clip->Left, x0), x1 = std::min(clip->Right, x1);
    y0 = std::max(clip->Top, y0), y1 = std::min(clip->Bottom, y1);
  }
  x0 = std::clamp(x0, 0, DW - 1), x1 = std::clamp(x1, 0, DW - 1);
  y0 = std::clamp(y0, 0, DH - 1), y1 = std::clamp(y1, 0, DH - 1);
  if (x0 > x1 || y0 > y1) return;

  TPxBitmap* alpha = nullptr;
  if (hasAlpha) {
    TPxBitmap* a = source.AlphaChannel();
    // An alpha channel of another size cannot be read at the picture's coordinates.
    if (a && !a->AllOpaque() && a->Width() == SW && a->Height() == SH && a->Format() == pxGray8) alpha = a;
  }
  const bool blend = alpha != nullptr;
  const int ystep = int(double(sh) / dh * 16384), xstep = int(double(sw) / dw * 16384);

  std::vector<uint8_t*> builtRows;
  uint8_t* const* rows = callerRows.empty() ? nullptr : callerRows.data();
  if (!rows && dest.Location() != pxTempFile) {
    builtRows.resize(size_t(DH));
    for (int y = 0; y < DH; ++y) builtRows[size_t(y)] = dest.RowPointer(y);
    rows = builtRows.data();
  }

  try {
    if (xstep == 16384 && ystep == 16384 && f == pxRGB24 && transparency >= 255 && !blend && operation == 0) {
      DrawOneToOne(source, dest, rows, x0, x1, y0, y1, dx, dy, sx, sy);
    } else {
      std::vector<int32_t> builtX, builtY;
      std::span<const int32_t> xt = tables ? tables->XTable : std::span<const int32_t>{};
      std::span<const int32_t> yt = tables ? tables->YTable : std::span<const int32_t>{};
      // Built tables cover the whole rectangle from (dx, dy), not only the
      // clipped span, so they stay valid when handed back for another clip.
      if (xt.empty()) {
        builtX.resize(size_t(dw));
        for (int i = 0; i < dw; ++i) builtX[size_t(i)] = int32_t(i * rx + sx);
        xt = builtX;
      }
      if (yt.empty()) {
        builtY.resize(size_t(dh));
        for (int i = 0; i < dh; ++i) builtY[size_t(i)] = int32_t(i * ry + sy);
        yt = builtY;
      }
      if (FitSpan(xt, dx, x0, x1, SW) && FitSpan(yt, dy, y0, y1, SH)) {
        TStretchJob job;
        job.Source = &source;
        job.Dest = &dest;
        job.Alpha = alpha;
        job.RowTable = rows;
        job.Operation = operation;
        job.ReuseRows = reuseRows;
        job.XStep = xstep;
        job.YStep = ystep;
        job.X0 = x0, job.X1 = x1, job.Y0 = y0, job.Y1 = y1;
        job.DstX = dx, job.DstY = dy, job.SrcX = sx, job.SrcY = sy;
        job.XTable = xt.data() + (x0 - dx);
        job.YTable = yt.data() + (y0 - dy);
        job.Transparency = transparency;
        const TStretchWriters* w = StretchWritersFor(f);
        if (w) (transparency < 255 || blend ? w->StretchRowsBlended : w->StretchRowsOpaque)(job);
      }
      if (!freeTables && tables) {
        if (!builtX.empty()) {
          tables->OwnedXTable = std::move(builtX);
          tables->XTable = tables->OwnedXTable;
        }
        if (!builtY.empty()) {
          tables->OwnedYTable = std::move(builtY);
          tables->YTable = tables->OwnedYTable;
        }
      }
    }
  } catch (...) {
    // A failure while writing rows ends this drawing; the picture on screen
    // is then partly drawn, which the next paint repairs.
  }
  if (!freeTables && tables && !builtRows.empty()) {
    tables->OwnedRowTable = std::move(builtRows);
    tables->RowTable = tables->OwnedRowTable;
  }
}

void RenderScaledToTBitmap(TPxBitmap& source, TBitmap& dest, TRenderTables* tables, const TRenderClip* clip, int dstX,
                           int dstY, int dstW, int dstH, int srcX, int srcY, int srcW, int srcH, bool useAlpha,
                           bool reuseRows, int transparency, TResampleFilter filter, bool freeTables, int operation) {
  if (dest.BitCount() != 24 || dest.Empty()) return;
  TPxBitmap wrapped;
  wrapped.AdoptTBitmap(&dest, false);
  RenderScaled(source, wrapped, tables, clip, dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH, useAlpha, reuseRows,
               transparency, filter, freeTables, operation);
}

void RenderScaled(TPxBitmap& source, TPxBitmap& dest, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY,
                  int srcW, int srcH, int transparency, TResampleFilter filter, int operation) {
  RenderScaled(source, dest, nullptr, nullptr, dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH, true, false,
               transparency, filter, true, operation);
}

void RenderScaledToTBitmap(TPxBitmap& source, TBitmap& dest, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY,
                           int srcW, int srcH, int transparency, TResampleFilter filter, int operation) {
  RenderScaledToTBitmap(source, dest, nullptr, nullptr, dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH, true, false,
                        transparency, filter, true, operation);
}

}  // namespace rv
