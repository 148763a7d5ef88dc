// BMP files written field by field for the reader tests: a TBmpSpec recipe,
// MakeBmp to write it, and the pixel rows and files several tests share.
#pragma once

#include <cstring>
#include <functional>
#include <vector>

#include "imaging/pxtypes.h"
#include "readertest.h"

namespace rv::testing_support::bmp {

// What a test BMP holds. Fields left alone give a valid 40-byte-header file.
struct TBmpSpec {
  uint32_t headerSize = 40;
  int32_t width = 1;
  int32_t height = 1;
  uint16_t planes = 1;
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  int32_t xppm = 0;
  int32_t yppm = 0;
  uint32_t colorsUsed = 0;
  std::vector<uint32_t> masks;     // after a 40-byte header, or inside a larger one
  std::vector<TColorBGR> palette;  // 4 bytes an entry (3 after a 12-byte header)
  Bytes pixels;                    // the pixel data as stored
  int64_t dataOffset = -1;         // bfOffBits; -1: right after the colour table
  bool fileHeader = true;
};

inline Bytes MakeBmp(const TBmpSpec& s) {
  const bool core = s.headerSize == 12;
  const size_t fh = s.fileHeader ? 14 : 0;
  const size_t masksAfter = s.headerSize == 40 ? s.masks.size() * 4 : 0;
  const size_t entry = core ? 3 : 4;
  const size_t tableStart = fh + s.headerSize + masksAfter;
  const size_t dataStart = tableStart + s.palette.size() * entry;
  Bytes b(dataStart, 0);
  if (s.fileHeader) {
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, uint32_t(dataStart + s.pixels.size()));
    Put32(b, 10, uint32_t(s.dataOffset >= 0 ? s.dataOffset : int64_t(dataStart)));
  }
  Put32(b, fh, s.headerSize);
  if (core) {
    Put16(b, fh + 4, uint32_t(s.width));
    Put16(b, fh + 6, uint32_t(s.height));
    Put16(b, fh + 8, s.planes);
    Put16(b, fh + 10, s.bitCount);
  } else {
    Put32(b, fh + 4, uint32_t(s.width));
    Put32(b, fh + 8, uint32_t(s.height));
    Put16(b, fh + 12, s.planes);
    Put16(b, fh + 14, s.bitCount);
    if (s.headerSize >= 20) Put32(b, fh + 16, s.compression);
    if (s.headerSize >= 32) {
      Put32(b, fh + 24, uint32_t(s.xppm));
      Put32(b, fh + 28, uint32_t(s.yppm));
    }
    if (s.headerSize >= 36) Put32(b, fh + 32, s.colorsUsed);
    for (size_t i = 0; i < s.masks.size(); ++i) {
      const size_t at = fh + 40 + 4 * i;  // after a 40-byte header, else inside the header
      if (at + 4 <= fh + s.headerSize + masksAfter) Put32(b, at, s.masks[i]);
    }
  }
  for (size_t i = 0; i < s.palette.size(); ++i) {
    b[tableStart + i * entry] = s.palette[i].b;
    b[tableStart + i * entry + 1] = s.palette[i].g;
    b[tableStart + i * entry + 2] = s.palette[i].r;
  }
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

// Uncompressed rows as stored (bottom-up unless topDown), padded to 4 bytes;
// pixel(x, y, out) writes the stored bytes of picture pixel (x, y), y = 0 the top.
inline Bytes StoredRows(int width, int height, int bits, bool topDown,
                        const std::function<void(int x, int y, uint8_t* row)>& pixel) {
  const size_t stride = size_t((width * bits + 31) / 32 * 4);
  Bytes data(stride * size_t(height), 0);
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    const int y = topDown ? fileRow : height - 1 - fileRow;
    for (int x = 0; x < width; ++x) pixel(x, y, data.data() + stride * size_t(fileRow));
  }
  return data;
}

inline TColorBGR Colour24(int x, int y) {
  return TColorBGR{uint8_t(10 * x + y), uint8_t(50 + y), uint8_t(200 - x)};
}

inline Bytes Rows24(int width, int height, bool topDown) {
  return StoredRows(width, height, 24, topDown, [](int x, int y, uint8_t* row) {
    const TColorBGR c = Colour24(x, y);
    std::memcpy(row + 3 * x, &c, 3);
  });
}

// Packs indexes of `bits` each, first pixel in the high bits.
inline Bytes IndexRows(int width, int height, int bits, const std::function<int(int x, int y)>& index) {
  return StoredRows(width, height, bits, false, [&](int x, int y, uint8_t* row) {
    const int perByte = 8 / bits;
    row[x / perByte] |= uint8_t(index(x, y) << (8 - bits * (x % perByte + 1)));
  });
}

inline std::vector<TColorBGR> Ramp(int n) {
  std::vector<TColorBGR> p;
  for (int i = 0; i < n; ++i) p.push_back(TColorBGR{uint8_t(i), uint8_t(255 - i), uint8_t(3 * i)});
  return p;
}

// A valid 4x2 8-bit file that the bad cases below change in one way.
inline TBmpSpec GoodSpec() {
  TBmpSpec s;
  s.width = 4;
  s.height = 2;
  s.bitCount = 8;
  s.palette = Ramp(256);
  s.pixels = IndexRows(4, 2, 8, [](int x, int y) { return x + y; });
  return s;
}

inline TBmpSpec WithBits(uint16_t bits, uint32_t compression, std::vector<uint32_t> masks = {}) {
  TBmpSpec s = GoodSpec();
  s.bitCount = bits;
  s.compression = compression;
  s.masks = std::move(masks);
  s.palette.clear();
  s.pixels = Bytes(size_t((4 * bits + 31) / 32 * 4) * 2, 0x11);
  return s;
}

// Rows 0..3 of a 6-wide RLE8 picture, bottom row first in the file:
//   file row 0: run of 3 x index 1, absolute 2,3,4 (odd: padded), EOL
//   file row 1: delta (2, 1) to file row 2, column 2
//   file row 2: run of 4 x index 5 from column 2, EOL
//   file row 3: absolute 6,7,8,9 then end of bitmap at column 4
inline const Bytes kRle8Data = {3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 4, 5, 0, 0, 0, 4, 6, 7, 8, 9, 0, 1};

// An 8x2 RLE4 picture.
// clang-format off
inline const Bytes kRle4Data = {
    5, 0xAB, 0, 3, 0xCD, 0xE0, 0, 0,           // bottom: A B A B A, absolute C D E (2 bytes, no pad), EOL
    0, 5, 0x12, 0x34, 0x50, 0, 1, 0x60, 0, 1,  // top: absolute 1..5 (3 bytes, padded), run of one 6, end
};
// clang-format on

}  // namespace rv::testing_support::bmp
