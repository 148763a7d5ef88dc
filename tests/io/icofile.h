// Icon and cursor files written field by field for the reader tests: bitmap
// entries from TDibSpec recipes (MakeDib), directories from TEntrySpec
// recipes (MakeIcon).
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/pxtypes.h"
#include "readertest.h"

namespace rv::testing_support::ico {

// One bitmap entry: information header, colour table, XOR rows, AND rows.
struct TDibSpec {
  uint32_t headerSize = 40;
  int32_t width = 2;
  int32_t height = 2;         // the picture's
  int32_t storedHeight = -1;  // -1: twice the height
  uint16_t bitCount = 24;
  uint32_t colorsUsed = 0;
  int32_t xppm = 0, yppm = 0;
  std::vector<TColorBGR> palette;
  Bytes xorRows;  // as stored: bottom-up, each padded to 4 bytes
  Bytes andRows;  // as stored: bottom-up, 4 bytes a row for widths up to 32
};

inline Bytes MakeDib(const TDibSpec& s) {
  Bytes b(s.headerSize, 0);
  Put32(b, 0, s.headerSize);
  Put32(b, 4, uint32_t(s.width));
  Put32(b, 8, uint32_t(s.storedHeight >= 0 ? s.storedHeight : 2 * s.height));
  Put16(b, 12, 1);
  Put16(b, 14, s.bitCount);
  Put32(b, 24, uint32_t(s.xppm));
  Put32(b, 28, uint32_t(s.yppm));
  Put32(b, 32, s.colorsUsed);
  for (const TColorBGR& c : s.palette) b.insert(b.end(), {c.b, c.g, c.r, 0});
  b.insert(b.end(), s.xorRows.begin(), s.xorRows.end());
  b.insert(b.end(), s.andRows.begin(), s.andRows.end());
  return b;
}

// An AND row of up to 32 pixels: the bits from the left, padded to 4 bytes.
inline Bytes AndRow(uint32_t leftBits) {
  return {uint8_t(leftBits >> 24), uint8_t(leftBits >> 16), uint8_t(leftBits >> 8), uint8_t(leftBits)};
}

struct TEntrySpec {
  uint8_t width = 2, height = 2, colors = 0;
  uint16_t planesOrHotX = 1, bitCountOrHotY = 24;
  Bytes data;
  int64_t size = -1;    // -1: the data's size
  int64_t offset = -1;  // -1: where the data is written
};

// A directory of type `type` and its entries' data, one after another.
inline Bytes MakeIcon(uint16_t type, const std::vector<TEntrySpec>& entries, int declaredCount = -1) {
  Bytes b(6 + 16 * entries.size(), 0);
  Put16(b, 2, type);
  Put16(b, 4, uint32_t(declaredCount >= 0 ? declaredCount : int(entries.size())));
  for (size_t i = 0; i < entries.size(); ++i) {
    const TEntrySpec& e = entries[i];
    const size_t at = 6 + 16 * i;
    b[at] = e.width;
    b[at + 1] = e.height;
    b[at + 2] = e.colors;
    Put16(b, at + 4, e.planesOrHotX);
    Put16(b, at + 6, e.bitCountOrHotY);
    Put32(b, at + 8, uint32_t(e.size >= 0 ? e.size : int64_t(e.data.size())));
    Put32(b, at + 12, uint32_t(e.offset >= 0 ? e.offset : int64_t(b.size())));
    b.insert(b.end(), e.data.begin(), e.data.end());
  }
  return b;
}

// A 2 x 2 24-bit entry: top row (1,1,1) (2,2,2), bottom row (3,3,3) (4,4,4);
// the AND bit of the top-left pixel is set.
inline TDibSpec Dib24() {
  TDibSpec d;
  d.xorRows = {3, 3, 3, 4, 4, 4, 0, 0, 1, 1, 1, 2, 2, 2, 0, 0};
  d.andRows = AndRow(0);
  const Bytes top = AndRow(0x80000000u);
  d.andRows.insert(d.andRows.end(), top.begin(), top.end());
  return d;
}

inline TEntrySpec Entry(const TDibSpec& d) {
  TEntrySpec e;
  e.width = uint8_t(d.width);
  e.height = uint8_t(d.height);
  e.bitCountOrHotY = d.bitCount;
  e.data = MakeDib(d);
  return e;
}

}  // namespace rv::testing_support::ico
