#include "qt/bitmapimage.h"

#include <gtest/gtest.h>

#include "platform/tbitmap.h"

namespace rv {
namespace {

// Every depth Qt can address is wrapped in place and reads back the colours
// the bitmap itself reports.
TEST(WrapBitmap, SharesTheRowsAndShowsTheSameColours) {
  struct Case {
    TPixelFormat format;
    QImage::Format qtFormat;
  } cases[] = {
      {TPixelFormat::pf24bit, QImage::Format_BGR888}, {TPixelFormat::pf32bit, QImage::Format_RGB32},
      {TPixelFormat::pfDevice, QImage::Format_RGB32}, {TPixelFormat::pf16bit, QImage::Format_RGB16},
      {TPixelFormat::pf15bit, QImage::Format_RGB555}, {TPixelFormat::pf8bit, QImage::Format_Indexed8},
      {TPixelFormat::pf1bit, QImage::Format_Mono},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.format));
    TBitmap bitmap;
    bitmap.SetPixelFormat(c.format);
    bitmap.SetSize(13, 5);  // odd width: rows are padded
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 13; ++x) {
        const uint8_t bgr[3] = {uint8_t(x * 19), uint8_t(y * 50), uint8_t((x + y) * 9)};
        bitmap.SetPixelBGR(x, y, bgr);
      }
    const QImage image = WrapBitmap(bitmap);
    ASSERT_EQ(image.format(), c.qtFormat);
    EXPECT_EQ(image.size(), QSize(13, 5));
    EXPECT_EQ(image.constBits(), bitmap.ScanLine(0));
    EXPECT_EQ(image.bytesPerLine(), bitmap.RowLength());
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 13; ++x) {
        uint8_t bgr[3];
        bitmap.PixelBGR(x, y, bgr);
        const QRgb p = image.pixel(x, y);
        // Qt widens 5- and 6-bit fields by repeating their high bits, the
        // bitmap by shifting: compare the bits both keep.
        const int keep = c.format == TPixelFormat::pf15bit || c.format == TPixelFormat::pf16bit ? 0xF8 : 0xFF;
        EXPECT_EQ(qRed(p) & keep, bgr[2] & keep) << x << "," << y;
        EXPECT_EQ(qGreen(p) & keep & (c.format == TPixelFormat::pf16bit ? 0xFC : 0xFF), bgr[1] & keep) << x << "," << y;
        EXPECT_EQ(qBlue(p) & keep, bgr[0] & keep) << x << "," << y;
      }
  }
}

TEST(WrapBitmap, WhatQtCannotAddressGivesANullImage) {
  TBitmap empty;
  empty.SetPixelFormat(TPixelFormat::pf24bit);
  EXPECT_TRUE(WrapBitmap(empty).isNull());
  TBitmap nibbles;
  nibbles.SetPixelFormat(TPixelFormat::pf4bit);
  nibbles.SetSize(4, 4);
  EXPECT_TRUE(WrapBitmap(nibbles).isNull());
}

}  // namespace
}  // namespace rv
