// The kernel filters (rfTriangle .. rfLinear): separable, integer weights x 256.
#include "imaging/pxresample_internal.h"

namespace rv::resample {

namespace {

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

}  // namespace

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

}  // namespace rv::resample
