// Pixel formats, colours and the row arithmetic shared by the imaging core.
#pragma once

#include <cstdint>

namespace rv {

enum TPxBitmapFormat : uint8_t {
  pxNoFormat = 0,
  pxMono1 = 1,
  pxPalette8 = 2,
  pxGray8 = 3,
  pxGray16 = 4,
  pxRGB24 = 5,  // bytes blue, green, red
  px32f = 6,
  pxCMYK = 7,   // bytes C, M, Y, K, each inverted (255 = no ink)
  pxRGB48 = 8,  // words red, green, blue
  pxCIELab = 9,
};

enum TPxBitmapStorage : uint8_t { pxInMemory = 0, pxTempFile = 1, pxTBitmap = 2 };

#pragma pack(push, 1)
struct TColorBGR {
  uint8_t b = 0;
  uint8_t g = 0;
  uint8_t r = 0;
  friend bool operator==(const TColorBGR&, const TColorBGR&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TColorBGR) == 3);

inline constexpr TColorBGR MakeBGR(uint8_t r, uint8_t g, uint8_t b) {
  return TColorBGR{b, g, r};
}

// A 32-bit platform colour value holds red in the low byte, then green, then blue.
inline constexpr TColorBGR ColorToBGR(uint32_t color) {
  return TColorBGR{static_cast<uint8_t>(color >> 16), static_cast<uint8_t>(color >> 8), static_cast<uint8_t>(color)};
}
inline constexpr uint32_t BGRToColor(TColorBGR c) {
  return c.r | (c.g << 8) | (uint32_t(c.b) << 16);
}

inline constexpr int FormatBitsPerPixel(TPxBitmapFormat f) {
  constexpr int bits[] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24};
  return f <= pxCIELab ? bits[f] : 0;
}
inline constexpr int FormatChannels(TPxBitmapFormat f) {
  constexpr int ch[] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3};
  return f <= pxCIELab ? ch[f] : 0;
}
// Bytes per pixel for copies; 0 for pxMono1 (bit-addressed) and pxNoFormat.
inline constexpr int FormatBytesPerPixel(TPxBitmapFormat f) {
  return FormatBitsPerPixel(f) / 8;
}

// Bytes of one row padded to 4 bytes, in 64 bits so no width can overflow it.
inline constexpr int64_t RowLengthFor(int64_t width, int bitsPerPixel) {
  return ((width * bitsPerPixel + 31) / 32) * 4;
}

const char* FormatName(TPxBitmapFormat f);

}  // namespace rv
