// rfBilinear and rfBicubic: area interpolation.
#include <cmath>

#include "imaging/pxresample_internal.h"

namespace rv::resample {

namespace {

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

}  // namespace

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

}  // namespace rv::resample
