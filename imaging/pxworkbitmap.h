// TPxWorkBitmap: a plain scratch image for the resamplers and readers.
#pragma once

#include <cstdint>
#include <memory>

namespace rv {

// Owns one heap block of RowLength x Height bytes, rows bottom-up and padded
// to 4 bytes. The block is not initialised. A size that cannot be held throws
// std::bad_alloc and leaves the work bitmap empty.
class TPxWorkBitmap {
 public:
  TPxWorkBitmap() = default;
  // Allocates when width and height are both positive (note the order of the arguments).
  TPxWorkBitmap(int width, int bitsPerPixel, int height);
  TPxWorkBitmap(const TPxWorkBitmap&) = delete;
  TPxWorkBitmap& operator=(const TPxWorkBitmap&) = delete;

  // Does nothing when all three values are unchanged; otherwise frees and
  // allocates. A non-positive value leaves it empty.
  void AllocateWork(int width, int height, int bitsPerPixel);
  void FreeWork();
  // Address of row r (0 = top); r is not checked. nullptr when empty.
  uint8_t* WorkRow(int r);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitsPerPixel() const { return bitsPerPixel_; }
  int RowLength() const { return rowLength_; }
  bool IsEmpty() const { return !block_; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  int width_ = 0;
  int height_ = 0;
  int bitsPerPixel_ = 0;
  int rowLength_ = 0;
};

}  // namespace rv
