// rfProjectBW and rfProjectWB: reduction to 1 bit where any ink in a block wins.
#include "imaging/pxresample_internal.h"

namespace rv::resample {

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

}  // namespace rv::resample
