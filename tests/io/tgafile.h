// TGA files written field by field for the reader tests: a TTgaSpec recipe
// and MakeTga to write it.
#pragma once

#include <algorithm>
#include <string>

#include "imaging/pxtypes.h"
#include "readertest.h"

namespace rv::testing_support::tga {

// The TGA 2.0 extension area fields this reader takes.
struct TTgaExtension {
  std::string author = "An Author";
  std::string job = "A Job";
  uint16_t month = 2, day = 29, year = 2024, hour = 10, minute = 20, second = 30;
  uint8_t keyB = 1, keyG = 2, keyR = 3;
  uint16_t aspectNum = 3, aspectDen = 2;
  uint16_t gammaNum = 22, gammaDen = 10;
};

// What a test TGA holds. Fields left alone give a valid 2 x 2 24-bit file.
struct TTgaSpec {
  uint8_t imageType = 2;
  uint8_t mapType = 0;
  uint16_t mapFirst = 0, mapLength = 0;
  uint8_t mapEntryBits = 0;
  uint16_t xOrigin = 0, yOrigin = 0;
  uint16_t width = 2, height = 2;
  uint8_t depth = 24;
  uint8_t descriptor = 0;
  std::string id;
  Bytes map;   // colour-map entries as stored
  Bytes data;  // pixel data as stored
  bool extension = false;
  TTgaExtension ext;
  int64_t extensionOffset = -1;  // -1: where the extension area is written
};

inline Bytes MakeTga(const TTgaSpec& s) {
  Bytes b(18, 0);
  b[0] = uint8_t(s.id.size());
  b[1] = s.mapType;
  b[2] = s.imageType;
  Put16(b, 3, s.mapFirst);
  Put16(b, 5, s.mapLength);
  b[7] = s.mapEntryBits;
  Put16(b, 8, s.xOrigin);
  Put16(b, 10, s.yOrigin);
  Put16(b, 12, s.width);
  Put16(b, 14, s.height);
  b[16] = s.depth;
  b[17] = s.descriptor;
  for (char c : s.id) b.push_back(uint8_t(c));
  b.insert(b.end(), s.map.begin(), s.map.end());
  b.insert(b.end(), s.data.begin(), s.data.end());
  if (s.extension) {
    const size_t at = b.size();
    Bytes x(495, 0);
    Put16(x, 0, 495);
    std::copy(s.ext.author.begin(), s.ext.author.end(), x.begin() + 2);
    Put16(x, 367, s.ext.month);
    Put16(x, 369, s.ext.day);
    Put16(x, 371, s.ext.year);
    Put16(x, 373, s.ext.hour);
    Put16(x, 375, s.ext.minute);
    Put16(x, 377, s.ext.second);
    std::copy(s.ext.job.begin(), s.ext.job.end(), x.begin() + 379);
    x[470] = s.ext.keyB;
    x[471] = s.ext.keyG;
    x[472] = s.ext.keyR;
    Put16(x, 474, s.ext.aspectNum);
    Put16(x, 476, s.ext.aspectDen);
    Put16(x, 478, s.ext.gammaNum);
    Put16(x, 480, s.ext.gammaDen);
    b.insert(b.end(), x.begin(), x.end());
    Bytes footer(26, 0);
    Put32(footer, 0, uint32_t(s.extensionOffset >= 0 ? s.extensionOffset : int64_t(at)));
    const std::string sig = "TRUEVISION-XFILE.";
    std::copy(sig.begin(), sig.end(), footer.begin() + 8);
    b.insert(b.end(), footer.begin(), footer.end());
  }
  return b;
}

}  // namespace rv::testing_support::tga
