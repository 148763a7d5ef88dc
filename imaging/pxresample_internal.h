// Pieces shared by the resampling engines (the pxresample*.cpp files): the
// source rectangle and planes, the normalising arithmetic, the ring of work
// rows, dense tap tables and the strips of transposed source rows that the
// horizontal passes run on. Not for use outside those files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/pxresample.h"

// SSE2 (always there on x86-64) for the byte transposes and pmaddwd; every
// such path has a plain loop beside it, also built with REVIMORA_NO_SIMD.
#if defined(__SSE2__) && !defined(REVIMORA_NO_SIMD)
#define RV_SSE2 1
#include <emmintrin.h>
#endif

namespace rv::resample {

// The engines work on planes: one array per channel (3 for pxRGB24, 1 for a
// 1-bit or gray source), so every pass runs the same loop over contiguous
// samples whatever the format, and the compiler can vectorise those loops.

struct TRect {
  int x, y, w, h;
};

// Exact floor(s / n) for 0 <= s < 2^31, n > 0: (s + 0.5) / n lies at least
// 0.5 / n away from an integer, far more than the error of a double product.
inline int DivByInverse(int64_t s, double inverse) {
  return int((double(s) + 0.5) * inverse);
}

inline uint8_t ClampByte(int64_t v) {
  return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Sum of weighted samples divided by the sum of the weights, truncated toward
// zero and clamped to a byte.
inline uint8_t Normalise(int s, int total, double inverse) {
  if (total > 0) {
    if (s <= 0) return 0;
    const int q = DivByInverse(s, inverse);
    return uint8_t(q > 255 ? 255 : q);
  }
  if (total < 0) return ClampByte(s / total);
  // Weights that cancel out: the sum scaled back by 256, a negative sum being
  // no light at all.
  return s > 0 ? ClampByte(s >> 8) : 0;
}

// ---------------------------------------------------------------- row access

// How a source's samples become planes and how planes become a destination.
enum class TPlaneKind : uint8_t {
  BGR,   // pxRGB24: three planes blue, green, red
  Mono,  // pxMono1: one plane, 0 or 255
  Gray,  // pxGray8 (alpha channels): one plane
};

inline int PlaneCount(TPlaneKind kind) {
  return kind == TPlaneKind::BGR ? 3 : 1;
}

inline TPlaneKind KindOf(TPxBitmapFormat f) {
  return f == pxRGB24 ? TPlaneKind::BGR : f == pxMono1 ? TPlaneKind::Mono : TPlaneKind::Gray;
}

// Row `row` of the source, columns x .. x + w - 1, into planes of T.
template <typename T>
void LoadPlanes(TPxBitmap& source, TPlaneKind kind, int x, int row, int w, T* const* planes) {
  const uint8_t* s = source.RowPointer(row);
  switch (kind) {
    case TPlaneKind::BGR: {
      s += size_t(x) * 3;
      T* b = planes[0];
      T* g = planes[1];
      T* r = planes[2];
      for (int i = 0; i < w; ++i) {
        b[i] = s[3 * i];
        g[i] = s[3 * i + 1];
        r[i] = s[3 * i + 2];
      }
      break;
    }
    case TPlaneKind::Mono: {
      T* p = planes[0];
      for (int i = 0; i < w; ++i) {
        const int c = x + i;
        p[i] = (s[c >> 3] & (0x80 >> (c & 7))) ? 255 : 0;
      }
      break;
    }
    case TPlaneKind::Gray: {
      s += x;
      T* p = planes[0];
      for (int i = 0; i < w; ++i) p[i] = s[i];
      break;
    }
  }
}

// Destination row from planes: pxRGB24 from three planes, or from one plane
// written to all three channels (gray), or pxGray8 from one plane.
inline void StorePlanes(uint8_t* d, TPxBitmapFormat destFormat, int planeCount, const uint8_t* const* planes, int w) {
  if (destFormat == pxRGB24) {
    const uint8_t* b = planes[0];
    const uint8_t* g = planes[planeCount == 3 ? 1 : 0];
    const uint8_t* r = planes[planeCount == 3 ? 2 : 0];
    for (int i = 0; i < w; ++i) {
      d[3 * i] = b[i];
      d[3 * i + 1] = g[i];
      d[3 * i + 2] = r[i];
    }
  } else {
    std::memcpy(d, planes[0], size_t(w));
  }
}

// Destination row from an interleaved row of `planeCount` channels: copied,
// or one gray channel written to all three of an pxRGB24 destination.
inline void StoreRow(uint8_t* d, TPxBitmapFormat destFormat, int planeCount, const uint8_t* row, int w) {
  if (destFormat == pxRGB24 && planeCount == 1) {
    for (int i = 0; i < w; ++i) d[3 * i] = d[3 * i + 1] = d[3 * i + 2] = row[i];
  } else {
    std::memcpy(d, row, size_t(w) * size_t(planeCount));
  }
}

// A ring of work rows (each `width` samples of `planeCount` interleaved
// channels, as in the destination) computed on demand in increasing order. Rows needed by one output row always lie
// within the last `capacity` rows computed, because the callers size the ring to the widest window and ask for windows
// whose ends never go back.
class TWorkRing {
 public:
  TWorkRing(int planeCount, int width, int capacity)
      : planeCount_(planeCount),
        width_(width),
        capacity_(std::max(capacity, 1)),
        data_(size_t(planeCount) * size_t(width) * size_t(capacity_)) {}
  uint8_t* Row(int row) { return data_.data() + size_t(row % capacity_) * size_t(planeCount_) * size_t(width_); }
  int next = 0;  // next work row to compute

 private:
  int planeCount_;
  int width_;
  int capacity_;
  std::vector<uint8_t> data_;
};

// True when lo and hi never decrease, so a ring of the widest window serves.
inline bool WindowsAscend(const std::vector<int>& lo, const std::vector<int>& hi) {
  for (size_t i = 1; i < lo.size(); ++i)
    if (lo[i] < lo[i - 1] || hi[i] < hi[i - 1]) return false;
  return true;
}

inline int WidestWindow(const std::vector<int>& lo, const std::vector<int>& hi) {
  int n = 1;
  for (size_t i = 0; i < lo.size(); ++i) n = std::max(n, hi[i] - lo[i] + 1);
  return n;
}

// Whole-row steps of the vertical passes; the restrict qualifiers let the
// compiler vectorise without run-time overlap checks.
inline void AddWeightedRow(int* __restrict acc, const uint8_t* __restrict row, int weight, int n) {
  for (int x = 0; x < n; ++x) acc[x] += weight * int(row[x]);
}

// acc += w0 * row0 + w1 * row1 (pmaddwd on interleaved bytes where SSE2 is
// there; both weights must fit 16 bits).
inline void AddWeightedRowPair(int* __restrict acc, const uint8_t* __restrict row0, const uint8_t* __restrict row1,
                               int w0, int w1, int n) {
  int x = 0;
#if defined(RV_SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i wk = _mm_set1_epi32(int(uint32_t(uint16_t(w0)) | (uint32_t(uint16_t(w1)) << 16)));
  for (; x + 16 <= n; x += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + x));
    const __m128i lo = _mm_unpacklo_epi8(a, b), hi = _mm_unpackhi_epi8(a, b);
    __m128i* p = reinterpret_cast<__m128i*>(acc + x);
    _mm_storeu_si128(p, _mm_add_epi32(_mm_loadu_si128(p), _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), wk)));
    _mm_storeu_si128(p + 1, _mm_add_epi32(_mm_loadu_si128(p + 1), _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), wk)));
    _mm_storeu_si128(p + 2, _mm_add_epi32(_mm_loadu_si128(p + 2), _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), wk)));
    _mm_storeu_si128(p + 3, _mm_add_epi32(_mm_loadu_si128(p + 3), _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), wk)));
  }
#endif
  for (; x < n; ++x) acc[x] += w0 * int(row0[x]) + w1 * int(row1[x]);
}

inline void DivideRow(const int* __restrict sums, double inverse, uint8_t* __restrict out, int n) {
  for (int x = 0; x < n; ++x) out[x] = uint8_t(DivByInverse(sums[x], inverse));
}

// Contributor lists in a dense form: for destination index i the source
// samples lo[i] .. lo[i] + len[i] - 1 with weights w[off[i] ..]. Weights that
// fall on the same source sample (mirroring at the edges) are added, which
// changes neither the weighted sum nor the total. Every index gets the same
// number of taps, zero weights filling the shorter windows.
struct TDenseTaps {
  std::vector<int> lo, hi, len, off, total;
  std::vector<double> inverse;
  std::vector<int32_t> w;
  std::vector<int16_t> w16;  // the same weights when all fit 16 bits (the fast dot product)
  int maxLen = 0;
  bool boxes = false;  // every weight 0 or 1 and at most 257 taps
  // Every weighted sum of bytes stays below 2^24 and every total is at most
  // 4096: then (s + 0.5) / total, exact to 0.5 / total, is far from the next
  // integer compared with the error of single precision (2^-23 relative).
  bool floatExact = false;
  // For boxes: box sums s <= 255 n divided as (s * boxMultiplier) >> 16, when
  // that was checked to equal s div n for every s of every box.
  std::vector<uint16_t> boxMultiplier;
};

constexpr int kTapPad = 1;

TDenseTaps MakeDense(const std::vector<TContributorList>& lists);

// kStrip rows of the source rectangle, transposed: for each column and plane
// the samples of the kStrip rows lie side by side. The horizontal pass then
// adds whole columns of samples times one weight, a loop over the rows that
// the compiler vectorises, instead of one short dot product per output.
constexpr int kStrip = 16;

#if defined(RV_SSE2)
// 16 rows of 16 bytes from rows[r] + offset, transposed into 16 columns of 16
// bytes at out (four rounds of the perfect shuffle).
inline void Transpose16(const uint8_t* const* rows, size_t offset, uint8_t* out) {
  __m128i x[16], y[16];
  for (int r = 0; r < 16; ++r) x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + offset));
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 8; ++i) {
      y[2 * i] = _mm_unpacklo_epi8(x[i], x[i + 8]);
      y[2 * i + 1] = _mm_unpackhi_epi8(x[i], x[i + 8]);
    }
    for (int i = 0; i < 16; ++i) x[i] = y[i];
  }
  for (int j = 0; j < 16; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * j), x[j]);
}
#endif

class TStrips {
 public:
  TStrips(TPxBitmap& source, TPlaneKind kind, const TRect& r, int pad)
      : source_(source),
        kind_(kind),
        r_(r),
        planes_(PlaneCount(kind)),
        data_((size_t(r.w) + size_t(pad)) * size_t(planes_) * kStrip, 0),
        direct_(source.Location() != pxTempFile) {}

  // Rows first .. first + count - 1 of the rectangle (count <= kStrip).
  void Load(int first, int count) {
#if defined(RV_SSE2)
    // Rows of a file-backed picture are valid one at a time, so only pictures
    // in memory are read 16 rows at once.
    if (direct_ && kind_ != TPlaneKind::Mono) {
      const uint8_t* rows[kStrip];
      const size_t x0 = size_t(r_.x) * size_t(planes_);
      for (int r = 0; r < kStrip; ++r) rows[r] = source_.RowPointer(r_.y + first + std::min(r, count - 1)) + x0;
      const size_t n = size_t(r_.w) * size_t(planes_);
      size_t k = 0;
      for (; k + 16 <= n; k += 16) Transpose16(rows, k, data_.data() + k * kStrip);
      for (; k < n; ++k)
        for (int r = 0; r < kStrip; ++r) data_[k * kStrip + size_t(r)] = rows[r][k];
      return;
    }
#endif
    for (int r = 0; r < count; ++r) LoadRow(r, source_.RowPointer(r_.y + first + r));
  }
  // Samples of the strip's rows at column x of a plane; the next column of
  // the same plane is Step() further on.
  const uint8_t* Column(int plane, int x) const {
    return data_.data() + (size_t(x) * size_t(planes_) + size_t(plane)) * kStrip;
  }
  size_t Step() const {
    return size_t(planes_) * kStrip;
  }
  int Planes() const {
    return planes_;
  }

 private:
  void LoadRow(int r, const uint8_t* s) {
    uint8_t* d = data_.data() + r;
    if (kind_ == TPlaneKind::Mono) {
      for (int x = 0; x < r_.w; ++x) {
        const int c = r_.x + x;
        d[size_t(x) * kStrip] = (s[c >> 3] & (0x80 >> (c & 7))) ? 255 : 0;
      }
      return;
    }
    s += size_t(r_.x) * size_t(planes_);
    const size_t n = size_t(r_.w) * size_t(planes_);
    for (size_t k = 0; k < n; ++k) d[k * kStrip] = s[k];
  }

  TPxBitmap& source_;
  TPlaneKind kind_;
  TRect r_;
  int planes_;
  std::vector<uint8_t> data_;
  bool direct_;
};

// Outputs of a strip collected 16 columns at a time ([column][row]) and
// written to the work rows transposed, instead of one byte per row each.
class TStripOutput {
 public:
  TStripOutput(uint8_t* const* rows, int count) : rows_(rows), count_(count) {}
  uint8_t* Column(int i) { return block_ + 16 * (i & 15); }
  // Call after column i is filled.
  void Done(int i, int last) {
    if ((i & 15) != 15 && i != last) return;
    const int first = i & ~15, n = i - first + 1;
#if defined(RV_SSE2)
    if (n == 16) {
      alignas(64) uint8_t t[256];
      const uint8_t* in[16];
      for (int k = 0; k < 16; ++k) in[k] = block_ + 16 * k;
      Transpose16(in, 0, t);
      for (int r = 0; r < count_; ++r) std::memcpy(rows_[r] + first, t + 16 * r, 16);
      return;
    }
#endif
    for (int k = 0; k < n; ++k)
      for (int r = 0; r < count_; ++r) rows_[r][first + k] = block_[16 * k + r];
  }

 private:
  uint8_t* const* rows_;
  int count_;
  alignas(64) uint8_t block_[256];
};

// Horizontal pass of a dense tap table over a loaded strip into the work rows
// first .. first + count - 1.
void StripKernel(const TStrips& strips, const TDenseTaps& t, int dw, TWorkRing& work, int first, int count);

// ---------------------------------------------------------------- engines

// Kernel filters: horizontal then vertical pass over contributor tables.
void KernelResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, TResampleFilter filter,
                    const TProgressHandler& progress);
// rfFastLinear (and with alwaysInterpolate the 1-bit variant).
void FastLinearResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, bool alwaysInterpolate,
                        const TProgressHandler& progress);
// rfBilinear and rfBicubic on pxRGB24.
void AreaResample(TPxBitmap& source, const TRect& r, TPxBitmap& dest, bool bicubic, const TProgressHandler& progress);
// rfProjectBW / rfProjectWB into an pxMono1 destination.
void ProjectResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, bool whiteWins,
                     const TProgressHandler& progress);
// MonoBoxAverage with every block bound clamped into `bounds` instead of the
// whole picture, so that a rectangle is reduced as if it were the picture.
void MonoBoxAverageWithin(TPxBitmap& source, int left, int top, int right, int bottom, const TRect& bounds,
                          TPxBitmap& dest);
// rfNone, every format.
void NearestResample(TPxBitmap& source, const TRect& r, TPxBitmap& dest, const TProgressHandler& progress);

}  // namespace rv::resample
