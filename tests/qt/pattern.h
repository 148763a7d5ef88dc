// A picture whose every pixel is known, for the Qt layer's tests.
#pragma once

#include <QColor>
#include <QImage>

#include "imaging/pxbitmap.h"
#include "viewer/pictureview.h"

namespace rv::testing {

// Pixel (x, y): red x + y, green y, blue x (low bytes).
inline QRgb PatternPixel(int x, int y) {
  return qRgb(uint8_t(x + y), uint8_t(y), uint8_t(x));
}

inline void LoadPattern(TPictureView& view, int w, int h) {
  TPxBitmap& image = *view.ImageBitmap();
  image.AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y) {
    uint8_t* p = image.RowPointer(y);
    for (int x = 0; x < w; ++x, p += 3) {
      p[0] = uint8_t(x);
      p[1] = uint8_t(y);
      p[2] = uint8_t(x + y);
    }
  }
  view.UpdateView();
}

// The first pixel of image (at left, top) that differs from the pattern's
// (x - left, y - top), as "x,y"; empty when the w x h block matches.
inline QString FirstPatternMismatch(const QImage& image, int left, int top, int w, int h) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if ((image.pixel(left + x, top + y) & 0xFFFFFF) != (PatternPixel(x, y) & 0xFFFFFF))
        return QStringLiteral("%1,%2").arg(left + x).arg(top + y);
  return {};
}

}  // namespace rv::testing
