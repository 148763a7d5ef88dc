// What the reader tests share: a byte vector with little-endian writers for
// building files field by field (and text headers for PNM), and a fixture that loads through TPictureIO
// into a target holding a known 3 x 1 marker picture, so a refused file can be
// seen to leave the previous picture alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "io/pictureio.h"
#include "platform/byteorder.h"

namespace rv::testing_support {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint32_t v) {
  PutLe16(b.data() + at, v);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
  PutLe32(b.data() + at, v);
}
// A header written as text followed by raw bytes (PNM files).
inline Bytes Pnm(const std::string& header, const Bytes& raw = {}) {
  Bytes b(header.begin(), header.end());
  b.insert(b.end(), raw.begin(), raw.end());
  return b;
}

class TReaderTest : public testing::Test {
 protected:
  explicit TReaderTest(int32_t format) : format_(format) {}

  void SetUp() override {
    TPxBitmap& t = *io_.TargetBitmap();
    t.AllocatePixels(3, 1, pxRGB24);
    t.SetPixelBGR(0, 0, kMarker);
  }
  // Loads b as the fixture's format, or as `format` when given.
  void Load(const Bytes& b, int32_t format = 0) {
    io_.LoadBuffer(b.data(), int64_t(b.size()), format != 0 ? format : format_);
  }
  void ExpectPreviousPicture() {
    TPxBitmap& t = *io_.TargetBitmap();
    EXPECT_EQ(t.Width(), 3);
    EXPECT_EQ(t.Height(), 1);
    EXPECT_EQ(t.PixelBGR(0, 0), kMarker);
  }
  TPxBitmap& Bitmap() { return *io_.TargetBitmap(); }
  TColorBGR Pixel(int x, int y) { return Bitmap().ColorAt(x, y); }
  // The alpha value at (x, y), or -1 when the picture has no alpha channel.
  int Alpha(int x, int y) { return Bitmap().HasAlphaChannel() ? Bitmap().AlphaChannel()->ByteAt(x, y) : -1; }

  static constexpr TColorBGR kMarker{1, 2, 3};
  TPictureIO io_;

 private:
  int32_t format_;
};

}  // namespace rv::testing_support
