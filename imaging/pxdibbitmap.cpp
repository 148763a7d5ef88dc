#include "imaging/pxdibbitmap.h"

#include <cstring>
#include <new>

namespace rv {

TPxBitmapFormat TPxDibbitmap::Format() {
  if (bitCount_ == 1) return pxMono1;
  if (bitCount_ == 24) return pxRGB24;
  return pxNoFormat;
}

void TPxDibbitmap::GetPaletteEntry(int, TColorBGR& color) {
  color = TColorBGR{};
}

void TPxDibbitmap::AllocatePixels(int width, int height, TPxBitmapFormat format) {
  int bits = format == pxMono1 ? 1 : format == pxRGB24 ? 24 : 0;
  if (bits == 0 || width <= 0 || height <= 0) return;
  int64_t rowLength = RowLengthFor(width, bits);
  if (rowLength > INT32_MAX || rowLength * height > (int64_t(1) << 46)) throw std::bad_alloc();
  bits_.reset();
  width_ = height_ = bitCount_ = rowLength_ = 0;
  bits_.reset(new uint8_t[size_t(rowLength * height)]());
  width_ = width;
  height_ = height;
  bitCount_ = bits;
  rowLength_ = int(rowLength);
}

void TPxDibbitmap::AssignFrom(TPxBaseBitmap& source) {
  auto* dib = dynamic_cast<TPxDibbitmap*>(&source);
  if (!dib || dib == this || !dib->bits_) return;
  AllocatePixels(dib->width_, dib->height_, dib->Format());
  std::memcpy(bits_.get(), dib->bits_.get(), size_t(int64_t(rowLength_) * height_));
}

}  // namespace rv
