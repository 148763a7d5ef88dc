#include "imaging/pxworkbitmap.h"

#include <limits>
#include <new>

#include "imaging/pxtypes.h"

namespace rv {

TPxWorkBitmap::TPxWorkBitmap(int width, int bitsPerPixel, int height) {
  if (width > 0 && height > 0) AllocateWork(width, height, bitsPerPixel);
}

void TPxWorkBitmap::AllocateWork(int width, int height, int bitsPerPixel) {
  if (block_ && width == width_ && height == height_ && bitsPerPixel == bitsPerPixel_) return;
  FreeWork();
  if (width <= 0 || height <= 0 || bitsPerPixel <= 0) return;
  int64_t rowLength = RowLengthFor(width, bitsPerPixel);
  if (rowLength > std::numeric_limits<int32_t>::max() ||
      static_cast<uint64_t>(rowLength) * static_cast<uint64_t>(height) > std::numeric_limits<size_t>::max() / 2)
    throw std::bad_alloc();
  block_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(rowLength) * static_cast<size_t>(height));
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  rowLength_ = static_cast<int>(rowLength);
}

void TPxWorkBitmap::FreeWork() {
  block_.reset();
  width_ = height_ = bitsPerPixel_ = rowLength_ = 0;
}

uint8_t* TPxWorkBitmap::WorkRow(int r) {
  if (!block_) return nullptr;
  return block_.get() + static_cast<size_t>(height_ - 1 - r) * static_cast<size_t>(rowLength_);
}

}  // namespace rv
