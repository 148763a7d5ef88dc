// MonoBoxAverage: a 1-bit rectangle reduced to 24-bit gray by counting the set
// bits of each block.
#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/pxresample_internal.h"

namespace rv {

namespace resample {

void MonoBoxAverageWithin(TPxBitmap& source, int left, int top, int right, int bottom, const TRect& bounds,
                          TPxBitmap& dest) {
  if (source.Format() != pxMono1 || dest.Format() != pxRGB24 || source.IsEmpty() || dest.IsEmpty()) return;
  const int X0 = std::max(bounds.x, 0), Y0 = std::max(bounds.y, 0);
  const int X1 = std::min(bounds.x + bounds.w, source.Width()) - 1;
  const int Y1 = std::min(bounds.y + bounds.h, source.Height()) - 1;
  if (X1 < X0 || Y1 < Y0) return;
  const int dw = dest.Width(), dh = dest.Height();
  const double f = double(right - left + 1) / dw, g = double(bottom - top + 1) / dh;
  std::vector<int> c0(static_cast<size_t>(dw)), c1(static_cast<size_t>(dw));
  for (int j = 0; j < dw; ++j) {
    c0[size_t(j)] = std::clamp(left + int(f * j - f / 2), X0, X1);
    c1[size_t(j)] = std::clamp(left + int(f / 2 + f * j), X0, X1);
  }
  std::vector<int> counts(static_cast<size_t>(dw));
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  for (int i = 0; i < dh; ++i) {
    const int r0 = std::clamp(top + int(g * i - g / 2), Y0, Y1);
    const int r1 = std::clamp(top + int(std::trunc(g) / 2 + g * i), Y0, Y1);
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

}  // namespace resample

void MonoBoxAverage(TPxBitmap& source, int left, int top, int right, int bottom, TPxBitmap& dest) {
  resample::MonoBoxAverageWithin(source, left, top, right, bottom,
                                 resample::TRect{0, 0, source.Width(), source.Height()}, dest);
}

}  // namespace rv
