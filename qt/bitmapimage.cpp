#include "qt/bitmapimage.h"

#include <QList>

#include "platform/tbitmap.h"

namespace rv {

namespace {

QList<QRgb> ColorTableOf(const TBitmap& bitmap) {
  QList<QRgb> table;
  const int n = bitmap.ColorTableCount();
  table.reserve(n);
  for (int i = 0; i < n; ++i) {
    const TRGBQuad& q = bitmap.ColorTable()[i];
    table.push_back(qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue));
  }
  return table;
}

}  // namespace

QImage WrapBitmap(const TBitmap& bitmap) {
  if (bitmap.Empty()) return {};
  QImage::Format format;
  switch (bitmap.PixelFormat()) {
    case TPixelFormat::pf24bit:
      format = QImage::Format_BGR888;
      break;
    case TPixelFormat::pf32bit:
    case TPixelFormat::pfDevice:
      // Bytes blue, green, red, unused: 0xffRRGGBB words on a little-endian machine.
      format = QImage::Format_RGB32;
      break;
    case TPixelFormat::pf16bit:
      format = QImage::Format_RGB16;
      break;
    case TPixelFormat::pf15bit:
      format = QImage::Format_RGB555;
      break;
    case TPixelFormat::pf8bit:
      format = QImage::Format_Indexed8;
      break;
    case TPixelFormat::pf1bit:
      format = QImage::Format_Mono;  // the leftmost pixel in the high bit
      break;
    default:
      return {};
  }
  // The const constructor: Qt never writes through it and never frees the memory.
  QImage image(bitmap.ScanLine(0), bitmap.Width(), bitmap.Height(), bitmap.RowLength(), format);
  if (format == QImage::Format_Indexed8 || format == QImage::Format_Mono) image.setColorTable(ColorTableOf(bitmap));
  return image;
}

}  // namespace rv
