#include "imaging/pxresample.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

// SSE2 (always there on x86-64) for the byte transposes and pmaddwd; every
// such path has a plain loop beside it, also built with REVIMORA_NO_SIMD.
#if defined(__SSE2__) && !defined(REVIMORA_NO_SIMD)
#define RV_SSE2 1
#include <emmintrin.h>
#endif

namespace rv {

namespace {

// The engines work on planes: one array per channel (3 for pxRGB24, 1 for a
// 1-bit or gray source), so every pass runs the same loop over contiguous
// samples whatever the format, and the compiler can vectorise those loops.

constexpr const char* kFilterNames[kResampleFilterCount] = {
    "rfNone",    "rfTriangle", "rfHermite",    "rfBell",     "rfBSpline", "rfLanczos3",  "rfMitchell",
    "rfNearest", "rfLinear",   "rfFastLinear", "rfBilinear", "rfBicubic", "rfProjectBW", "rfProjectWB"};

struct TRect {
  int x, y, w, h;
};

bool ClipToSource(TPxBitmap& source, TRect& r) {
  const int64_t W = source.Width(), H = source.Height();
  int64_t x = r.x, y = r.y, w = r.w, h = r.h;
  if (x < 0) w += x, x = 0;
  if (y < 0) h += y, y = 0;
  if (x + w > W) w = W - x;
  if (y + h > H) h = H - y;
  if (w <= 0 || h <= 0) return false;
  r = TRect{int(x), int(y), int(w), int(h)};
  return true;
}

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

int PlaneCount(TPlaneKind kind) {
  return kind == TPlaneKind::BGR ? 3 : 1;
}

TPlaneKind KindOf(TPxBitmapFormat f) {
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
void StorePlanes(uint8_t* d, TPxBitmapFormat destFormat, int planeCount, const uint8_t* const* planes, int w) {
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
void StoreRow(uint8_t* d, TPxBitmapFormat destFormat, int planeCount, const uint8_t* row, int w) {
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
bool WindowsAscend(const std::vector<int>& lo, const std::vector<int>& hi) {
  for (size_t i = 1; i < lo.size(); ++i)
    if (lo[i] < lo[i - 1] || hi[i] < hi[i - 1]) return false;
  return true;
}

int WidestWindow(const std::vector<int>& lo, const std::vector<int>& hi) {
  int n = 1;
  for (size_t i = 0; i < lo.size(); ++i) n = std::max(n, hi[i] - lo[i] + 1);
  return n;
}

// Whole-row steps of the vertical passes; the restrict qualifiers let the
// compiler vectorise without run-time overlap checks.
void AddWeightedRow(int* __restrict acc, const uint8_t* __restrict row, int weight, int n) {
  for (int x = 0; x < n; ++x) acc[x] += weight * int(row[x]);
}

// acc += w0 * row0 + w1 * row1 (pmaddwd on interleaved bytes where SSE2 is
// there; both weights must fit 16 bits).
void AddWeightedRowPair(int* __restrict acc, const uint8_t* __restrict row0, const uint8_t* __restrict row1, int w0,
                        int w1, int n) {
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

void DivideRow(const int* __restrict sums, double inverse, uint8_t* __restrict out, int n) {
  for (int x = 0; x < n; ++x) out[x] = uint8_t(DivByInverse(sums[x], inverse));
}

// ---------------------------------------------------------------- kernels

long double KernelValue(TResampleFilter filter, long double x) {
  const long double a = std::fabs(x);
  switch (filter) {
    case rfTriangle:
    case rfLinear:
      return a < 1 ? 1 - a : 0;
    case rfHermite:
      return a < 1 ? (2 * a - 3) * a * a + 1 : 0;
    case rfBell:
      if (a < 0.5L) return 0.75L - a * a;
      if (a < 1.5L) return 0.5L * (a - 1.5L) * (a - 1.5L);
      return 0;
    case rfBSpline:
      if (a < 1) return 0.5L * a * a * a - a * a + 2.0L / 3.0L;
      if (a < 2) return (2 - a) * (2 - a) * (2 - a) / 6;
      return 0;
    case rfLanczos3: {
      if (a >= 3) return 0;
      auto sinc = [](long double t) {
        if (t == 0) return 1.0L;
        const long double pt = 3.14159265358979323846264338327950288L * t;
        return std::sin(pt) / pt;
      };
      return sinc(x) * sinc(x / 3);
    }
    case rfMitchell:
      if (a < 1) return (7 * a * a * a - 12 * a * a + 16.0L / 3.0L) / 6;
      if (a < 2) return (-(7.0L / 3.0L) * a * a * a + 12 * a * a - 20 * a + 32.0L / 3.0L) / 6;
      return 0;
    case rfNearest:
      return (x > -0.5L && x <= 0.5L) ? 1 : 0;
    default:
      return 0;
  }
}

int MirrorIndex(int j, int length) {
  if (j < 0)
    j = -j;
  else if (j >= length)
    j = 2 * length - 1 - j;
  return std::clamp(j, 0, length - 1);
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

TDenseTaps MakeDense(const std::vector<TContributorList>& lists) {
  TDenseTaps t;
  const size_t n = lists.size();
  t.lo.resize(n);
  t.hi.resize(n);
  t.len.resize(n);
  t.off.resize(n);
  t.total.resize(n);
  t.inverse.resize(n);
  // Every index gets the same (padded) number of taps: loops of one length
  // keep the branch predictor right, which matters more than the extra zeros.
  int span = 1;
  for (const TContributorList& l : lists) {
    if (l.empty()) continue;
    const auto [mn, mx] = std::minmax_element(l.begin(), l.end(), [](auto& a, auto& b) { return a.pixel < b.pixel; });
    span = std::max(span, mx->pixel - mn->pixel + 1);
  }
  const int len = (span + kTapPad - 1) / kTapPad * kTapPad;
  for (size_t i = 0; i < n; ++i) {
    int lo = INT32_MAX, hi = INT32_MIN, total = 0;
    for (const TContributor& c : lists[i]) {
      lo = std::min(lo, c.pixel);
      hi = std::max(hi, c.pixel);
      total += c.weight;
    }
    if (lists[i].empty()) lo = hi = 0;
    t.lo[i] = lo;
    t.hi[i] = hi;
    t.len[i] = len;
    t.off[i] = int(t.w.size());
    t.total[i] = total;
    t.inverse[i] = total != 0 ? 1.0 / total : 0.0;
    t.w.resize(t.w.size() + size_t(len), 0);
    for (const TContributor& c : lists[i]) t.w[size_t(t.off[i] + c.pixel - lo)] += c.weight;
    t.maxLen = std::max(t.maxLen, len);
  }
  // Strong reductions pile many mirrored weights onto the edge samples.
  if (std::all_of(t.w.begin(), t.w.end(), [](int32_t v) { return v >= INT16_MIN && v <= INT16_MAX; }))
    t.w16.assign(t.w.begin(), t.w.end());
  bool small = true;
  for (size_t i = 0; i < n && small; ++i) {
    int64_t absSum = 0;
    for (int k = 0; k < t.len[i]; ++k) absSum += std::abs(t.w[size_t(t.off[i] + k)]);
    small = absSum * 255 < (int64_t(1) << 24) && t.total[i] <= 4096;
  }
  t.floatExact = small;
  t.boxes = !t.w16.empty() && t.maxLen <= 257 &&
            std::all_of(t.w.begin(), t.w.end(), [](int32_t v) { return v == 0 || v == 1; });
  if (t.boxes) {
    // Checked once per box length (lengths 2 .. 16 pass, longer ones fail).
    int checked[258];
    std::fill(std::begin(checked), std::end(checked), -1);
    t.boxMultiplier.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t boxLen = uint32_t(t.total[i]);
      const uint32_t m = boxLen >= 2 ? (65536 + boxLen - 1) / boxLen : 0;
      if (boxLen > 257) checked[0] = 0;
      int& ok = checked[boxLen > 257 ? 0 : boxLen];
      if (ok < 0) {
        bool exact = m != 0 && m < 65536;
        for (uint32_t v = 0; v <= 255 * boxLen && exact; ++v) exact = ((v * m) >> 16) == v / boxLen;
        ok = exact;
      }
      if (!ok) {
        t.boxMultiplier.clear();
        break;
      }
      t.boxMultiplier[i] = uint16_t(m);
    }
  }
  return t;
}

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

// Horizontal taps of one plane of a strip into the strip's work rows. The
// lane count is a run-time value on purpose: with a constant the compiler
// unrolls the row loop and vectorises across taps instead, which is slower.
template <typename W>
void StripTaps(const TStrips& strips, const TDenseTaps& t, const W* weights, int dw, uint8_t* const* rows, int count) {
  const int planes = strips.Planes(), outputs = dw * planes;
  const int lanes = (count + 7) & ~7;
  const size_t step = strips.Step();
  alignas(64) int32_t acc[kStrip];
  TStripOutput output(rows, count);
  for (int o = 0, i = 0, plane = 0; o < outputs; ++o) {
    for (int r = 0; r < lanes; ++r) acc[r] = 0;
    const W* w = weights + t.off[size_t(i)];
    const uint8_t* col = strips.Column(plane, t.lo[size_t(i)]);
    const int len = t.len[size_t(i)];
    for (int k = 0; k < len; ++k, col += step) {
      const W wk = w[k];
      for (int r = 0; r < lanes; ++r) acc[r] += wk * col[r];
    }
    const int total = t.total[size_t(i)];
    uint8_t* out = output.Column(o);
    if (total > 0 && t.floatExact) {
      // Exact in single precision here (see TDenseTaps::floatExact).
      const float inverse = float(t.inverse[size_t(i)]);
      for (int r = 0; r < lanes; ++r)
        out[r] = uint8_t(int(std::min(std::max(float(acc[r]) + 0.5f, 0.0f) * inverse, 255.0f)));
    } else if (total > 0) {
      const double inverse = t.inverse[size_t(i)];
      for (int r = 0; r < lanes; ++r) out[r] = uint8_t(int(std::min(std::max(acc[r] + 0.5, 0.0) * inverse, 255.0)));
    } else {
      for (int r = 0; r < lanes; ++r) out[r] = Normalise(acc[r], total, t.inverse[size_t(i)]);
    }
    output.Done(o, outputs - 1);
    if (++plane == planes) plane = 0, ++i;
  }
}

#if defined(RV_SSE2)
// StripTaps for 16-bit weights with pmaddwd: the bytes of two neighbouring
// taps are interleaved so one instruction does both taps for four rows. The
// sums are the same integers as the plain loop's.
void StripTapsPairs(const TStrips& strips, const TDenseTaps& t, int dw, uint8_t* const* rows, int count) {
  const int planes = strips.Planes(), outputs = dw * planes;
  const size_t step = strips.Step();
  const __m128i zero = _mm_setzero_si128();
  TStripOutput output(rows, count);
  alignas(16) int32_t sums[kStrip];
  for (int o = 0, i = 0, plane = 0; o < outputs; ++o) {
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;  // rows 0-3, 4-7, 8-11, 12-15
    const int16_t* w = &t.w16[size_t(t.off[size_t(i)])];
    const uint8_t* col = strips.Column(plane, t.lo[size_t(i)]);
    const int len = t.len[size_t(i)];
    for (int k = 0; k < len; k += 2, col += 2 * step) {
      const bool pair = k + 1 < len;
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(col));
      const __m128i b = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(col + step)) : zero;
      const uint32_t w1 = pair ? uint16_t(w[k + 1]) : 0u;
      const __m128i wk = _mm_set1_epi32(int(uint32_t(uint16_t(w[k])) | (w1 << 16)));
      const __m128i lo = _mm_unpacklo_epi8(a, b);
      const __m128i hi = _mm_unpackhi_epi8(a, b);
      acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), wk));
      acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), wk));
      acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), wk));
      acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), wk));
    }
    const int total = t.total[size_t(i)];
    uint8_t* out = output.Column(o);
    if (total > 0 && t.floatExact) {
      const __m128 inverse = _mm_set1_ps(float(t.inverse[size_t(i)]));
      const __m128 half = _mm_set1_ps(0.5f), top = _mm_set1_ps(255.0f), none = _mm_setzero_ps();
      auto q = [&](__m128i v) {
        const __m128 f = _mm_mul_ps(_mm_max_ps(_mm_add_ps(_mm_cvtepi32_ps(v), half), none), inverse);
        return _mm_cvttps_epi32(_mm_min_ps(f, top));
      };
      const __m128i q01 = _mm_packs_epi32(q(acc0), q(acc1));
      const __m128i q23 = _mm_packs_epi32(q(acc2), q(acc3));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(q01, q23));
    } else {
      _mm_store_si128(reinterpret_cast<__m128i*>(sums), acc0);
      _mm_store_si128(reinterpret_cast<__m128i*>(sums + 4), acc1);
      _mm_store_si128(reinterpret_cast<__m128i*>(sums + 8), acc2);
      _mm_store_si128(reinterpret_cast<__m128i*>(sums + 12), acc3);
      for (int r = 0; r < kStrip; ++r) out[r] = Normalise(sums[r], total, t.inverse[size_t(i)]);
    }
    output.Done(o, outputs - 1);
    if (++plane == planes) plane = 0, ++i;
  }
}
#endif

#if !defined(RV_SSE2)
// Boxes (weights 0 or 1, at most 257 of them): 16-bit sums cannot overflow,
// masking replaces the multiplication, and (s + 0.5) / n in single precision
// is exact because s < 65536 and n <= 257.
void StripBoxes(const TStrips& strips, const TDenseTaps& t, int dw, uint8_t* const* rows, int count) {
  const int planes = strips.Planes(), outputs = dw * planes;
  const int lanes = (count + 7) & ~7;
  const size_t step = strips.Step();
  alignas(64) uint16_t acc[kStrip];
  TStripOutput output(rows, count);
  for (int o = 0, i = 0, plane = 0; o < outputs; ++o) {
    for (int r = 0; r < lanes; ++r) acc[r] = 0;
    const int16_t* w = &t.w16[size_t(t.off[size_t(i)])];
    const uint8_t* col = strips.Column(plane, t.lo[size_t(i)]);
    const int len = t.len[size_t(i)];
    for (int k = 0; k < len; ++k, col += step) {
      const uint8_t mask = uint8_t(-w[k]);
      for (int r = 0; r < lanes; ++r) acc[r] = uint16_t(acc[r] + (col[r] & mask));
    }
    const float inverse = float(t.inverse[size_t(i)]);
    uint8_t* out = output.Column(o);
    for (int r = 0; r < lanes; ++r) out[r] = uint8_t(int((float(acc[r]) + 0.5f) * inverse));
    output.Done(o, outputs - 1);
    if (++plane == planes) plane = 0, ++i;
  }
}

#endif

#if defined(RV_SSE2)
// StripBoxes with the 16 sums held in two registers: through memory every tap
// would wait for the previous tap's store.
void StripBoxesSSE2(const TStrips& strips, const TDenseTaps& t, int dw, uint8_t* const* rows, int count) {
  const int planes = strips.Planes(), outputs = dw * planes;
  const size_t step = strips.Step();
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  const bool multiply = !t.boxMultiplier.empty();
  TStripOutput output(rows, count);
  for (int o = 0, i = 0, plane = 0; o < outputs; ++o) {
    __m128i s0 = zero, s1 = zero;
    const int16_t* w = &t.w16[size_t(t.off[size_t(i)])];
    const uint8_t* col = strips.Column(plane, t.lo[size_t(i)]);
    const int len = t.len[size_t(i)];
    for (int k = 0; k < len; ++k, col += step) {
      const __m128i a =
          _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(col)), _mm_set1_epi8(char(-w[k])));
      s0 = _mm_add_epi16(s0, _mm_unpacklo_epi8(a, zero));
      s1 = _mm_add_epi16(s1, _mm_unpackhi_epi8(a, zero));
    }
    __m128i q0, q1;
    if (multiply) {
      // Small boxes: one high multiplication per eight sums (checked exact).
      const __m128i m = _mm_set1_epi16(short(t.boxMultiplier[size_t(i)]));
      q0 = _mm_mulhi_epu16(s0, m);
      q1 = _mm_mulhi_epu16(s1, m);
    } else {
      const __m128 inverse = _mm_set1_ps(float(t.inverse[size_t(i)]));
      auto q = [&](__m128i v) { return _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(v), half), inverse)); };
      q0 = _mm_packs_epi32(q(_mm_unpacklo_epi16(s0, zero)), q(_mm_unpackhi_epi16(s0, zero)));
      q1 = _mm_packs_epi32(q(_mm_unpacklo_epi16(s1, zero)), q(_mm_unpackhi_epi16(s1, zero)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(output.Column(o)), _mm_packus_epi16(q0, q1));
    output.Done(o, outputs - 1);
    if (++plane == planes) plane = 0, ++i;
  }
}
#endif

void StripKernel(const TStrips& strips, const TDenseTaps& t, int dw, TWorkRing& work, int first, int count) {
  uint8_t* rows[kStrip];
  for (int r = 0; r < count; ++r) rows[r] = work.Row(first + r);
#if defined(RV_SSE2)
  if (t.boxes)
    StripBoxesSSE2(strips, t, dw, rows, count);
  else if (!t.w16.empty())
    StripTapsPairs(strips, t, dw, rows, count);
#else
  if (t.boxes)
    StripBoxes(strips, t, dw, rows, count);
  else if (!t.w16.empty())
    StripTaps(strips, t, t.w16.data(), dw, rows, count);
#endif
  else
    StripTaps(strips, t, t.w.data(), dw, rows, count);
}

// Writes the single pixel of a 1 x 1 source into every pixel of Dest.
void FillFromSinglePixel(TPxBitmap& source, TPlaneKind kind, int x, int y, TPxBitmap& dest) {
  const int n = PlaneCount(kind);
  int16_t v[3] = {0, 0, 0};
  int16_t* pv[3] = {&v[0], &v[1], &v[2]};
  LoadPlanes<int16_t>(source, kind, x, y, 1, pv);
  const int dw = dest.Width(), dh = dest.Height();
  std::vector<uint8_t> planes(size_t(n) * size_t(dw));
  const uint8_t* pp[3];
  for (int c = 0; c < n; ++c) {
    std::fill_n(planes.data() + size_t(c) * size_t(dw), dw, uint8_t(v[c]));
    pp[c] = planes.data() + size_t(c) * size_t(dw);
  }
  const TPxBitmapFormat df = dest.Format();
  for (int j = 0; j < dh; ++j) StorePlanes(dest.RowPointer(j), df, n, pp, dw);
}

// The contributor resampler: horizontal pass into work rows, vertical pass
// accumulating whole work rows into each destination row. Each output value
// depends only on its own column's (row's) contributors, so computing the
// vertical pass row by row gives the same values as going column by column.
void KernelResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, TResampleFilter filter,
                    const TProgressHandler& progress) {
  const int dw = dest.Width(), dh = dest.Height();
  if (r.w == 1 && r.h == 1) {
    FillFromSinglePixel(source, kind, r.x, r.y, dest);
    return;
  }
  const int n = PlaneCount(kind);
  const TDenseTaps ht = MakeDense(BuildContributors(r.w, dw, filter));
  const TDenseTaps vt = MakeDense(BuildContributors(r.h, dh, filter));

  // Padded so the zero-weight tail of the last window is readable.
  TStrips strips(source, kind, r, ht.maxLen + kTapPad);
  const bool ring = WindowsAscend(vt.lo, vt.hi);
  TWorkRing work(n, dw, (ring ? WidestWindow(vt.lo, vt.hi) : r.h) + kStrip);
  const int samples = n * dw;
  std::vector<int> acc(static_cast<size_t>(samples));
  std::vector<uint8_t> out(static_cast<size_t>(samples));
  const TPxBitmapFormat df = dest.Format();
  const double progressScale = 100.0 / (r.h + dw + 0.5);

  const bool narrow = !vt.w16.empty();
  for (int j = 0; j < dh; ++j) {
    for (; work.next <= vt.hi[size_t(j)]; work.next += kStrip) {
      const int count = std::min(kStrip, r.h - work.next);
      strips.Load(work.next, count);
      StripKernel(strips, ht, dw, work, work.next, count);
    }
    const int lo = vt.lo[size_t(j)];
    const int32_t* wj = &vt.w[size_t(vt.off[size_t(j)])];
    const int taps = vt.hi[size_t(j)] - lo + 1;
    int* a = acc.data();
    std::fill(acc.begin(), acc.end(), 0);
    for (int k = 0; k < taps; k += 2) {
      const int w0 = wj[k], w1 = k + 1 < taps ? wj[k + 1] : 0;
      const uint8_t* row0 = work.Row(lo + k);
      const uint8_t* row1 = k + 1 < taps ? work.Row(lo + k + 1) : row0;
      if (narrow) {
        AddWeightedRowPair(a, row0, row1, w0, w1, samples);
      } else {
        AddWeightedRow(a, row0, w0, samples);
        if (w1) AddWeightedRow(a, row1, w1, samples);
      }
    }
    uint8_t* o = out.data();
    const int total = vt.total[size_t(j)];
    const double inverse = vt.inverse[size_t(j)];
    if (total > 0) {
      // Normalise without branches: a non-positive sum gives 0, and
      // (s + 0.5) / total truncates exactly as the integer division would.
      for (int x = 0; x < samples; ++x) o[x] = uint8_t(std::min(std::max(a[x] + 0.5, 0.0) * inverse, 255.0));
    } else {
      for (int x = 0; x < samples; ++x) o[x] = Normalise(a[x], total, inverse);
    }
    StoreRow(dest.RowPointer(j), df, n, o, dw);
    if (progress) progress(int((work.next + double(j + 1) * dw / dh) * progressScale));
  }
}

// ---------------------------------------------------------------- fast linear

struct TLinearAxis {
  std::vector<int> left, right, frac;
  bool interpolate = false;
};

// Column (row) tables of fast linear for D destination samples from S source
// samples. Interpolation when enlarging (or always, for the 1-bit variant),
// else a box from left to right inclusive.
TLinearAxis MakeLinearAxis(int S, int D, bool alwaysInterpolate, bool boxEpsilon) {
  TLinearAxis a;
  const double s = double(D) / double(S);
  a.interpolate = alwaysInterpolate || s > 1;
  a.left.resize(size_t(D));
  a.right.resize(size_t(D));
  a.frac.resize(size_t(D));
  for (int i = 0; i < D; ++i) {
    const double f = i / s;
    const int left = std::min(int(f), S - 1);
    a.left[size_t(i)] = left;
    a.frac[size_t(i)] = int((f - left) * 131072);
    const double end = std::min(i + 1, D - 1) / s + (boxEpsilon ? 0.0000000001 : 0.0);
    a.right[size_t(i)] = std::clamp(int(end), left, S - 1);
  }
  return a;
}

// a + Floor((b - a) x frac / 131072), the product being at most 2^25.
inline uint8_t Lerp17(int a, int b, int frac) {
  return uint8_t(a + (((b - a) * frac) >> 17));
}

void StripLerp(const TStrips& strips, int S, const TLinearAxis& ax, int dw, TWorkRing& work, int first, int count) {
  const int lanes = (count + 7) & ~7;
  const int planes = strips.Planes(), outputs = dw * planes;
  uint8_t* rows[kStrip];
  for (int r = 0; r < count; ++r) rows[r] = work.Row(first + r);
  TStripOutput output(rows, count);
  for (int o = 0, i = 0, c = 0; o < outputs; ++o) {
    const int l = ax.left[size_t(i)];
    const uint8_t* a = strips.Column(c, l);
    const uint8_t* b = strips.Column(c, std::min(l + 1, S - 1));
    const int frac = ax.frac[size_t(i)];
    uint8_t* out = output.Column(o);
    for (int r = 0; r < lanes; ++r) out[r] = uint8_t(a[r] + (((b[r] - a[r]) * frac) >> 17));
    output.Done(o, outputs - 1);
    if (++c == planes) c = 0, ++i;
  }
}

std::vector<double> BoxInverses(const TLinearAxis& ax) {
  std::vector<double> inv(ax.left.size());
  for (size_t i = 0; i < inv.size(); ++i) inv[i] = 1.0 / (ax.right[i] - ax.left[i] + 1);
  return inv;
}

void CopyRect(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest) {
  const int n = PlaneCount(kind);
  std::vector<uint8_t> planes(size_t(n) * size_t(r.w));
  uint8_t* pp[3];
  const uint8_t* cp[3];
  for (int c = 0; c < n; ++c) cp[c] = pp[c] = planes.data() + size_t(c) * size_t(r.w);
  const TPxBitmapFormat df = dest.Format();
  for (int j = 0; j < r.h; ++j) {
    LoadPlanes(source, kind, r.x, r.y + j, r.w, pp);
    StorePlanes(dest.RowPointer(j), df, n, cp, r.w);
  }
}

// rfFastLinear (interpolating when enlarging, box average when reducing), and
// with alwaysInterpolate the 1-bit variant that interpolates on both axes.
void FastLinearResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, bool alwaysInterpolate,
                        const TProgressHandler& progress) {
  const int dw = dest.Width(), dh = dest.Height();
  if (dw == r.w && dh == r.h) {
    CopyRect(source, kind, r, dest);
    return;
  }
  const int n = PlaneCount(kind);
  const TLinearAxis hx = MakeLinearAxis(r.w, dw, alwaysInterpolate, true);
  const TLinearAxis vy = MakeLinearAxis(r.h, dh, alwaysInterpolate, false);
  const std::vector<double> vinv = BoxInverses(vy);
  // The horizontal boxes as taps of weight 1, so they run through the same
  // dot product as the kernels.
  TDenseTaps boxes;
  if (!hx.interpolate) {
    std::vector<TContributorList> lists(static_cast<size_t>(dw));
    for (int i = 0; i < dw; ++i)
      for (int k = hx.left[size_t(i)]; k <= hx.right[size_t(i)]; ++k) lists[size_t(i)].push_back({k, 1});
    boxes = MakeDense(lists);
  }

  // Work rows needed by destination row j.
  std::vector<int> lo(static_cast<size_t>(dh)), hi(static_cast<size_t>(dh));
  for (int j = 0; j < dh; ++j) {
    lo[size_t(j)] = vy.left[size_t(j)];
    hi[size_t(j)] = vy.interpolate ? std::min(vy.left[size_t(j)] + 1, r.h - 1) : vy.right[size_t(j)];
  }
  const bool ring = WindowsAscend(lo, hi);
  TWorkRing work(n, dw, (ring ? WidestWindow(lo, hi) : r.h) + kStrip);
  TStrips strips(source, kind, r, boxes.maxLen + kTapPad);
  const int samples = n * dw;
  std::vector<int> acc(static_cast<size_t>(samples));
  std::vector<uint8_t> out(static_cast<size_t>(samples));
  const TPxBitmapFormat df = dest.Format();
  const double progressScale = 100.0 / (r.h + dh + 0.5);

  for (int j = 0; j < dh; ++j) {
    for (; work.next <= hi[size_t(j)]; work.next += kStrip) {
      const int count = std::min(kStrip, r.h - work.next);
      strips.Load(work.next, count);
      if (hx.interpolate)
        StripLerp(strips, r.w, hx, dw, work, work.next, count);
      else
        StripKernel(strips, boxes, dw, work, work.next, count);
    }
    uint8_t* o = out.data();
    if (vy.interpolate) {
      const uint8_t* a = work.Row(lo[size_t(j)]);
      const uint8_t* b = work.Row(hi[size_t(j)]);
      const int frac = vy.frac[size_t(j)];
      for (int x = 0; x < samples; ++x) o[x] = Lerp17(a[x], b[x], frac);
    } else {
      int* s = acc.data();
      std::fill(acc.begin(), acc.end(), 0);
      for (int k = lo[size_t(j)]; k <= hi[size_t(j)]; k += 2) {
        const bool pair = k + 1 <= hi[size_t(j)];
        const uint8_t* row = work.Row(k);
        AddWeightedRowPair(s, row, pair ? work.Row(k + 1) : row, 1, pair ? 1 : 0, samples);
      }
      DivideRow(s, vinv[size_t(j)], o, samples);
    }
    StoreRow(dest.RowPointer(j), df, n, o, dw);
    if (progress) progress(int((work.next + j + 1) * progressScale));
  }
}

// ---------------------------------------------------------------- area interpolation

// One piece of an axis cut at every source and destination boundary.
struct TPiece {
  int src;     // source index
  int dst;     // destination index
  double len;  // length in source units
  double end;  // offset of the piece's end inside its source pixel, (0, 1]
};

std::vector<TPiece> CutAxis(int S, int D) {
  const double g = double(S) / double(D);
  std::vector<TPiece> pieces;
  pieces.reserve(size_t(S) + size_t(D) + 2);
  double pos = 0;
  int s = 0, d = 0;
  while (s < S && d < D) {
    const double srcEnd = s + 1.0;
    const double dstEnd = (d + 1) * g;
    double end = std::min(srcEnd, dstEnd);
    const bool srcDone = srcEnd - end < 0.0001;
    const bool dstDone = dstEnd - end < 0.0001;
    if (srcDone) end = srcEnd;
    TPiece p{s, d, end - pos, srcDone ? 1.0 : end - s};
    if (p.len > 0) pieces.push_back(p);
    pos = end;
    if (srcDone) ++s;
    if (dstDone) ++d;
  }
  return pieces;
}

// Trunc, except that a value within rounding error of a whole number is that
// number: the cubic weights sum to 1 only up to rounding, and a flat picture
// must stay flat.
double TruncNearInteger(double v) {
  const double r = std::nearbyint(v);
  return std::fabs(v - r) < 1e-9 ? r : std::trunc(v);
}

double CubicWeight(double t) {
  t = std::fabs(t);
  if (t <= 1) return t * t * t - 2 * t * t + 1;
  if (t <= 2) return -t * t * t + 5 * t * t - 8 * t + 4;
  return 0;
}

// rfBilinear and rfBicubic on pxRGB24: the area-weighted mean of the source
// over each destination pixel, the source interpolated along enlarged axes.
void AreaResample(TPxBitmap& source, const TRect& r, TPxBitmap& dest, bool bicubic, const TProgressHandler& progress) {
  const int dw = dest.Width(), dh = dest.Height();
  const double g = double(r.w) / dw, h = double(r.h) / dh;
  const bool ix = g < 1, iy = h < 1;
  const std::vector<TPiece> hp = CutAxis(r.w, dw);
  const std::vector<TPiece> vp = CutAxis(r.h, dh);

  // Four source rows y - 1 .. y + 2 (edges repeated), as planes of doubles.
  const int W = r.w;
  std::vector<double> rows(size_t(4) * 3 * size_t(W));
  int loaded[4] = {-1, -1, -1, -1};
  std::vector<uint8_t> raw(size_t(3) * size_t(W));
  auto rowPlane = [&](int y, int c) -> const double* {
    y = std::clamp(y, 0, r.h - 1);
    const int slot = y & 3;
    double* base = rows.data() + size_t(slot) * 3 * size_t(W);
    if (loaded[slot] != y) {
      uint8_t* pp[3] = {raw.data(), raw.data() + W, raw.data() + 2 * size_t(W)};
      LoadPlanes(source, TPlaneKind::BGR, r.x, r.y + y, W, pp);
      for (int k = 0; k < 3; ++k)
        for (int x = 0; x < W; ++x) base[size_t(k) * size_t(W) + size_t(x)] = raw[size_t(k) * size_t(W) + size_t(x)];
      loaded[slot] = y;
    }
    return base + size_t(c) * size_t(W);
  };
  // Horizontal value of one piece on one source row.
  auto hvalue = [&](const double* p, const TPiece& q) -> double {
    const int x = q.src;
    if (!ix) return p[x];
    const double P = q.end;
    if (!bicubic) return (1 - P) * p[x] + P * p[std::min(x + 1, W - 1)];
    double v = 0;
    for (int k = -1; k <= 2; ++k) v += CubicWeight(k - P) * p[std::clamp(x + k, 0, W - 1)];
    return TruncNearInteger(v);
  };

  std::vector<double> acc(size_t(3) * size_t(dw), 0.0);
  std::vector<uint8_t> out(size_t(3) * size_t(dw));
  const uint8_t* op[3] = {out.data(), out.data() + dw, out.data() + 2 * size_t(dw)};
  const TPxBitmapFormat df = dest.Format();
  const double area = g * h;
  auto finishRow = [&](int j) {
    // A tiny allowance keeps a constant picture constant despite the rounding
    // of the piece lengths; it cannot lift a true value to the next integer.
    for (size_t k = 0; k < acc.size(); ++k) out[k] = ClampByte(int64_t(acc[k] / area + 1e-7));
    StorePlanes(dest.RowPointer(j), df, 3, op, dw);
    std::fill(acc.begin(), acc.end(), 0.0);
    if (progress) progress(int((j + 1.0) / dh * 100));
  };
  if (!ix && !iy) {
    // Plain area averaging: every piece is one source pixel times its area,
    // read straight from the source row.
    for (size_t vi = 0; vi < vp.size(); ++vi) {
      const TPiece& v = vp[vi];
      const uint8_t* s = source.RowPointer(r.y + v.src) + size_t(r.x) * 3;
      double* a0 = acc.data();
      double* a1 = a0 + dw;
      double* a2 = a1 + dw;
      for (const TPiece& q : hp) {
        const double w = q.len * v.len;
        const uint8_t* p = s + 3 * size_t(q.src);
        a0[q.dst] += w * p[0];
        a1[q.dst] += w * p[1];
        a2[q.dst] += w * p[2];
      }
      if (vi + 1 == vp.size() || vp[vi + 1].dst != v.dst) finishRow(v.dst);
    }
    return;
  }
  for (size_t vi = 0; vi < vp.size(); ++vi) {
    const TPiece& v = vp[vi];
    const int y = v.src;
    const double O = v.end;
    for (int c = 0; c < 3; ++c) {
      double* a = acc.data() + size_t(c) * size_t(dw);
      if (!iy) {
        const double* p = rowPlane(y, c);
        for (const TPiece& q : hp) {
          double s = hvalue(p, q);
          if (bicubic) s = std::clamp(s, 0.0, 255.0);
          a[q.dst] += q.len * v.len * s;
        }
      } else if (!bicubic) {
        const double* p0 = rowPlane(y, c);
        const double* p1 = rowPlane(y + 1, c);
        for (const TPiece& q : hp) a[q.dst] += q.len * v.len * ((1 - O) * hvalue(p0, q) + O * hvalue(p1, q));
      } else {
        const double* pr[4] = {rowPlane(y - 1, c), rowPlane(y, c), rowPlane(y + 1, c), rowPlane(y + 2, c)};
        const double wv[4] = {CubicWeight(-1 - O), CubicWeight(-O), CubicWeight(1 - O), CubicWeight(2 - O)};
        for (const TPiece& q : hp) {
          double s = 0;
          for (int k = 0; k < 4; ++k) s += wv[k] * hvalue(pr[k], q);
          a[q.dst] += q.len * v.len * std::clamp(s, 0.0, 255.0);
        }
      }
    }
    if (vi + 1 == vp.size() || vp[vi + 1].dst != v.dst) finishRow(v.dst);
  }
}

// ---------------------------------------------------------------- projection

// rfProjectBW / rfProjectWB into an pxMono1 destination: a destination pixel
// takes the "ink" colour when any source pixel of its block has it.
void ProjectResample(TPxBitmap& source, TPlaneKind kind, const TRect& r, TPxBitmap& dest, bool whiteWins,
                     const TProgressHandler& progress) {
  const int dw = dest.Width(), dh = dest.Height();
  const double fx = double(r.w) / dw, fy = double(r.h) / dh;
  std::vector<int> xm(static_cast<size_t>(dw));
  for (int k = 0; k < dw; ++k) xm[size_t(k)] = std::min(int(fx * k), r.w - 1);
  std::vector<uint8_t> ink(static_cast<size_t>(r.w));  // per source column: the ink colour seen in this row band
  const int rowBytes = dest.RowLength();
  for (int j = 0; j < dh; ++j) {
    const int y0 = j == 0 ? 0 : std::min(int(fy * (j - 1)), r.h - 1);
    const int y1 = j == 0 ? 0 : std::min(int(fy * j), r.h - 1);
    std::fill(ink.begin(), ink.end(), 0);
    for (int y = y0; y <= y1; ++y) {
      const uint8_t* s = source.RowPointer(r.y + y);
      if (kind == TPlaneKind::Mono) {
        for (int i = 0; i < r.w; ++i) {
          const int c = r.x + i;
          const bool set = s[c >> 3] & (0x80 >> (c & 7));
          ink[size_t(i)] |= uint8_t(set == whiteWins);
        }
      } else {
        const uint8_t* p = s + size_t(r.x) * 3;
        for (int i = 0; i < r.w; ++i) {
          const uint8_t b = p[3 * i], g = p[3 * i + 1], rr = p[3 * i + 2];
          const bool hit = whiteWins ? (b > 128 && g > 128 && rr > 128) : (b < 128 && g < 128 && rr < 128);
          ink[size_t(i)] |= uint8_t(hit);
        }
      }
    }
    uint8_t* d = dest.RowPointer(j);
    std::memset(d, whiteWins ? 0 : 255, size_t(rowBytes));
    for (int k = 0; k < dw; ++k) {
      const int x0 = k == 0 ? 0 : xm[size_t(k) - 1];
      const int x1 = k == 0 ? 0 : xm[size_t(k)];
      bool hit = false;
      for (int x = x0; x <= x1 && !hit; ++x) hit = ink[size_t(x)];
      if (!hit) continue;
      const uint8_t bit = uint8_t(0x80 >> (k & 7));
      if (whiteWins)
        d[k >> 3] |= bit;
      else
        d[k >> 3] &= uint8_t(~bit);
    }
    if (progress) progress(int(100 / (dh + 0.5) * j));
  }
}

// ---------------------------------------------------------------- nearest

void NearestResample(TPxBitmap& source, const TRect& r, TPxBitmap& dest, const TProgressHandler& progress) {
  const TPxBitmapFormat f = source.Format();
  const int dw = dest.Width(), dh = dest.Height();
  if (dest.Format() != f) {
    dest.AllocatePixels(dw, dh, f);
    if (dest.IsEmpty()) return;
  }
  // The indices mean nothing without their colours.
  if (f == pxPalette8)
    for (int i = 0; i < dest.PaletteCount(); ++i) {
      TColorBGR c;
      source.GetPaletteEntry(i, c);
      dest.SetPaletteEntry(i, c);
    }
  const double fx = double(r.w) / dw, fy = double(r.h) / dh;
  std::vector<int> xs(static_cast<size_t>(dw));
  for (int x = 0; x < dw; ++x) xs[size_t(x)] = r.x + std::min(int(fx * x), r.w - 1);
  const int bpp = FormatBytesPerPixel(f);
  for (int y = 0; y < dh; ++y) {
    const uint8_t* s = source.RowPointer(r.y + std::min(int(fy * y), r.h - 1));
    uint8_t* d = dest.RowPointer(y);
    if (f == pxMono1) {
      std::memset(d, 0, size_t(dest.RowLength()));
      for (int x = 0; x < dw; ++x) {
        const int c = xs[size_t(x)];
        if (s[c >> 3] & (0x80 >> (c & 7))) d[x >> 3] |= uint8_t(0x80 >> (x & 7));
      }
    } else if (bpp == 1) {
      for (int x = 0; x < dw; ++x) d[x] = s[xs[size_t(x)]];
    } else if (bpp == 3) {
      for (int x = 0; x < dw; ++x) std::memcpy(d + 3 * size_t(x), s + 3 * size_t(xs[size_t(x)]), 3);
    } else {
      for (int x = 0; x < dw; ++x)
        std::memcpy(d + size_t(bpp) * size_t(x), s + size_t(bpp) * size_t(xs[size_t(x)]), size_t(bpp));
    }
    if (progress) progress(int(100 / (dh + 0.5) * y));
  }
}

// ---------------------------------------------------------------- dispatch

// Runs `engine(target)` with target = Dest when it is pxRGB24, else a
// temporary pxRGB24 whose result is converted into Dest's format.
template <typename Engine>
void IntoRGB24(TPxBitmap& dest, Engine&& engine) {
  if (dest.Format() == pxRGB24) {
    const TPxAccessGuard guard(dest, kAccessWrite);
    engine(dest);
    return;
  }
  TPxBitmap tmp;
  tmp.AllocatePixels(dest.Width(), dest.Height(), pxRGB24);
  engine(tmp);
  dest.ConvertPixelsFrom(tmp);
}

}  // namespace

// ---------------------------------------------------------------- public

const char* ResampleFilterName(TResampleFilter filter) {
  return filter < kResampleFilterCount ? kFilterNames[filter] : nullptr;
}

bool ResampleFilterFromName(std::string_view name, TResampleFilter& filter) {
  std::string lower;
  for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < kResampleFilterCount; ++i) {
    std::string full;
    for (const char* p = kFilterNames[i]; *p; ++p) full += char(std::tolower(static_cast<unsigned char>(*p)));
    if (lower == full || lower == full.substr(2)) {
      filter = TResampleFilter(i);
      return true;
    }
  }
  return false;
}

double ResampleKernel(TResampleFilter filter, double x) {
  return double(KernelValue(filter, x));
}

double ResampleSupport(TResampleFilter filter) {
  switch (filter) {
    case rfTriangle:
    case rfHermite:
    case rfNearest:
    case rfLinear:
      return 1.0;
    case rfBell:
      return 1.5;
    case rfBSpline:
    case rfMitchell:
      return 2.0;
    case rfLanczos3:
      return 3.0;
    default:
      return 0.0;
  }
}

std::vector<TContributorList> BuildContributors(int S, int D, TResampleFilter filter) {
  std::vector<TContributorList> lists(size_t(std::max(D, 0)));
  if (S <= 0 || D <= 0) return lists;
  const double scale = (S > 1 && D > 1) ? double(D - 1) / double(S - 1) : double(D) / double(S);
  const double support = ResampleSupport(filter);
  const bool reducing = scale < 1;
  const double width = reducing ? support / scale : support;
  for (int i = 0; i < D; ++i) {
    const double center = i / scale;
    const int first = int(std::floor(center - width)), last = int(std::ceil(center + width));
    auto collect = [&](bool scaledWeights) {
      TContributorList& list = lists[size_t(i)];
      list.clear();
      int total = 0;
      for (int j = first; j <= last; ++j) {
        double v;
        if (!reducing)
          v = ResampleKernel(filter, center - j) * 256;
        else if (scaledWeights)
          v = ResampleKernel(filter, (center - j) * scale) * 256 * scale;
        else
          v = ResampleKernel(filter, (center - j) * scale) * 256;
        const int w = int(std::nearbyint(v));
        if (w == 0) continue;
        list.push_back(TContributor{MirrorIndex(j, S), w});
        total += w;
      }
      return total;
    };
    // Reducing by more than about 512 times rounds every scaled weight to 0,
    // which would make the picture black: the unscaled weights (the scale
    // only cancels out in the normalisation) keep it.
    if (collect(true) == 0 && reducing) collect(false);
    if (lists[size_t(i)].empty())
      lists[size_t(i)].push_back(TContributor{MirrorIndex(int(std::lround(center)), S), 256});
  }
  return lists;
}

void FilteredResampleRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                          TResampleFilter filter, const TProgressHandler& progress) {
  if (&source == &dest || source.IsEmpty() || dest.IsEmpty()) return;
  TRect r{srcX, srcY, srcW, srcH};
  if (!ClipToSource(source, r)) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxBitmapFormat f = source.Format();
  if (filter == rfNone || filter >= kResampleFilterCount) {
    if (filter != rfNone) return;
    const TPxAccessGuard destGuard(dest, kAccessWrite);
    NearestResample(source, r, dest, progress);
    return;
  }
  if (f != pxRGB24 && f != pxMono1) {
    // Filters work on true colour: filter a converted copy of the rectangle.
    TPxBitmap copy;
    copy.AllocatePixels(r.w, r.h, f);
    for (int i = 0; i < source.PaletteCount(); ++i) {
      TColorBGR c;
      source.GetPaletteEntry(i, c);
      copy.SetPaletteEntry(i, c);
    }
    source.CopyRegionTo(copy, r.x, r.y, 0, 0, r.w, r.h);
    copy.ChangeFormat(pxRGB24);
    if (copy.Format() == pxRGB24) FilteredResampleRect(copy, 0, 0, r.w, r.h, dest, filter, progress);
    return;
  }
  const TPlaneKind kind = KindOf(f);
  if (filter == rfProjectBW || filter == rfProjectWB) {
    if (dest.Format() != pxMono1) dest.AllocatePixels(dest.Width(), dest.Height(), pxMono1);
    const TPxAccessGuard destGuard(dest, kAccessWrite);
    ProjectResample(source, kind, r, dest, filter == rfProjectWB, progress);
    return;
  }
  IntoRGB24(dest, [&](TPxBitmap& target) {
    if (IsKernelFilter(filter)) {
      KernelResample(source, kind, r, target, filter, progress);
    } else if (kind == TPlaneKind::Mono) {
      const int dw = target.Width(), dh = target.Height();
      if (dw < r.w && dh < r.h)
        MonoBoxAverage(source, r.x, r.y, r.x + r.w - 1, r.y + r.h - 1, target);
      else
        FastLinearResample(source, kind, r, target, true, progress);
    } else if (filter == rfFastLinear) {
      FastLinearResample(source, kind, r, target, false, progress);
    } else {
      AreaResample(source, r, target, filter == rfBicubic, progress);
    }
  });
}

void FilteredResample(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter, const TProgressHandler& progress) {
  FilteredResampleRect(source, 0, 0, source.Width(), source.Height(), dest, filter, progress);
}

void FilteredResampleAlphaRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                               TResampleFilter filter) {
  if (&source == &dest || source.IsEmpty() || dest.IsEmpty()) return;
  if (source.Format() != pxGray8 || dest.Format() != pxGray8) return;
  TRect r{srcX, srcY, srcW, srcH};
  if (!ClipToSource(source, r)) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxAccessGuard destGuard(dest, kAccessWrite);
  if (filter == rfNone)
    NearestResample(source, r, dest, {});
  else if (IsKernelFilter(filter))
    KernelResample(source, TPlaneKind::Gray, r, dest, filter, {});
  else if (filter < kResampleFilterCount)
    FastLinearResample(source, TPlaneKind::Gray, r, dest, false, {});
}

void FilteredResampleAlpha(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter) {
  FilteredResampleAlphaRect(source, 0, 0, source.Width(), source.Height(), dest, filter);
}

void MonoBoxAverage(TPxBitmap& source, int left, int top, int right, int bottom, TPxBitmap& dest) {
  if (source.Format() != pxMono1 || dest.Format() != pxRGB24 || source.IsEmpty() || dest.IsEmpty()) return;
  const int W = source.Width(), H = source.Height();
  const int dw = dest.Width(), dh = dest.Height();
  const double f = double(right - left + 1) / dw, g = double(bottom - top + 1) / dh;
  std::vector<int> c0(static_cast<size_t>(dw)), c1(static_cast<size_t>(dw));
  for (int j = 0; j < dw; ++j) {
    c0[size_t(j)] = std::clamp(left + int(f * j - f / 2), 0, W - 1);
    c1[size_t(j)] = std::clamp(left + int(f / 2 + f * j), 0, W - 1);
  }
  std::vector<int> counts(static_cast<size_t>(dw));
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  for (int i = 0; i < dh; ++i) {
    const int r0 = std::clamp(top + int(g * i - g / 2), 0, H - 1);
    const int r1 = std::clamp(top + int(std::trunc(g) / 2 + g * i), 0, H - 1);
    std::fill(counts.begin(), counts.end(), 0);
    for (int y = r0; y <= r1; ++y) {
      const uint8_t* s = source.RowPointer(y);
      for (int j = 0; j < dw; ++j) {
        int n = 0;
        for (int x = c0[size_t(j)]; x <= c1[size_t(j)]; ++x) n += (s[x >> 3] >> (7 - (x & 7))) & 1;
        counts[size_t(j)] += n;
      }
    }
    uint8_t* d = dest.RowPointer(i);
    const int rows = std::max(r1 - r0 + 1, 1);
    for (int j = 0; j < dw; ++j) {
      const int pixels = rows * std::max(c1[size_t(j)] - c0[size_t(j)] + 1, 1);
      const uint8_t v = uint8_t(255 * counts[size_t(j)] / pixels);
      d[3 * j] = d[3 * j + 1] = d[3 * j + 2] = v;
    }
  }
}

}  // namespace rv
