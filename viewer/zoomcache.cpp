#include "viewer/zoomcache.h"

#include <algorithm>
#include <cstring>

namespace rv {

namespace {

// One output row from two source rows (the same row twice for an odd last
// row): vertical pair sums first, a loop the compiler vectorises, then the
// horizontal pairs of 3-byte pixels.
void HalveRow(const uint8_t* __restrict r0, const uint8_t* __restrict r1, int w, uint16_t* __restrict sums,
              uint8_t* __restrict out) {
  const int n = 3 * w;
  for (int i = 0; i < n; ++i) sums[i] = uint16_t(r0[i] + r1[i]);
  const int pairs = w / 2;
  for (int x = 0; x < pairs; ++x) {
    const uint16_t* s = sums + 6 * x;
    uint8_t* d = out + 3 * x;
    d[0] = uint8_t((s[0] + s[3] + 2) >> 2);
    d[1] = uint8_t((s[1] + s[4] + 2) >> 2);
    d[2] = uint8_t((s[2] + s[5] + 2) >> 2);
  }
  if (w & 1) {
    const uint16_t* s = sums + 6 * pairs;
    uint8_t* d = out + 3 * pairs;
    for (int c = 0; c < 3; ++c) d[c] = uint8_t((2 * s[c] + 2) >> 2);
  }
}

// Exact truncating division of a box sum s <= 255 n by its pixel count n as
// (s * m) >> 20 (s * m stays below 2^28), checked once for every s and n.
struct TBoxDivisors {
  static constexpr int kMax = 64;
  uint32_t m[kMax + 1] = {};
  bool allExact = true;
  TBoxDivisors() {
    for (int n = 1; n <= kMax; ++n) {
      m[n] = (1u << 20) / uint32_t(n) + 1;
      for (uint32_t s = 0; s <= 255u * uint32_t(n); ++s)
        if (((s * m[n]) >> 20) != s / uint32_t(n)) allExact = false;
    }
  }
};

const TBoxDivisors& Divisors() {
  static const TBoxDivisors divisors;
  return divisors;
}

// Box averages from level k straight into the destination. Destination
// column i covers source columns srcX + Trunc(i r) .. srcX + Trunc((i + 1) r)
// - 1 (r = srcW / dstW), and reads the level columns holding them; rows the
// same. Only the span inside the clip is written.
void ReduceFromLevel(TPxBitmap& level, int k, TBitmap& dest, const TRenderClip* clip, int dstX, int dstY, int dstW,
                     int dstH, int srcX, int srcY, int srcW, int srcH) {
  int x0 = dstX, x1 = dstX + dstW - 1, y0 = dstY, y1 = dstY + dstH - 1;
  if (clip) {
    x0 = std::max(x0, clip->Left), x1 = std::min(x1, clip->Right);
    y0 = std::max(y0, clip->Top), y1 = std::min(y1, clip->Bottom);
  }
  if (x0 > x1 || y0 > y1) return;
  const int LW = level.Width(), LH = level.Height();
  const double rx = double(srcW) / dstW, ry = double(srcH) / dstH;
  auto box = [k](int origin, double r, int i, int limit, int& lo, int& hi) {
    const int a = origin + int(i * r), b = std::max(a, origin + int((i + 1) * r) - 1);
    lo = std::min(a >> k, limit - 1);
    hi = std::min(b >> k, limit - 1);
  };
  const int n = x1 - x0 + 1;
  std::vector<int> colLo(static_cast<size_t>(n)), colHi(static_cast<size_t>(n));
  int widest = 1;
  for (int i = 0; i < n; ++i) {
    box(srcX, rx, x0 - dstX + i, LW, colLo[size_t(i)], colHi[size_t(i)]);
    widest = std::max(widest, colHi[size_t(i)] - colLo[size_t(i)] + 1);
  }
  const int first = colLo.front(), last = colHi.back();
  // Per destination column: offset of its first level column in the sums,
  // and its width in level columns.
  std::vector<uint32_t> offset(static_cast<size_t>(n));
  std::vector<uint8_t> width(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    offset[size_t(i)] = uint32_t(3 * (colLo[size_t(i)] - first));
    width[size_t(i)] = uint8_t(colHi[size_t(i)] - colLo[size_t(i)] + 1);
  }
  std::vector<uint16_t> sums(size_t(3) * size_t(last - first + 1));
  const TBoxDivisors& div = Divisors();
  const TPxAccessGuard guard(level, kAccessRead);
  for (int y = y0; y <= y1; ++y) {
    int rowLo, rowHi;
    box(srcY, ry, y - dstY, LH, rowLo, rowHi);
    // Column sums of the box's level rows.
    const size_t bytes = sums.size();
    uint16_t* __restrict sum = sums.data();
    const uint8_t* r0 = level.RowPointer(rowLo) + 3 * size_t(first);
    for (size_t c = 0; c < bytes; ++c) sum[c] = r0[c];
    for (int row = rowLo + 1; row <= rowHi; ++row) {
      const uint8_t* __restrict r = level.RowPointer(row) + 3 * size_t(first);
      for (size_t c = 0; c < bytes; ++c) sum[c] = uint16_t(sum[c] + r[c]);
    }
    const int rows = rowHi - rowLo + 1;
    uint8_t* d = dest.ScanLine(y) + 3 * size_t(x0);
    if (!div.allExact || rows * widest > TBoxDivisors::kMax) {
      for (int i = 0; i < n; ++i, d += 3) {
        uint32_t t[3] = {0, 0, 0};
        for (int c = 0; c < 3 * width[size_t(i)]; ++c) t[c % 3] += sum[offset[size_t(i)] + uint32_t(c)];
        const uint32_t count = uint32_t(rows * width[size_t(i)]);
        for (int c = 0; c < 3; ++c) d[c] = uint8_t(t[c] / count);
      }
      continue;
    }
    const uint32_t m1 = div.m[rows], m2 = div.m[2 * rows];
    for (int i = 0; i < n; ++i, d += 3) {
      const uint16_t* s = sum + offset[size_t(i)];
      const int w = width[size_t(i)];
      if (w == 1) {
        d[0] = uint8_t((s[0] * m1) >> 20), d[1] = uint8_t((s[1] * m1) >> 20), d[2] = uint8_t((s[2] * m1) >> 20);
      } else if (w == 2) {
        d[0] = uint8_t(((s[0] + s[3]) * m2) >> 20);
        d[1] = uint8_t(((s[1] + s[4]) * m2) >> 20);
        d[2] = uint8_t(((s[2] + s[5]) * m2) >> 20);
      } else {
        uint32_t b = 0, g = 0, r = 0;
        for (int c = 0; c < w; ++c, s += 3) b += s[0], g += s[1], r += s[2];
        const uint32_t m = div.m[rows * w];
        d[0] = uint8_t((b * m) >> 20), d[1] = uint8_t((g * m) >> 20), d[2] = uint8_t((r * m) >> 20);
      }
    }
  }
}

}  // namespace

void HalvePicture(TPxBitmap& source, TPxBitmap& dest) {
  if (&source == &dest || source.Format() != pxRGB24 || source.IsEmpty()) return;
  const int w = source.Width(), h = source.Height();
  const int hw = (w + 1) / 2, hh = (h + 1) / 2;
  dest.SetLocation(pxInMemory);
  dest.SetMemoryThreshold(int64_t(1) << 62);
  dest.AllocatePixels(hw, hh, pxRGB24);
  if (dest.IsEmpty()) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxAccessGuard destGuard(dest, kAccessWrite);
  std::vector<uint16_t> sums(size_t(3) * size_t(w));
  // Rows of a file-backed source are valid one at a time: copy the first of
  // each pair aside.
  const bool oneRowAtATime = source.Location() == pxTempFile;
  std::vector<uint8_t> first(oneRowAtATime ? size_t(3) * size_t(w) : 0);
  for (int y = 0; y < hh; ++y) {
    const uint8_t* r0 = source.RowPointer(2 * y);
    if (oneRowAtATime) {
      std::memcpy(first.data(), r0, first.size());
      r0 = first.data();
    }
    const uint8_t* r1 = source.RowPointer(std::min(2 * y + 1, h - 1));
    HalveRow(r0, r1, w, sums.data(), dest.RowPointer(y));
  }
}

TZoomRenderCache::TZoomRenderCache() = default;
TZoomRenderCache::~TZoomRenderCache() = default;

void TZoomRenderCache::Invalidate() {
  levels_.clear();
  source_ = nullptr;
  width_ = height_ = 0;
}

size_t TZoomRenderCache::LevelBytes() const {
  size_t n = 0;
  for (const auto& level : levels_) n += size_t(level->RowLength()) * size_t(level->Height());
  return n;
}

int TZoomRenderCache::LevelFor(int srcW, int srcH, int dstW, int dstH) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return 0;
  int k = 0;
  // 2^(k+1) <= srcW / dstW, in integers.
  while (k < 30 && (int64_t(dstW) << (k + 1)) <= srcW && (int64_t(dstH) << (k + 1)) <= srcH) ++k;
  return k;
}

TPxBitmap& TZoomRenderCache::Level(TPxBitmap& source, int k) {
  if (&source != source_ || source.Width() != width_ || source.Height() != height_) {
    Invalidate();
    source_ = &source;
    width_ = source.Width();
    height_ = source.Height();
  }
  if (k == 0) return source;
  while (int(levels_.size()) < k) {
    TPxBitmap& from = levels_.empty() ? source : *levels_.back();
    auto next = std::make_unique<TPxBitmap>();
    HalvePicture(from, *next);
    levels_.push_back(std::move(next));
  }
  return *levels_[size_t(k - 1)];
}

void TZoomRenderCache::Render(TPxBitmap& source, TBitmap& dest, TRenderTables* tables, const TRenderClip* clip,
                              int dstX, int dstY, int dstW, int dstH, int srcX, int srcY, int srcW, int srcH,
                              bool useAlpha, bool reuseRows, int transparency, TResampleFilter filter, bool freeTables,
                              int operation) {
  const int k = LevelFor(srcW, srcH, dstW, dstH);
  // The levels serve the view's plain case: an opaque reduction of a
  // rectangle inside the picture into a rectangle inside the buffer.
  const bool levels = filter == rfFastLinear && k > 0 && source.Format() == pxRGB24 && !source.IsEmpty() &&
                      !(useAlpha && source.HasAlphaChannel()) && transparency >= 255 && operation == 0 &&
                      dest.BitCount() == 24 && srcX >= 0 && srcY >= 0 && int64_t(srcX) + srcW <= source.Width() &&
                      int64_t(srcY) + srcH <= source.Height() && dstX >= 0 && dstY >= 0 &&
                      int64_t(dstX) + dstW <= dest.Width() && int64_t(dstY) + dstH <= dest.Height();
  if (!levels) {
    RenderScaledToTBitmap(source, dest, tables, clip, dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH, useAlpha,
                          reuseRows, transparency, filter, freeTables, operation);
    return;
  }
  TPxBitmap& level = Level(source, k);
  if (level.IsEmpty()) return;
  ReduceFromLevel(level, k, dest, clip, dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH);
}

}  // namespace rv
