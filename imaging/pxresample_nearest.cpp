// rfNone: nearest neighbour, every format.
#include "imaging/pxresample_internal.h"

namespace rv::resample {

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

}  // namespace rv::resample
