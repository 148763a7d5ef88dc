// PCX and DCX files written field by field for the reader tests: a TPcxSpec
// recipe, MakePcx to write it, MakeDcx to gather pages.
#pragma once

#include <array>
#include <vector>

#include "imaging/pxtypes.h"
#include "readertest.h"

namespace rv::testing_support::pcx {

// Run-length encoding as PCX writers do it; runs are cut at 63 bytes but not
// at line ends, so a run may cross lines and rows.
inline Bytes Rle(const Bytes& raw) {
  Bytes out;
  for (size_t i = 0; i < raw.size();) {
    size_t n = 1;
    while (i + n < raw.size() && n < 63 && raw[i + n] == raw[i]) ++n;
    if (n > 1 || raw[i] >= 0xC0) out.push_back(uint8_t(0xC0 | n));
    out.push_back(raw[i]);
    i += n;
  }
  return out;
}

// What a test PCX holds. Fields left alone give a valid 2 x 2 24-bit RLE file.
struct TPcxSpec {
  uint8_t manufacturer = 10;
  uint8_t version = 5;
  uint8_t encoding = 1;
  uint8_t bits = 8;
  uint16_t xmin = 0, ymin = 0, xmax = 1, ymax = 1;
  uint16_t hres = 72, vres = 72;
  std::array<TColorBGR, 16> table{};
  uint8_t planes = 3;
  uint16_t bytesPerLine = 2;
  Bytes lines;                     // the planes' lines of every row, before encoding
  bool encode = true;              // run-length encode lines (else stored as given)
  std::vector<TColorBGR> palette;  // a 256-entry table behind a 0x0C marker, when not empty
};

inline Bytes MakePcx(const TPcxSpec& s) {
  Bytes b(128, 0);
  b[0] = s.manufacturer;
  b[1] = s.version;
  b[2] = s.encoding;
  b[3] = s.bits;
  Put16(b, 4, s.xmin);
  Put16(b, 6, s.ymin);
  Put16(b, 8, s.xmax);
  Put16(b, 10, s.ymax);
  Put16(b, 12, s.hres);
  Put16(b, 14, s.vres);
  for (int i = 0; i < 16; ++i) {
    b[16 + 3 * i] = s.table[size_t(i)].r;
    b[17 + 3 * i] = s.table[size_t(i)].g;
    b[18 + 3 * i] = s.table[size_t(i)].b;
  }
  b[65] = s.planes;
  Put16(b, 66, s.bytesPerLine);
  const Bytes data = s.encode ? Rle(s.lines) : s.lines;
  b.insert(b.end(), data.begin(), data.end());
  if (!s.palette.empty()) {
    b.push_back(0x0C);
    for (int i = 0; i < 256; ++i) {
      const TColorBGR c = i < int(s.palette.size()) ? s.palette[size_t(i)] : TColorBGR{};
      b.insert(b.end(), {c.r, c.g, c.b});
    }
  }
  return b;
}

inline std::vector<TColorBGR> Ramp(int count, int step) {
  std::vector<TColorBGR> p;
  for (int i = 0; i < count; ++i) p.push_back(MakeBGR(uint8_t(i * step), uint8_t(255 - i * step), uint8_t(i)));
  return p;
}

// A DCX file: the magic, the page table (offsets of pages placed one after
// another, in the order given by `order`), then the pages.
inline Bytes MakeDcx(const std::vector<Bytes>& pages, const std::vector<int>& order) {
  const size_t tableBytes = 4 + 4 * (pages.size() + 1);
  Bytes b(tableBytes, 0);
  Put32(b, 0, 987654321u);
  std::vector<uint32_t> offsets(pages.size());
  for (int i : order) {
    offsets[size_t(i)] = uint32_t(b.size());
    b.insert(b.end(), pages[size_t(i)].begin(), pages[size_t(i)].end());
  }
  for (size_t i = 0; i < pages.size(); ++i) Put32(b, 4 + 4 * i, offsets[i]);
  return b;
}

}  // namespace rv::testing_support::pcx
