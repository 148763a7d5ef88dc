// TPxQuantizer: builds a palette of a requested size for a picture and maps
// colours onto it. It lives for one conversion: created on the source, asked
// for every pixel, then dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/pxtypes.h"

namespace rv {

class TPxBitmap;

// How the palette is chosen, in this order:
//  - a pxPalette8 source: its first ColorCount entries;
//  - a source of grays only, or any format other than pxRGB24: a gray ramp,
//    entry i = Trunc(256 / ColorCount * i);
//  - at most ColorCount distinct colours: those colours, in order of first
//    appearance (rows top to bottom, pixels left to right);
//  - otherwise a variance-minimising box cut (Wu) of a 6-bit-per-channel
//    histogram, the same engine for every palette size; pictures whose colours
//    fill fewer 6-bit cells than requested are cut on their exact colours
//    instead, so a reduced palette always has exactly ColorCount entries.
// Only the exact-colour case gives fewer (the picture's own colours).
// ColorCount is clamped to 1..256. The source is only read; a file-backed source
// is read row by row. Exhausted memory raises std::bad_alloc.
class TPxQuantizer {
 public:
  TPxQuantizer(TPxBitmap& source, int colorCount, std::vector<TColorBGR>& palette);
  ~TPxQuantizer();
  TPxQuantizer(const TPxQuantizer&) = delete;
  TPxQuantizer& operator=(const TPxQuantizer&) = delete;

  int ColorCount() const { return int(palette_.size()); }
  const std::vector<TColorBGR>& Palette() const { return palette_; }

  // Palette index for a colour: its exact position when the palette holds it,
  // else the nearest entry (squared RGB distance).
  int IndexOf(TColorBGR color);
  // IndexOf for `count` packed BGR pixels, written as bytes.
  void IndexRow(const uint8_t* bgr, uint8_t* indices, int count);

 private:
  enum class TMode { Gray, Table, Reduced };
  class TColorTable;

  void UseSourcePalette(TPxBitmap& source);
  void UseGrayRamp();
  bool CollectExactColors(TPxBitmap& source);
  void Reduce(TPxBitmap& source);
  void CutExactColors(TPxBitmap& source);
  int Nearest(int r2, int g2, int b2) const;
  int CachedNearest(TColorBGR c);

  TMode mode_ = TMode::Gray;
  int count_ = 0;
  std::vector<TColorBGR> palette_;
  std::unique_ptr<TColorTable> table_;  // exact colours -> index
  std::vector<int16_t> cache_;          // 6-bit cell -> nearest index, -1 = not yet known
};

}  // namespace rv
