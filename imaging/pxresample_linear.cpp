// rfFastLinear: interpolation in 17-bit fractions when enlarging, box
// averages when reducing.
#include "imaging/pxresample_internal.h"

namespace rv::resample {

namespace {

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

}  // namespace

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

}  // namespace rv::resample
