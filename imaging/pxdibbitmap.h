// TPxDibbitmap: a small device-independent bitmap of 1 or 24 bits per pixel.
#pragma once

#include <cstdint>
#include <memory>

#include "imaging/pxbitmap.h"

namespace rv {

// Rows are stored bottom-up as in a DIB. Colour entry 0 is black, 1 white; the
// palette operations are fixed. Owns its pixel block.
class TPxDibbitmap : public TPxBaseBitmap {
 public:
  TPxDibbitmap() = default;
  ~TPxDibbitmap() override = default;

  uint8_t* RowPointer(int row) override { return bits_.get() + static_cast<size_t>(height_ - 1 - row) * rowLength_; }
  int BitsPerPixel() override { return bitCount_; }
  int Height() override { return height_; }
  int Width() override { return width_; }
  TPxBitmapFormat Format() override;
  int RowLength() override { return rowLength_; }
  void GetPaletteEntry(int index, TColorBGR& color) override;
  void SetPaletteEntry(int, const TColorBGR&) override {}
  int PaletteCount() override { return 0; }
  // Accepts pxMono1 and pxRGB24 only; a zero size does nothing.
  void AllocatePixels(int width, int height, TPxBitmapFormat format) override;
  // Accepts only another TPxDibbitmap.
  void AssignFrom(TPxBaseBitmap& source) override;

 private:
  int width_ = 0;
  int height_ = 0;
  int bitCount_ = 0;
  int rowLength_ = 0;
  std::unique_ptr<uint8_t[]> bits_;
};

}  // namespace rv
