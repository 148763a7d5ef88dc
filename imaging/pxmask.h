// TPxMask: a 1- or 8-bit plane. Readers use it to carry transparency to a
// picture's alpha channel (TPxBitmap::ImportMask/ExportMask); the viewer uses a
// 1-bit mask to show a selection.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace rv {

class TBitmap;

struct TPxPoint {
  int X = 0;
  int Y = 0;
};

// A rectangle with Right and Bottom exclusive (Right - Left is the width).
struct TPxRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};

// Owns its pixel block. Rows are stored bottom-up and padded to 4 bytes; a
// 1-bit row keeps its leftmost pixel in the most significant bit. The box of
// the non-zero pixels is inclusive; an empty box has Left = Top = INT32_MAX and
// Right = Bottom = 0. Pixel reads and writes outside the mask are ignored.
// A size that cannot be allocated throws std::bad_alloc and leaves the mask empty.
class TPxMask {
 public:
  static constexpr int kEmptyBox = 2147483647;
  // A point with this x ends one polygon and starts the next in FillPolygons.
  static constexpr int kPolygonSeparator = 1048575;

  TPxMask() = default;
  TPxMask(const TPxMask&) = delete;
  TPxMask& operator=(const TPxMask&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitsPerPixel() const { return bitsPerPixel_; }
  int RowLength() const { return rowLength_; }
  bool AllSet() const { return allSet_; }
  void SetAllSet(bool v) { allSet_ = v; }
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Right() const { return right_; }
  int Bottom() const { return bottom_; }

  // Frees the old block and allocates a zero-filled one; bitsPerPixel is 1 or 8
  // (anything else, or a non-positive size, leaves the mask empty).
  void AllocateMask(int width, int height, int bitsPerPixel);
  // Address of row r (0 = top); r is not checked.
  uint8_t* MaskRow(int r);
  const uint8_t* MaskRow(int r) const;

  // Stores v (a 1-bit mask sets the bit for v != 0). A non-zero pixel grows
  // the box; a pixel below the maximum clears AllSet.
  void SetMaskPixel(int x, int y, int v);
  // The byte of an 8-bit mask, non-zero for a set bit of a 1-bit mask, 0 outside.
  int MaskPixel(int x, int y) const;
  bool IsMaskPixelSet(int x, int y) const { return MaskPixel(x, y) != 0; }

  // Every byte := v; AllSet := (the byte is 255); the box is left as it is.
  void FillMask(int v);
  // FillMask(0) and an empty box.
  void ClearMask();
  bool IsMaskEmpty() const { return left_ == kEmptyBox; }
  void RecomputeBox();
  // Keeps the top rows and left bytes that fit; new pixels are zero.
  void ResizeMask(int width, int height);
  // Inverts (XOR) the pixels of canvas under the set bits of a 1-bit mask,
  // stretching source (mask pixels) onto dest (canvas pixels).
  void DrawMask(TBitmap& canvas, const TPxRect& dest, const TPxRect& source) const;
  // AllSet := every pixel is at its maximum (bit set, or byte 255); false
  // for a mask without pixels.
  void UpdateAllSet();
  // Fills the polygons with v, then UpdateAllSet. A pixel is filled when its
  // centre lies inside by the even-odd rule applied to all polygons together
  // (so a polygon inside another cuts a hole); points with
  // X = kPolygonSeparator separate the polygons, each closed implicitly.
  void FillPolygons(int v, const std::vector<TPxPoint>& points);

 private:
  void EmptyBox();
  void IncludeInBox(int x, int y);

  std::unique_ptr<uint8_t[]> block_;
  int width_ = 0;
  int height_ = 0;
  int bitsPerPixel_ = 0;
  int rowLength_ = 0;
  int left_ = kEmptyBox;
  int top_ = kEmptyBox;
  int right_ = 0;
  int bottom_ = 0;
  bool allSet_ = false;
};

}  // namespace rv
