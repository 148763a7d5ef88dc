#include "imaging/pxmask.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "imaging/pxtypes.h"
#include "platform/tbitmap.h"

namespace rv {

namespace {

// Row length and block size checked in 64 bits; throws when either cannot be held.
int64_t CheckedRowLength(int width, int height, int bitsPerPixel) {
  int64_t rowLength = RowLengthFor(width, bitsPerPixel);
  if (rowLength > std::numeric_limits<int32_t>::max() ||
      static_cast<uint64_t>(rowLength) * static_cast<uint64_t>(height) > std::numeric_limits<size_t>::max() / 2)
    throw std::bad_alloc();
  return rowLength;
}

// Whether pixels [0, width) of a row are all at their maximum.
bool RowAllSet(const uint8_t* row, int width, int bitsPerPixel) {
  if (bitsPerPixel == 8) return std::all_of(row, row + width, [](uint8_t b) { return b == 255; });
  int fullBytes = width / 8;
  for (int i = 0; i < fullBytes; ++i)
    if (row[i] != 0xFF) return false;
  int rest = width % 8;
  if (rest == 0) return true;
  uint8_t used = static_cast<uint8_t>(0xFF00 >> rest);
  return (row[fullBytes] & used) == used;
}

}  // namespace

void TPxMask::EmptyBox() {
  left_ = top_ = kEmptyBox;
  right_ = bottom_ = 0;
}

void TPxMask::IncludeInBox(int x, int y) {
  left_ = std::min(left_, x);
  top_ = std::min(top_, y);
  right_ = std::max(right_, x);
  bottom_ = std::max(bottom_, y);
}

void TPxMask::AllocateMask(int width, int height, int bitsPerPixel) {
  // Empty first, so a failed allocation leaves a consistent empty mask.
  block_.reset();
  width_ = height_ = rowLength_ = 0;
  bitsPerPixel_ = 0;
  EmptyBox();
  allSet_ = false;
  if (width <= 0 || height <= 0 || (bitsPerPixel != 1 && bitsPerPixel != 8)) return;
  int64_t rowLength = CheckedRowLength(width, height, bitsPerPixel);
  block_ = std::make_unique<uint8_t[]>(static_cast<size_t>(rowLength) * static_cast<size_t>(height));
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  rowLength_ = static_cast<int>(rowLength);
}

uint8_t* TPxMask::MaskRow(int r) {
  if (!block_) return nullptr;
  return block_.get() + static_cast<size_t>(height_ - 1 - r) * static_cast<size_t>(rowLength_);
}

const uint8_t* TPxMask::MaskRow(int r) const {
  return const_cast<TPxMask*>(this)->MaskRow(r);
}

void TPxMask::SetMaskPixel(int x, int y, int v) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  uint8_t* row = MaskRow(y);
  if (bitsPerPixel_ == 1) {
    uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
    if (v != 0)
      row[x >> 3] |= bit;
    else
      row[x >> 3] &= static_cast<uint8_t>(~bit);
    // A cleared bit is a pixel below its maximum.
    if (v == 0) allSet_ = false;
  } else {
    row[x] = static_cast<uint8_t>(v);
    if (static_cast<uint8_t>(v) != 255) allSet_ = false;
  }
  // The box bounds the non-zero pixels, so a byte that wraps to 0 does not count.
  if (bitsPerPixel_ == 1 ? v != 0 : static_cast<uint8_t>(v) != 0) IncludeInBox(x, y);
}

int TPxMask::MaskPixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  const uint8_t* row = MaskRow(y);
  if (bitsPerPixel_ == 1) return row[x >> 3] & (0x80 >> (x & 7));
  return row[x];
}

void TPxMask::FillMask(int v) {
  if (block_) std::memset(block_.get(), static_cast<uint8_t>(v), static_cast<size_t>(rowLength_) * height_);
  // Every pixel is at its maximum only when every byte is 0xFF, at either depth.
  allSet_ = static_cast<uint8_t>(v) == 255;
}

void TPxMask::ClearMask() {
  FillMask(0);
  EmptyBox();
}

void TPxMask::RecomputeBox() {
  EmptyBox();
  for (int y = 0; y < height_; ++y) {
    const uint8_t* row = MaskRow(y);
    int first = -1;
    int last = -1;
    if (bitsPerPixel_ == 8) {
      for (int x = 0; x < width_; ++x)
        if (row[x] != 0) {
          if (first < 0) first = x;
          last = x;
        }
    } else {
      for (int x = 0; x < width_; ++x) {
        if ((x & 7) == 0 && row[x >> 3] == 0 && x + 8 <= width_) {
          x += 7;  // skip a byte with no set bit
          continue;
        }
        if (row[x >> 3] & (0x80 >> (x & 7))) {
          if (first < 0) first = x;
          last = x;
        }
      }
    }
    if (first >= 0) {
      IncludeInBox(first, y);
      IncludeInBox(last, y);
    }
  }
}

void TPxMask::ResizeMask(int width, int height) {
  if (bitsPerPixel_ != 1 && bitsPerPixel_ != 8) return;
  if (width == width_ && height == height_) return;
  int oldWidth = width_;
  int oldHeight = height_;
  int oldRowLength = rowLength_;
  if (width <= 0 || height <= 0) {
    block_.reset();
    width_ = height_ = rowLength_ = 0;
    EmptyBox();
    return;
  }
  int64_t rowLength = CheckedRowLength(width, height, bitsPerPixel_);
  auto block = std::make_unique<uint8_t[]>(static_cast<size_t>(rowLength) * static_cast<size_t>(height));
  int keepRows = std::min(oldHeight, height);
  int keepWidth = std::min(oldWidth, width);
  int keepBytes = std::min<int>(oldRowLength, static_cast<int>(rowLength));
  for (int r = 0; r < keepRows; ++r) {
    uint8_t* dst = block.get() + static_cast<size_t>(height - 1 - r) * static_cast<size_t>(rowLength);
    std::memcpy(dst, MaskRow(r), static_cast<size_t>(keepBytes));
    // Old padding must not reappear as pixels when the mask grows.
    if (bitsPerPixel_ == 8) {
      std::memset(dst + keepWidth, 0, static_cast<size_t>(keepBytes - keepWidth));
    } else {
      int lastByte = keepWidth / 8;
      if (keepWidth % 8 != 0) dst[lastByte++] &= static_cast<uint8_t>(0xFF00 >> (keepWidth % 8));
      if (lastByte < keepBytes) std::memset(dst + lastByte, 0, static_cast<size_t>(keepBytes - lastByte));
    }
  }
  block_ = std::move(block);
  width_ = width;
  height_ = height;
  rowLength_ = static_cast<int>(rowLength);
  // New pixels are zero, so a grown mask is no longer all set.
  if (width > oldWidth || height > oldHeight) allSet_ = false;
  if (!IsMaskEmpty()) {
    if (left_ >= width || top_ >= height) {
      EmptyBox();  // every marked pixel was cut away
    } else {
      right_ = std::min(right_, width - 1);
      bottom_ = std::min(bottom_, height - 1);
    }
  }
}

void TPxMask::DrawMask(TBitmap& canvas, const TPxRect& dest, const TPxRect& source) const {
  if (bitsPerPixel_ != 1 || IsMaskEmpty() || canvas.Empty()) return;
  const int64_t dstW = int64_t{dest.Right} - dest.Left;
  const int64_t dstH = int64_t{dest.Bottom} - dest.Top;
  const int64_t srcW = int64_t{source.Right} - source.Left;
  const int64_t srcH = int64_t{source.Bottom} - source.Top;
  if (dstW <= 0 || dstH <= 0 || srcW <= 0 || srcH <= 0) return;
  const int64_t x0 = std::max<int64_t>(dest.Left, 0);
  const int64_t x1 = std::min<int64_t>(dest.Right, canvas.Width());
  const int64_t y0 = std::max<int64_t>(dest.Top, 0);
  const int64_t y1 = std::min<int64_t>(dest.Bottom, canvas.Height());
  if (x0 >= x1 || y0 >= y1) return;

  // Nearest source pixel of each destination column, sampled at pixel centres.
  std::vector<int> srcX(static_cast<size_t>(x1 - x0));
  for (int64_t x = x0; x < x1; ++x)
    srcX[static_cast<size_t>(x - x0)] = static_cast<int>(source.Left + ((2 * (x - dest.Left) + 1) * srcW) / (2 * dstW));

  const bool direct24 = canvas.PixelFormat() == TPixelFormat::pf24bit;
  bool drawn = false;
  for (int64_t y = y0; y < y1; ++y) {
    int64_t sy = source.Top + ((2 * (y - dest.Top) + 1) * srcH) / (2 * dstH);
    if (sy < 0 || sy >= height_) continue;
    const uint8_t* maskRow = MaskRow(static_cast<int>(sy));
    uint8_t* canvasRow = canvas.ScanLine(static_cast<int>(y));
    for (int64_t x = x0; x < x1; ++x) {
      int sx = srcX[static_cast<size_t>(x - x0)];
      if (sx < 0 || sx >= width_ || !(maskRow[sx >> 3] & (0x80 >> (sx & 7)))) continue;
      drawn = true;
      if (direct24) {
        uint8_t* p = canvasRow + x * 3;
        p[0] ^= 0xFF;
        p[1] ^= 0xFF;
        p[2] ^= 0xFF;
      } else {
        uint8_t bgr[3];
        canvas.PixelBGR(static_cast<int>(x), static_cast<int>(y), bgr);
        for (uint8_t& c : bgr) c ^= 0xFF;
        canvas.SetPixelBGR(static_cast<int>(x), static_cast<int>(y), bgr);
      }
    }
  }
  if (drawn) canvas.Changed();
}

void TPxMask::UpdateAllSet() {
  allSet_ = block_ != nullptr;
  for (int y = 0; y < height_ && allSet_; ++y) allSet_ = RowAllSet(MaskRow(y), width_, bitsPerPixel_);
}

void TPxMask::FillPolygons(int v, const std::vector<TPxPoint>& points) {
  struct Edge {
    int64_t x1, y1, x2, y2;  // y1 < y2
  };
  std::vector<Edge> edges;
  auto closePolygon = [&](size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      const TPxPoint& a = points[i];
      const TPxPoint& b = points[i + 1 < end ? i + 1 : first];
      if (a.Y == b.Y) continue;  // horizontal edges never cross a scan line
      if (a.Y < b.Y)
        edges.push_back({a.X, a.Y, b.X, b.Y});
      else
        edges.push_back({b.X, b.Y, a.X, a.Y});
    }
  };
  size_t start = 0;
  for (size_t i = 0; i <= points.size(); ++i) {
    if (i == points.size() || points[i].X == kPolygonSeparator) {
      closePolygon(start, i);
      start = i + 1;
    }
  }

  if (!edges.empty() && block_) {
    int64_t yMin = edges.front().y1;
    int64_t yMax = edges.front().y2;
    for (const Edge& e : edges) {
      yMin = std::min(yMin, e.y1);
      yMax = std::max(yMax, e.y2);
    }
    const int rowFirst = static_cast<int>(std::max<int64_t>(yMin, 0));
    const int rowLast = static_cast<int>(std::min<int64_t>(yMax, height_ - 1));
    std::vector<double> crossings;
    for (int y = rowFirst; y <= rowLast; ++y) {
      // A pixel is inside when its centre is (even-odd rule); the scan line runs through the centres.
      const double yc = y + 0.5;
      crossings.clear();
      for (const Edge& e : edges) {
        if (yc < e.y1 || yc >= e.y2) continue;
        crossings.push_back(static_cast<double>(e.x1) + (2.0 * (y - e.y1) + 1.0) * static_cast<double>(e.x2 - e.x1) /
                                                            (2.0 * static_cast<double>(e.y2 - e.y1)));
      }
      std::sort(crossings.begin(), crossings.end());
      for (size_t i = 0; i + 1 < crossings.size(); i += 2) {
        // Pixels whose centre x + 0.5 lies in [a, b).
        double first = std::max(std::ceil(crossings[i] - 0.5), 0.0);
        double last = std::min(std::ceil(crossings[i + 1] - 0.5) - 1, static_cast<double>(width_ - 1));
        if (first > last) continue;
        for (int x = static_cast<int>(first); x <= static_cast<int>(last); ++x) SetMaskPixel(x, y, v);
      }
    }
  }
  UpdateAllSet();
}

}  // namespace rv
