// The horizontal passes of the kernel and box filters: dense tap tables and
// the dot products over strips of transposed source rows.
#include <cmath>
#include <cstdlib>

#include "imaging/pxresample_internal.h"

namespace rv::resample {

namespace {

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

}  // namespace

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

}  // namespace rv::resample
