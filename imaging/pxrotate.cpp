#include "imaging/pxrotate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "imaging/pxcolor.h"

namespace rv {

namespace {

constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxBytes = int64_t(1) << 46;  // the container's own limit
// Quarter turns of file-backed pictures gather this many bytes of result rows
// per pass over the source.
constexpr int64_t kStageBytes = int64_t(64) << 20;
// Square blocks of the in-memory quarter turn: 64 x 64 pixels of 3 bytes on
// each side fit in the first-level cache together.
constexpr int kTile = 64;

// Round with halves to the even neighbour (the default rounding mode).
int64_t RoundEven(double v) {
  return static_cast<int64_t>(std::nearbyint(v));
}

// Rows of memory and platform-bitmap stores stay where they are; a file-backed
// bitmap hands out one row at a time.
bool Addressable(TPxBitmap& b) {
  return b.Location() != pxTempFile;
}

std::vector<uint8_t*> RowTable(TPxBitmap& b) {
  std::vector<uint8_t*> rows(static_cast<size_t>(b.Height()));
  for (size_t r = 0; r < rows.size(); ++r) rows[r] = b.RowPointer(int(r));
  return rows;
}

// Random access to every row of a source: the rows themselves when they stay
// put, else a packed copy read once.
class TSourceRows {
 public:
  explicit TSourceRows(TPxBitmap& b) {
    if (Addressable(b)) {
      auto rows = RowTable(b);
      rows_.assign(rows.begin(), rows.end());
      return;
    }
    const int64_t n = b.RowLength(), h = b.Height();
    copy_.reset(new uint8_t[size_t(n * h)]);
    const TPxAccessGuard scope(b, kAccessRead);
    rows_.resize(size_t(h));
    for (int64_t r = 0; r < h; ++r) {
      uint8_t* d = copy_.get() + r * n;
      std::memcpy(d, b.RowPointer(int(r)), size_t(n));
      rows_[size_t(r)] = d;
    }
  }
  const uint8_t* operator[](int64_t row) const { return rows_[size_t(row)]; }

 private:
  std::vector<const uint8_t*> rows_;
  std::unique_ptr<uint8_t[]> copy_;
};

bool Fits(int64_t w, int64_t h, TPxBitmapFormat format) {
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) return false;
  const int64_t rowLength = RowLengthFor(w, FormatBitsPerPixel(format));
  return rowLength <= std::numeric_limits<int32_t>::max() && rowLength * h <= kMaxBytes;
}

// dest := a w x h picture in source's format with source's palette.
void AllocateLike(TPxBitmap& source, TPxBitmap& dest, int64_t w, int64_t h) {
  const TPxBitmapFormat format = source.Format();
  if (!Fits(w, h, format)) throw std::bad_alloc();
  if (dest.Width() == w && dest.Height() == h && dest.Format() == format && !dest.IsEmpty()) {
    // Same geometry: the storage is reused, so turning into one picture
    // again and again costs no fresh pages.
    dest.RemoveAlphaChannel();
    dest.SetAllOpaque(false);
  } else {
    dest.AllocatePixels(int(w), int(h), format);
  }
  if (source.Palette() && dest.Palette()) {
    std::memcpy(dest.Palette(), source.Palette(), 256 * sizeof(TColorBGR));
    dest.SyncPaletteToTBitmap();
  }
  dest.SetQuantizeColors(source.QuantizeColors());
}

bool MonoBit(const uint8_t* row, int64_t x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
void SetMonoBit(uint8_t* row, int64_t x, bool on) {
  const uint8_t mask = uint8_t(0x80 >> (x & 7));
  if (on) {
    row[x >> 3] |= mask;
  } else {
    row[x >> 3] &= uint8_t(~mask);
  }
}

// d := the w pixels of s in reverse order (pxMono1 when bytesPerPixel is 0).
void ReverseRow(const uint8_t* s, uint8_t* d, int64_t w, int bytesPerPixel) {
  if (bytesPerPixel == 0) {
    for (int64_t x0 = 0; x0 < w; x0 += 8) {
      uint8_t v = 0;
      for (int64_t k = 0; k < 8 && x0 + k < w; ++k)
        if (MonoBit(s, w - 1 - (x0 + k))) v |= uint8_t(0x80 >> k);
      d[x0 >> 3] = v;
    }
    return;
  }
  const size_t n = size_t(bytesPerPixel);
  for (int64_t x = 0; x < w; ++x) std::memcpy(d + size_t(x) * n, s + size_t(w - 1 - x) * n, n);
}

// ------------------------------------------------------------ quarter turns

// Dest row y is source column col(y) read along the source rows in cols[]:
// clockwise cols[x] = source row H - 1 - x and col(y) = y; counter-clockwise
// cols[x] = source row x and col(y) = W - 1 - y.
template <size_t N>
void TurnBlock(const uint8_t* const* cols, uint8_t* const* dstRows, int x0, int x1, int y0, int y1, bool cw, int srcW) {
  for (int y = y0; y < y1; ++y) {
    const size_t c = size_t(cw ? y : srcW - 1 - y) * N;
    uint8_t* d = dstRows[y] + size_t(x0) * N;
    for (int x = x0; x < x1; ++x, d += N) std::memcpy(d, cols[x] + c, N);
  }
}

void TurnBlockMono(const uint8_t* const* cols, uint8_t* const* dstRows, int x0, int x1, int y0, int y1, bool cw,
                   int srcW) {
  for (int y = y0; y < y1; ++y) {
    const int col = cw ? y : srcW - 1 - y;
    const size_t byte = size_t(col) >> 3;
    const int shift = 7 - (col & 7);
    uint8_t* d = dstRows[y];
    for (int x = x0; x < x1; x += 8) {  // x0 is a multiple of 8
      uint8_t v = 0;
      const int n = std::min(8, x1 - x);
      for (int k = 0; k < n; ++k) v |= uint8_t(((cols[x + k][byte] >> shift) & 1) << (7 - k));
      d[x >> 3] = v;
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Three-byte pixels on processors with SSSE3 (checked at run time, so the
// build needs no -march): blocks of 4 x 4 pixels are widened to 32 bits,
// transposed in registers and narrowed again. Result rows are gathered per
// block row in a small buffer and written with streaming stores, which skip
// reading the destination into the cache first; the picture is far larger
// than the cache, and this is what brings the turn near the speed of a copy.
constexpr int kBlockRows = 256;  // result rows (source columns) per block
constexpr int kBlockCols = 512;  // result columns (source rows) per block

__attribute__((target("ssse3"))) void StreamRow(uint8_t* d, const uint8_t* s, size_t n) {
  size_t head = (16 - (reinterpret_cast<uintptr_t>(d) & 15)) & 15;
  head = std::min(head, n);
  std::memcpy(d, s, head);
  d += head, s += head, n -= head;
  for (; n >= 16; n -= 16, d += 16, s += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
  std::memcpy(d, s, n);
}

__attribute__((target("ssse3"))) void TurnRGB24Ssse3(const uint8_t* const* cols, uint8_t* const* dstRows, int srcW,
                                                     int dstW, int dstH, bool cw) {
  const __m128i widen = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i narrow = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  alignas(64) uint8_t stage[4][kBlockCols * 3 + 16];
  for (int ty = 0; ty < dstH; ty += kBlockRows) {
    const int y1 = std::min(dstH, ty + kBlockRows);
    for (int tx = 0; tx < dstW; tx += kBlockCols) {
      const int x1 = std::min(dstW, tx + kBlockCols);
      const size_t bytes = size_t(x1 - tx) * 3;
      for (int y = ty; y < y1; y += 4) {
        const int rows = std::min(4, y1 - y);
        // The four source columns of these result rows, lowest first; a
        // 16-byte load from it must stay within the row's pixels.
        const int low = cw ? y : srcW - 4 - y;
        int x = tx;
        if (rows == 4 && low >= 0 && low + 6 <= srcW) {
          const size_t c = size_t(low) * 3;
          for (; x + 4 <= x1; x += 4) {
            const uint8_t* const* p = cols + x;
            const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[0] + c)), widen);
            const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[1] + c)), widen);
            const __m128i e = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[2] + c)), widen);
            const __m128i f = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[3] + c)), widen);
            const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpackhi_epi32(a, b);
            const __m128i t2 = _mm_unpacklo_epi32(e, f), t3 = _mm_unpackhi_epi32(e, f);
            // Lane k holds source column low + k for the four result pixels.
            const __m128i lane[4] = {_mm_unpacklo_epi64(t0, t2), _mm_unpackhi_epi64(t0, t2), _mm_unpacklo_epi64(t1, t3),
                                     _mm_unpackhi_epi64(t1, t3)};
            const size_t o = size_t(x - tx) * 3;
            for (int k = 0; k < 4; ++k)
              _mm_storeu_si128(reinterpret_cast<__m128i*>(stage[k] + o),
                               _mm_shuffle_epi8(lane[cw ? k : 3 - k], narrow));
          }
        }
        // Edges: the last columns of a block, rows near the source's last
        // column, a block of fewer than four rows.
        for (int k = 0; k < rows; ++k) {
          const size_t c = size_t(cw ? y + k : srcW - 1 - y - k) * 3;
          for (int xx = x; xx < x1; ++xx) std::memcpy(stage[k] + size_t(xx - tx) * 3, cols[xx] + c, 3);
        }
        for (int k = 0; k < rows; ++k) StreamRow(dstRows[y + k] + size_t(tx) * 3, stage[k], bytes);
      }
    }
  }
  _mm_sfence();
}

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

void TurnInMemory(TPxBitmap& source, TPxBitmap& dest, bool cw) {
  const int srcW = source.Width(), srcH = source.Height();
  const int dstW = srcH, dstH = srcW;
  const int bpp = FormatBytesPerPixel(source.Format());
  std::vector<uint8_t*> srcRows = RowTable(source), dstRows = RowTable(dest);
  std::vector<const uint8_t*> cols(static_cast<size_t>(dstW));
  for (int x = 0; x < dstW; ++x) cols[size_t(x)] = srcRows[size_t(cw ? srcH - 1 - x : x)];
#if defined(__x86_64__) || defined(__i386__)
  if (bpp == 3 && HasSsse3()) {
    // Fresh pages are zeroed by the system when first written; doing that
    // for all of them up front keeps it from flushing the cache under the
    // blocks in the middle of the turn.
    const size_t rowBytes = size_t(dstW) * 3;
    for (uint8_t* row : dstRows)
      for (size_t i = 0; i < rowBytes; i += 4096) row[i] = 0;
    TurnRGB24Ssse3(cols.data(), dstRows.data(), srcW, dstW, dstH, cw);
    return;
  }
#endif
  for (int ty = 0; ty < dstH; ty += kTile) {
    const int y1 = std::min(dstH, ty + kTile);
    for (int tx = 0; tx < dstW; tx += kTile) {
      const int x1 = std::min(dstW, tx + kTile);
      const uint8_t* const* c = cols.data();
      uint8_t* const* d = dstRows.data();
      switch (bpp) {
        case 0:
          TurnBlockMono(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        case 1:
          TurnBlock<1>(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        case 2:
          TurnBlock<2>(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        case 3:
          TurnBlock<3>(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        case 4:
          TurnBlock<4>(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        case 6:
          TurnBlock<6>(c, d, tx, x1, ty, y1, cw, srcW);
          break;
        default:
          break;
      }
    }
  }
}

// File-backed pictures hand out one row at a time: result rows are gathered
// in memory a strip at a time, each strip from one pass over the source rows.
void TurnStaged(TPxBitmap& source, TPxBitmap& dest, bool cw) {
  const int64_t srcW = source.Width(), srcH = source.Height();
  const int64_t dstRowLength = dest.RowLength();
  const int bpp = FormatBytesPerPixel(source.Format());
  const int64_t strip = std::clamp<int64_t>(kStageBytes / dstRowLength, 1, srcW);
  std::unique_ptr<uint8_t[]> stage(new uint8_t[size_t(strip * dstRowLength)]());
  for (int64_t y0 = 0; y0 < srcW; y0 += strip) {
    const int64_t y1 = std::min(srcW, y0 + strip);
    {
      const TPxAccessGuard scope(source, kAccessRead);
      for (int64_t r = 0; r < srcH; ++r) {
        const uint8_t* s = source.RowPointer(int(r));
        const int64_t x = cw ? srcH - 1 - r : r;  // the result column this source row feeds
        for (int64_t y = y0; y < y1; ++y) {
          const int64_t col = cw ? y : srcW - 1 - y;
          uint8_t* d = stage.get() + (y - y0) * dstRowLength;
          if (bpp == 0) {
            SetMonoBit(d, x, MonoBit(s, col));
          } else {
            std::memcpy(d + x * bpp, s + col * bpp, size_t(bpp));
          }
        }
      }
    }
    const TPxAccessGuard scope(dest, kAccessWrite);
    for (int64_t y = y0; y < y1; ++y)
      std::memcpy(dest.RowPointer(int(y)), stage.get() + (y - y0) * dstRowLength, size_t(dstRowLength));
  }
}

void QuarterTurn(TPxBitmap& source, TPxBitmap& dest, bool cw) {
  if (&source == &dest || source.IsEmpty()) return;
  AllocateLike(source, dest, source.Height(), source.Width());
  if (Addressable(source) && Addressable(dest)) {
    TurnInMemory(source, dest, cw);
  } else {
    TurnStaged(source, dest, cw);
  }
}

// ------------------------------------------------------------ three shears

template <typename S, int C, bool Lab>
inline void Blend(const S* prev, const S* p, int a, S* out) {
  const int b = 4096 - a;
  for (int ch = 0; ch < C; ++ch) {
    if constexpr (std::is_floating_point_v<S>) {
      out[ch] = S((double(prev[ch]) * a + double(p[ch]) * b) / 4096.0);
    } else if constexpr (Lab) {
      // a and b of Lab are signed bytes.
      if (ch == 0) {
        out[ch] = S(std::clamp((int(prev[ch]) * a + int(p[ch]) * b + 2048) >> 12, 0, 255));
      } else {
        const int v = (int(int8_t(prev[ch])) * a + int(int8_t(p[ch])) * b + 2048) >> 12;
        out[ch] = S(uint8_t(int8_t(std::clamp(v, -128, 127))));
      }
    } else {
      // (x + 2048) >> 12 rounds the weighted mean to nearest; a weight of 0
      // gives the pixel back unchanged. A negative weight extrapolates, so
      // the result is clamped.
      const int64_t v = (int64_t(prev[ch]) * a + int64_t(p[ch]) * b + 2048) >> 12;
      out[ch] = S(std::clamp<int64_t>(v, 0, std::numeric_limits<S>::max()));
    }
  }
}

template <typename S, int C>
inline void FillPixels(S* d, int64_t count, const S* px) {
  for (int64_t i = 0; i < count; ++i, d += C) std::memcpy(d, px, sizeof(S) * C);
}

class TProgressSteps {
 public:
  TProgressSteps(const TProgressHandler& progress, double total) : progress_(progress), unit_(100.0 / total) {}
  void At(double done) {
    if (!progress_) return;
    const int p = int(std::trunc(done * unit_));
    if (p != last_) progress_(last_ = p);
  }

 private:
  const TProgressHandler& progress_;
  double unit_;
  int last_ = -1;
};

// Shifts of the three shears, fixed before any pixel moves. Shear 1 moves
// source row r right by S1[r]; shear 2 moves column x of the first buffer
// down by S2[x]; the offsets come from where the picture's pixels land (not
// from closed formulas, whose rounding can push an edge pixel out).
struct TShearPlan {
  bool Positive = false;
  double Tn = 0, Sn = 0;
  int64_t M = 0;   // width of both buffers
  int64_t N2 = 0;  // rows of the second buffer (the last may stay background)
  std::vector<int64_t> S1, Last1, S2;
  std::vector<int> A1, A2;
};

TShearPlan PlanShears(int64_t w0, int64_t h0, double degrees, bool aa) {
  TShearPlan p;
  const double theta = degrees * std::numbers::pi / 180.0;
  p.Positive = theta > 0;
  p.Tn = std::fabs(std::sin(theta / 2) / std::cos(theta / 2));
  p.Sn = std::fabs(std::sin(theta));
  p.S1.resize(size_t(h0));
  p.A1.resize(size_t(h0));
  p.Last1.resize(size_t(h0));
  int64_t s1Max = 0;
  for (int64_t r = 0; r < h0; ++r) {
    const double f = double(p.Positive ? r : h0 - r) * p.Tn;
    const int64_t s = RoundEven(f);
    p.S1[size_t(r)] = s;
    p.A1[size_t(r)] = int(std::trunc((f - double(s)) * 4096));
    s1Max = std::max(s1Max, s);
  }
  // Room for every row and the blended pixel after it.
  p.M = std::max(RoundEven(double(h0) * p.Tn + double(w0) + 1), s1Max + w0 + 1);
  for (int64_t r = 0; r < h0; ++r)
    p.Last1[size_t(r)] = p.S1[size_t(r)] + w0 - 1 + ((aa && p.A1[size_t(r)] > 0) ? 1 : 0);
  std::vector<int64_t> g(static_cast<size_t>(p.M));
  p.A2.resize(size_t(p.M));
  for (int64_t x = 0; x < p.M; ++x) {
    const double gx = double(p.Positive ? p.M - x : x) * p.Sn;
    const int64_t rg = RoundEven(gx);
    g[size_t(x)] = rg;
    p.A2[size_t(x)] = int(RoundEven((gx - double(rg)) * 4096));
  }
  // Column shifts are monotone in x, so the extreme rows that row r's
  // pixels reach lie at the two ends of its span.
  int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
  for (int64_t r = 0; r < h0; ++r) {
    const int64_t ga = g[size_t(p.S1[size_t(r)])], gb = g[size_t(p.Last1[size_t(r)])];
    lo = std::min(lo, r + std::min(ga, gb));
    hi = std::max(hi, r + std::max(ga, gb));
  }
  p.S2.resize(size_t(p.M));
  for (int64_t x = 0; x < p.M; ++x) p.S2[size_t(x)] = g[size_t(x)] - lo;
  // With blending, a column's last pixel may spill one row further.
  p.N2 = hi - lo + 1 + (aa ? 1 : 0);
  return p;
}

template <typename S, int C, bool Lab>
void ShearT(TPxBitmap& source, TPxBitmap& dest, double degrees, bool aa, const TPxPixelBytes& background,
            const TProgressHandler& progress) {
  S bg[C];
  std::memcpy(bg, background.Bytes, sizeof bg);
  const int64_t w0 = source.Width(), h0 = source.Height();
  const TShearPlan plan = PlanShears(w0, h0, degrees, aa);
  const int64_t m = plan.M, n2 = plan.N2;
  std::unique_ptr<S[]> first(new S[size_t(m * h0 * C)]);
  std::unique_ptr<S[]> second(new S[size_t(m * n2 * C)]);
  TProgressSteps steps(progress, double(2 * h0 + n2));

  // Shear 1: rows move right.
  {
    std::unique_ptr<S[]> row(new S[size_t(w0 * C)]);
    const TPxAccessGuard scope(source, kAccessRead);
    for (int64_t r = 0; r < h0; ++r) {
      std::memcpy(row.get(), source.RowPointer(int(r)), size_t(w0 * C) * sizeof(S));
      S* out = first.get() + r * m * C;
      const int64_t s = plan.S1[size_t(r)];
      if (!aa) {
        FillPixels<S, C>(out, s, bg);
        std::memcpy(out + s * C, row.get(), size_t(w0 * C) * sizeof(S));
        FillPixels<S, C>(out + (s + w0) * C, m - s - w0, bg);
      } else {
        FillPixels<S, C>(out, m, bg);
        const int a = plan.A1[size_t(r)];
        const S* prev = bg;
        for (int64_t i = 0; i < w0; ++i) {
          Blend<S, C, Lab>(prev, row.get() + i * C, a, out + (s + i) * C);
          prev = row.get() + i * C;
        }
        if (a > 0) Blend<S, C, Lab>(prev, bg, a, out + (s + w0) * C);
      }
      steps.At(double(r));
    }
  }

  // Shear 2: columns move down. Walked row by row (each column keeps its own
  // previous pixel) so that memory is read in order. The span of picture
  // pixels in every row of the result is recorded for shear 3.
  std::vector<int64_t> rowMin(size_t(n2), std::numeric_limits<int64_t>::max()), rowMax(size_t(n2), -1);
  auto mark = [&](int64_t y, int64_t x) {
    rowMin[size_t(y)] = std::min(rowMin[size_t(y)], x);
    rowMax[size_t(y)] = std::max(rowMax[size_t(y)], x);
  };
  {
    FillPixels<S, C>(second.get(), m * n2, bg);
    std::unique_ptr<S[]> prev;
    std::vector<uint8_t> prevIsPicture;
    if (aa) {
      prev.reset(new S[size_t(m * C)]);
      FillPixels<S, C>(prev.get(), m, bg);
      prevIsPicture.assign(size_t(m), 0);
    }
    for (int64_t y = 0; y < h0; ++y) {
      const S* in = first.get() + y * m * C;
      const int64_t a = plan.S1[size_t(y)], b = plan.Last1[size_t(y)];
      for (int64_t x = 0; x < m; ++x) {
        const int64_t ty = y + plan.S2[size_t(x)];
        if (ty < 0 || ty >= n2) continue;
        S* o = second.get() + (ty * m + x) * C;
        const bool picture = x >= a && x <= b;
        if (aa) {
          const int w = plan.A2[size_t(x)];
          Blend<S, C, Lab>(prev.get() + x * C, in + x * C, w, o);
          if (picture || (w > 0 && prevIsPicture[size_t(x)])) mark(ty, x);
          std::memcpy(prev.get() + x * C, in + x * C, sizeof(S) * C);
          prevIsPicture[size_t(x)] = picture;
        } else {
          std::memcpy(o, in + x * C, sizeof(S) * C);
          if (picture) mark(ty, x);
        }
      }
      steps.At(double(h0 + y));
    }
    if (aa) {
      for (int64_t x = 0; x < m; ++x) {
        const int64_t ty = plan.S2[size_t(x)] + h0;
        const int w = plan.A2[size_t(x)];
        if (w <= 0 || ty < 0 || ty >= n2) continue;
        Blend<S, C, Lab>(prev.get() + x * C, bg, w, second.get() + (ty * m + x) * C);
        if (prevIsPicture[size_t(x)]) mark(ty, x);
      }
    }
  }
  first.reset();

  // Shear 3: rows move right again, into the tight box around the picture.
  int64_t top = 0, bottom = n2 - 1;
  while (top < n2 && rowMax[size_t(top)] < 0) ++top;
  while (bottom > top && rowMax[size_t(bottom)] < 0) --bottom;
  const int64_t n = bottom - top + 1;
  std::vector<int64_t> shift(static_cast<size_t>(n));
  std::vector<int> weight(static_cast<size_t>(n));
  int64_t left = std::numeric_limits<int64_t>::max(), right = std::numeric_limits<int64_t>::min();
  for (int64_t y = 0; y < n; ++y) {
    const double j = double(plan.Positive ? y : n - y) * plan.Tn;
    const int64_t rj = RoundEven(j);
    shift[size_t(y)] = rj;
    weight[size_t(y)] = int(RoundEven((j - double(rj)) * 4096));
    const int64_t lo = rowMin[size_t(top + y)], hi = rowMax[size_t(top + y)];
    if (hi < 0) continue;
    left = std::min(left, lo + rj);
    right = std::max(right, hi + rj + ((aa && weight[size_t(y)] > 0) ? 1 : 0));
  }
  const int64_t wf = right - left + 1;
  AllocateLike(source, dest, wf, n);
  std::unique_ptr<S[]> row(new S[size_t(wf * C)]);
  const TPxAccessGuard scope(dest, kAccessWrite);
  for (int64_t y = 0; y < n; ++y) {
    FillPixels<S, C>(row.get(), wf, bg);
    const int64_t s = shift[size_t(y)] - left;
    const int a = weight[size_t(y)];
    const S* in = second.get() + (top + y) * m * C;
    const int64_t x0 = std::max<int64_t>(0, -s), x1 = std::min(m, wf - s);
    if (!aa) {
      if (x1 > x0) std::memcpy(row.get() + (x0 + s) * C, in + x0 * C, size_t((x1 - x0) * C) * sizeof(S));
    } else {
      const S* prev = bg;
      for (int64_t x = x0; x < x1; ++x) {
        Blend<S, C, Lab>(prev, in + x * C, a, row.get() + (x + s) * C);
        prev = in + x * C;
      }
      if (a > 0 && s + m >= 0 && s + m < wf) Blend<S, C, Lab>(prev, bg, a, row.get() + (s + m) * C);
    }
    std::memcpy(dest.RowPointer(int(y)), row.get(), size_t(wf * C) * sizeof(S));
    steps.At(double(2 * h0 + top + y));
  }
}

// Whether the result and both working buffers of a shear rotation can be held.
bool ShearFits(int w0, int h0, TPxBitmapFormat format, double degrees, bool aa) {
  const TShearBounds b = ShearRotatedBounds(w0, h0, degrees, aa);
  const int64_t pixelBytes = std::max(FormatBitsPerPixel(format) / 8, 1);
  return Fits(b.Width, b.Height, format) && b.BufferPixels <= kMaxBytes / pixelBytes;
}

// ------------------------------------------------------------ nearest (1-bit method)

struct TNearestAxes {
  double Cs, Sn;
};

TNearestAxes NearestAxes(double degrees) {
  const double theta = -degrees / 57.295779513082320877;
  return {std::trunc(std::cos(theta) * 10000) / 10000, std::trunc(std::sin(theta) * 10000) / 10000};
}

// ------------------------------------------------------------ interpolated

constexpr int kFrame = 3;

double Radians(double degrees) {
  return degrees * std::numbers::pi / 180.0;
}

template <int C>
void InterpolateT(TPxBitmap& source, TPxBitmap& dest, double degrees, const TPxPixelBytes& background,
                  const TProgressHandler& progress) {
  const TSourceRows rows(source);
  const int64_t w = source.Width(), h = source.Height();
  const int64_t dw = dest.Width(), dh = dest.Height();
  const double theta = Radians(degrees), cs = std::cos(theta), sn = std::sin(theta);
  // Centre of the framed picture in the picture's own pixel coordinates.
  const double cx = double(w + 2 * kFrame) / 2 - 0.5 - kFrame, cy = double(h + 2 * kFrame) / 2 - 0.5 - kFrame;
  std::unique_ptr<uint8_t[]> out(new uint8_t[size_t(dw * C)]);
  auto sample = [&](int64_t x, int64_t y) -> const uint8_t* {
    return (x >= 0 && y >= 0 && x < w && y < h) ? rows[y] + x * C : background.Bytes;
  };
  TProgressSteps steps(progress, double(dh));
  const TPxAccessGuard scope(dest, kAccessWrite);
  for (int64_t j = 0; j < dh; ++j) {
    const double dy = double(j) + 0.5 - double(dh) / 2;
    for (int64_t k = 0; k < dw; ++k) {
      const double dx = double(k) + 0.5 - double(dw) / 2;
      // Inverse of the counter-clockwise turn (y pointing down).
      const double sx = cx + dx * cs - dy * sn, sy = cy + dx * sn + dy * cs;
      const double fx = std::floor(sx), fy = std::floor(sy);
      const int64_t x0 = int64_t(fx), y0 = int64_t(fy);
      const int ax = int(RoundEven((sx - fx) * 4096)), ay = int(RoundEven((sy - fy) * 4096));
      const uint8_t *p00 = sample(x0, y0), *p10 = sample(x0 + 1, y0);
      const uint8_t *p01 = sample(x0, y0 + 1), *p11 = sample(x0 + 1, y0 + 1);
      for (int ch = 0; ch < C; ++ch) {
        const int64_t top = int64_t(p00[ch]) * (4096 - ax) + int64_t(p10[ch]) * ax;
        const int64_t bottom = int64_t(p01[ch]) * (4096 - ax) + int64_t(p11[ch]) * ax;
        out[size_t(k * C + ch)] = uint8_t((top * (4096 - ay) + bottom * ay + (int64_t(1) << 23)) >> 24);
      }
    }
    std::memcpy(dest.RowPointer(int(j)), out.get(), size_t(dw * C));
    steps.At(double(j));
  }
}

// ------------------------------------------------------------ whole pictures

// Angle as whole counter-clockwise quarter turns (0..3) when it is an exact
// multiple of 90 degrees.
bool WholeQuarterTurns(double angle, int& quarters) {
  if (angle != std::trunc(angle) || std::fmod(angle, 90.0) != 0) return false;
  const int q = int(std::fmod(angle, 360.0) / 90.0);  // -3 .. 3
  quarters = (q + 4) % 4;
  return true;
}

// The true-colour method keeps the angle to a thousandth of a degree and
// turns by quarters until the rest lies within 45 degrees.
void SplitAngle(double angle, int& quarters, int64_t& restThousandths) {
  double x = angle * 1000.0;
  if (!std::isfinite(x)) x = std::fmod(angle, 360.0) * 1000.0;
  int64_t a = int64_t(std::fmod(std::trunc(x), 360000.0));
  int k = 0;
  while (a > 45000) a -= 90000, ++k;
  while (a < -45000) a += 90000, --k;
  quarters = ((k % 4) + 4) % 4;
  restThousandths = a;
}

void Turn(TPxBitmap& source, TPxBitmap& dest, int quarters) {
  switch (quarters) {
    case 1:
      QuarterTurnCounterClockwise(source, dest);
      break;
    case 2:
      HalfTurn(source, dest);
      break;
    case 3:
      QuarterTurnClockwise(source, dest);
      break;
    default:
      break;
  }
}

// Rotates one plane (the picture or its alpha channel) into dest by the method
// that pictureFormat selects, so that both planes get the same geometry.
// False when the plane stays as it is (dest then untouched).
bool RotatePlane(TPxBitmap& plane, TPxBitmap& dest, TPxBitmapFormat pictureFormat, double angle, bool aa, uint8_t mode,
                 const TPxPixelBytes& bg, const TProgressHandler& progress) {
  int quarters = 0;
  if (WholeQuarterTurns(angle, quarters)) {
    Turn(plane, dest, quarters);
    return quarters != 0;
  }
  if (pictureFormat == pxMono1) {
    NearestRotate(plane, dest, angle, bg, progress);
    return true;
  }
  if (aa && mode != 0 && pictureFormat == pxRGB24) {
    InterpolatedRotate(plane, dest, angle, bg, progress);
    return true;
  }
  int64_t rest = 0;
  SplitAngle(angle, quarters, rest);
  if (rest == 0) {
    Turn(plane, dest, quarters);
    return quarters != 0;
  }
  // Indices of a palette cannot be blended.
  const bool blend = aa && pictureFormat != pxPalette8;
  if (quarters == 0) {
    ShearRotate(plane, dest, double(rest) / 1000.0, blend, bg, progress);
  } else {
    TPxBitmap turned;
    Turn(plane, turned, quarters);
    ShearRotate(turned, dest, double(rest) / 1000.0, blend, bg, progress);
  }
  return true;
}

// Puts result's pixels in place of bitmap's (its alpha channel goes). A
// picture held in a platform bitmap keeps that bitmap, which its viewer draws
// from, and is copied into it; any other takes over the result's storage.
void TakeOver(TPxBitmap& bitmap, TPxBitmap& result) {
  result.SetIsAlphaChannel(bitmap.IsAlphaChannel());
  if (bitmap.Location() == pxTBitmap) {
    bitmap.AssignFrom(result);
  } else {
    result.MoveStorageTo(bitmap);
  }
}

void MirrorPlane(TPxBitmap& b, bool vertical) {
  if (b.IsEmpty()) return;
  const int w = b.Width(), h = b.Height();
  const int bpp = FormatBytesPerPixel(b.Format());
  const size_t n = size_t(b.RowLength());
  std::vector<uint8_t> first(n), second(n);
  if (vertical) {
    // Rows of a file-backed bitmap are valid only until the next one is asked
    // for, so each pair is swapped through two buffers.
    for (int y = 0; y < h / 2; ++y) {
      std::memcpy(first.data(), b.RowPointer(y), n);
      uint8_t* p = b.RowPointer(h - 1 - y);
      std::memcpy(second.data(), p, n);
      std::memcpy(p, first.data(), n);
      std::memcpy(b.RowPointer(y), second.data(), n);
    }
    return;
  }
  for (int y = 0; y < h; ++y) {
    uint8_t* p = b.RowPointer(y);
    ReverseRow(p, first.data(), w, bpp);
    std::memcpy(p, first.data(), n);
  }
}

}  // namespace

// ------------------------------------------------------------ public

TPxPixelBytes BackgroundPixel(TPxBitmap& bitmap, TColorBGR color) {
  TPxPixelBytes p;
  switch (bitmap.Format()) {
    case pxMono1:
      p.Bytes[0] = (color.r && color.g && color.b) ? 1 : 0;
      break;
    case pxPalette8: {
      int best = 0, bestDistance = std::numeric_limits<int>::max();
      TColorBGR entry;
      for (int i = 0; i < bitmap.PaletteCount(); ++i) {
        bitmap.GetPaletteEntry(i, entry);
        const int dr = entry.r - color.r, dg = entry.g - color.g, db = entry.b - color.b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) best = i, bestDistance = d;
      }
      p.Bytes[0] = uint8_t(best);
      break;
    }
    case pxGray8:
      p.Bytes[0] = Gray8Of(color);
      break;
    case pxGray16: {
      const uint16_t v = Gray16Of8(color.r, color.g, color.b);
      std::memcpy(p.Bytes, &v, 2);
      break;
    }
    case pxRGB24:
      std::memcpy(p.Bytes, &color, 3);
      break;
    case px32f: {
      const float v = FloatGrayOf8(color.r, color.g, color.b);
      std::memcpy(p.Bytes, &v, 4);
      break;
    }
    case pxCMYK: {
      const uint32_t v = BGRToInvertedCMYK(color);
      std::memcpy(p.Bytes, &v, 4);
      break;
    }
    case pxRGB48: {
      const uint16_t v[3] = {uint16_t(color.r * 257), uint16_t(color.g * 257), uint16_t(color.b * 257)};
      std::memcpy(p.Bytes, v, 6);
      break;
    }
    case pxCIELab:
      BGRToLab(color, p.Bytes);
      break;
    default:
      break;
  }
  return p;
}

void QuarterTurnClockwise(TPxBitmap& source, TPxBitmap& dest) {
  QuarterTurn(source, dest, true);
}
void QuarterTurnCounterClockwise(TPxBitmap& source, TPxBitmap& dest) {
  QuarterTurn(source, dest, false);
}

void HalfTurn(TPxBitmap& source, TPxBitmap& dest) {
  if (&source == &dest || source.IsEmpty()) return;
  const int w = source.Width(), h = source.Height();
  AllocateLike(source, dest, w, h);
  const int bpp = FormatBytesPerPixel(source.Format());
  std::vector<uint8_t> row(static_cast<size_t>(source.RowLength()));
  const TPxAccessGuard readScope(source, kAccessRead);
  const TPxAccessGuard writeScope(dest, kAccessWrite);
  for (int y = 0; y < h; ++y) {
    std::memcpy(row.data(), source.RowPointer(h - 1 - y), row.size());
    ReverseRow(row.data(), dest.RowPointer(y), w, bpp);
  }
}

TShearBounds ShearRotatedBounds(int w0, int h0, double degrees, bool antialias) {
  // The plan's sizes, bounded without building it: the first shift is at
  // most Round(h0 tn), the column shifts span at most Round(m sn) + 1 rows.
  const double theta = degrees * std::numbers::pi / 180.0;
  const double tn = std::fabs(std::sin(theta / 2) / std::cos(theta / 2)), sn = std::fabs(std::sin(theta));
  const double m = std::ceil(double(h0) * tn) + double(w0) + 2;
  const double n = double(h0) + std::ceil(m * sn) + 3 + (antialias ? 1 : 0);
  const double w = m + std::ceil(n * tn) + 3;
  TShearBounds b;
  // Doubles beyond any size that can be held are capped, not converted.
  constexpr double kCap = 9.0e15;
  b.Width = int64_t(std::min(w, kCap));
  b.Height = int64_t(std::min(n, kCap));
  b.BufferPixels = int64_t(std::min(m * (double(h0) + n), kCap));
  return b;
}

void ShearRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, bool antialias, const TPxPixelBytes& background,
                 const TProgressHandler& progress) {
  if (&source == &dest || source.IsEmpty()) return;
  const TPxBitmapFormat format = source.Format();
  if (format == pxMono1) {
    NearestRotate(source, dest, degrees, background, progress);
    return;
  }
  if (!ShearFits(source.Width(), source.Height(), format, degrees, antialias)) throw std::bad_alloc();
  const bool aa = antialias && format != pxPalette8;
  switch (format) {
    case pxPalette8:
    case pxGray8:
      ShearT<uint8_t, 1, false>(source, dest, degrees, aa, background, progress);
      break;
    case pxGray16:
      ShearT<uint16_t, 1, false>(source, dest, degrees, aa, background, progress);
      break;
    case pxRGB24:
      ShearT<uint8_t, 3, false>(source, dest, degrees, aa, background, progress);
      break;
    case px32f:
      ShearT<float, 1, false>(source, dest, degrees, aa, background, progress);
      break;
    case pxCMYK:
      ShearT<uint8_t, 4, false>(source, dest, degrees, aa, background, progress);
      break;
    case pxRGB48:
      ShearT<uint16_t, 3, false>(source, dest, degrees, aa, background, progress);
      break;
    case pxCIELab:
      ShearT<uint8_t, 3, true>(source, dest, degrees, aa, background, progress);
      break;
    default:
      break;
  }
}

void NearestRotatedSize(int w, int h, double degrees, int64_t& width, int64_t& height) {
  const TNearestAxes ax = NearestAxes(degrees);
  // Rounded, not truncated, and at least 1: a truncated size drops the last
  // row and column of a picture turned by a small angle.
  width = std::max<int64_t>(1, RoundEven(std::fabs(w * ax.Cs) + std::fabs(h * ax.Sn)));
  height = std::max<int64_t>(1, RoundEven(std::fabs(ax.Sn * w) + std::fabs(ax.Cs * h)));
}

void NearestRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, const TPxPixelBytes& background,
                   const TProgressHandler& progress) {
  if (&source == &dest || source.IsEmpty()) return;
  const int64_t w = source.Width(), h = source.Height();
  int64_t dw = 0, dh = 0;
  NearestRotatedSize(int(w), int(h), degrees, dw, dh);
  AllocateLike(source, dest, dw, dh);
  const int bpp = FormatBytesPerPixel(source.Format());
  const TSourceRows rows(source);
  const TNearestAxes ax = NearestAxes(degrees);
  std::vector<uint8_t> out(static_cast<size_t>(dest.RowLength()));
  TProgressSteps steps(progress, double(dh));
  const TPxAccessGuard scope(dest, kAccessWrite);
  for (int64_t j = 0; j < dh; ++j) {
    const double u = double(j) - (double(dh) / 2 - 0.5);
    // The nearest source pixel to the inverse-rotated centre of (k, j).
    const double bx = double(w) / 2 + ax.Sn * u, by = double(h) / 2 + ax.Cs * u;
    for (int64_t k = 0; k < dw; ++k) {
      const double v = double(k) - (double(dw) / 2 - 0.5);
      const double fx = std::floor(bx + ax.Cs * v), fy = std::floor(by - ax.Sn * v);
      const bool inside = fx >= 0 && fy >= 0 && fx < double(w) && fy < double(h);
      const int64_t sx = inside ? int64_t(fx) : 0, sy = inside ? int64_t(fy) : 0;
      if (bpp == 0) {
        SetMonoBit(out.data(), k, inside ? MonoBit(rows[sy], sx) : background.Bytes[0] != 0);
      } else {
        std::memcpy(out.data() + k * bpp, inside ? rows[sy] + sx * bpp : background.Bytes, size_t(bpp));
      }
    }
    std::memcpy(dest.RowPointer(int(j)), out.data(), out.size());
    steps.At(double(j));
  }
}

void InterpolatedRotatedSize(int w, int h, double degrees, int64_t& width, int64_t& height) {
  const double theta = Radians(degrees), cs = std::fabs(std::cos(theta)), sn = std::fabs(std::sin(theta));
  const double fw = double(w) + 2 * kFrame, fh = double(h) + 2 * kFrame;
  // The tolerance keeps a box that is whole up to rounding from growing a pixel.
  width = std::max<int64_t>(1, int64_t(std::ceil(fw * cs + fh * sn - 1e-7)));
  height = std::max<int64_t>(1, int64_t(std::ceil(fw * sn + fh * cs - 1e-7)));
}

void InterpolatedRotate(TPxBitmap& source, TPxBitmap& dest, double degrees, const TPxPixelBytes& background,
                        const TProgressHandler& progress) {
  if (&source == &dest || source.IsEmpty()) return;
  const TPxBitmapFormat format = source.Format();
  if (format != pxRGB24 && format != pxGray8) return;
  int64_t dw = 0, dh = 0;
  InterpolatedRotatedSize(source.Width(), source.Height(), degrees, dw, dh);
  AllocateLike(source, dest, dw, dh);
  if (format == pxRGB24) {
    InterpolateT<3>(source, dest, degrees, background, progress);
  } else {
    InterpolateT<1>(source, dest, degrees, background, progress);
  }
}

bool RotatedBitmapSize(int w, int h, TPxBitmapFormat format, double angle, bool antialias, uint8_t antialiasMode,
                       int64_t& width, int64_t& height) {
  width = w;
  height = h;
  if (!std::isfinite(angle) || angle == 0 || w <= 0 || h <= 0) return true;
  int quarters = 0;
  int64_t rest = 0;
  if (WholeQuarterTurns(angle, quarters)) {
    if (quarters % 2) std::swap(width, height);
  } else if (format == pxMono1) {
    NearestRotatedSize(w, h, angle, width, height);
  } else if (antialias && antialiasMode != 0 && format == pxRGB24) {
    InterpolatedRotatedSize(w, h, angle, width, height);
  } else {
    SplitAngle(angle, quarters, rest);
    if (quarters % 2) std::swap(width, height);
    if (rest != 0) {
      if (!ShearFits(int(width), int(height), format, double(rest) / 1000.0, antialias)) return false;
      const TShearBounds b = ShearRotatedBounds(int(width), int(height), double(rest) / 1000.0, antialias);
      width = b.Width;
      height = b.Height;
    }
  }
  return Fits(width, height, format);
}

void RotateBitmap(TPxBitmap& bitmap, double angle, bool antialias, uint8_t antialiasMode, TColorBGR background,
                  const TProgressHandler& progress) {
  if (!std::isfinite(angle) || angle == 0 || bitmap.IsEmpty()) return;
  const TPxBitmapFormat format = bitmap.Format();
  int64_t width = 0, height = 0;
  if (!RotatedBitmapSize(bitmap.Width(), bitmap.Height(), format, angle, antialias, antialiasMode, width, height))
    throw std::bad_alloc();
  // The alpha channel is turned first, with transparent new corners, by the
  // picture's own method so that the two keep matching pixel for pixel.
  std::unique_ptr<TPxBitmap> alpha;
  if (bitmap.HasAlphaChannel()) {
    alpha = std::make_unique<TPxBitmap>();
    if (!RotatePlane(*bitmap.AlphaChannel(), *alpha, format, angle, antialias, antialiasMode, TPxPixelBytes{}, {}))
      alpha.reset();
  }
  TPxBitmap result;
  if (!RotatePlane(bitmap, result, format, angle, antialias, antialiasMode, BackgroundPixel(bitmap, background),
                   progress))
    return;
  TakeOver(bitmap, result);
  if (alpha) {
    alpha->SetIsAlphaChannel(true);
    alpha->MoveStorageTo(*bitmap.AlphaChannel());
  }
}

void Mirror(TPxBitmap& bitmap, bool vertical) {
  MirrorPlane(bitmap, vertical);
  if (bitmap.HasAlphaChannel()) MirrorPlane(*bitmap.AlphaChannel(), vertical);
}

void ApplyOrientation(TPxBitmap& bitmap, int orientation) {
  constexpr TColorBGR black{};
  switch (orientation) {
    case 2:
      Mirror(bitmap, false);
      break;
    case 3:
      Mirror(bitmap, true);
      Mirror(bitmap, false);
      break;
    case 4:
      Mirror(bitmap, true);
      break;
    case 5:
      RotateBitmap(bitmap, -90, false, 0, black);
      Mirror(bitmap, false);
      break;
    case 6:
      RotateBitmap(bitmap, -90, false, 0, black);
      break;
    case 7:
      RotateBitmap(bitmap, 90, false, 0, black);
      Mirror(bitmap, false);
      break;
    case 8:
      RotateBitmap(bitmap, 90, false, 0, black);
      break;
    default:
      break;
  }
}

}  // namespace rv
