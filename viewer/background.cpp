#include "viewer/background.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace rv {

namespace {

// The light desktop theme, as RGB triples written the usual way (red first).
constexpr uint32_t kLightTheme[] = {
    0xC8C8C8,  // 0 scroll bar
    0x000000,  // 1 desktop
    0x99B4D1,  // 2 active caption
    0xBFCDDB,  // 3 inactive caption
    0xF0F0F0,  // 4 menu
    0xFFFFFF,  // 5 window
    0x646464,  // 6 window frame
    0x000000,  // 7 menu text
    0x000000,  // 8 window text
    0x000000,  // 9 caption text
    0xB4B4B4,  // 10 active border
    0xF4F7FC,  // 11 inactive border
    0xABABAB,  // 12 application workspace
    0x0078D7,  // 13 highlight
    0xFFFFFF,  // 14 highlight text
    0xF0F0F0,  // 15 button face
    0xA0A0A0,  // 16 button shadow
    0x6D6D6D,  // 17 gray text
    0x000000,  // 18 button text
    0x000000,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x696969,  // 21 3-D dark shadow
    0xE3E3E3,  // 22 3-D light
    0x000000,  // 23 tooltip text
    0xFFFFE1,  // 24 tooltip background
    0x000000,  // 25 (unused)
    0x0066CC,  // 26 hot-tracked item
    0xB9D1EA,  // 27 active caption gradient
    0xD7E4F2,  // 28 inactive caption gradient
    0x3399FF,  // 29 menu highlight
    0xF0F0F0,  // 30 menu bar
};

TSystemColorResolver& Resolver() {
  static TSystemColorResolver resolver;
  return resolver;
}

// The platform's 8 x 8 hatch patterns, row by row, bit 7 the leftmost pixel.
constexpr uint8_t kHatch[6][8] = {
    {0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00},  // horizontal
    {0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08},  // vertical
    {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01},  // forward diagonal
    {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80},  // backward diagonal
    {0x08, 0x08, 0x08, 0x08, 0xFF, 0x08, 0x08, 0x08},  // cross
    {0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81},  // diagonal cross
};
constexpr uint32_t kHatchGap = 0xFFFFFF;

struct TBGR {
  uint8_t b, g, r;
};

TBGR ToBGR(uint32_t rgb) {
  return TBGR{uint8_t((rgb >> 16) & 0xFF), uint8_t((rgb >> 8) & 0xFF), uint8_t(rgb & 0xFF)};
}

TViewRect Intersect(const TViewRect& a, const TViewRect& b) {
  TViewRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
              std::min(a.Bottom, b.Bottom)};
  if (r.Right < r.Left) r.Right = r.Left;
  if (r.Bottom < r.Top) r.Bottom = r.Top;
  return r;
}

bool IsEmpty(const TViewRect& r) {
  return r.Right <= r.Left || r.Bottom <= r.Top;
}

// Writes pixels of a 24-bit bitmap inside one fixed rectangle (clip ∩ area ∩
// bitmap); everything else is dropped.
class TPixelWriter {
 public:
  TPixelWriter(TBitmap& target, const TViewRect& bounds) : target_(target), bounds_(bounds) {}
  const TViewRect& Bounds() const { return bounds_; }

  void Put(int x, int y, TBGR c) {
    if (x < bounds_.Left || x >= bounds_.Right || y < bounds_.Top || y >= bounds_.Bottom) return;
    uint8_t* p = target_.ScanLine(y) + 3 * size_t(x);
    p[0] = c.b, p[1] = c.g, p[2] = c.r;
  }

  void Fill(const TViewRect& rect, TBGR c) {
    const TViewRect r = Intersect(rect, bounds_);
    if (IsEmpty(r)) return;
    uint8_t* first = target_.ScanLine(r.Top) + 3 * size_t(r.Left);
    for (int x = 0; x < r.Width(); ++x) {
      first[3 * x] = c.b, first[3 * x + 1] = c.g, first[3 * x + 2] = c.r;
    }
    for (int y = r.Top + 1; y < r.Bottom; ++y)
      std::memcpy(target_.ScanLine(y) + 3 * size_t(r.Left), first, 3 * size_t(r.Width()));
  }

  // A brush fill: solid, or a hatch pattern (anchored at the bitmap's origin)
  // in the colour over the gap colour.
  void FillBrush(const TViewRect& rect, TBrushStyle brush, TBGR c) {
    if (brush == bsClear) return;
    if (brush == bsSolid || brush < bsSolid || brush > bsDiagCross) {
      Fill(rect, c);
      return;
    }
    const uint8_t* pattern = kHatch[brush - bsHorizontal];
    const TBGR gap = ToBGR(kHatchGap);
    const TViewRect r = Intersect(rect, bounds_);
    for (int y = r.Top; y < r.Bottom; ++y) {
      const uint8_t bits = pattern[y & 7];
      uint8_t* p = target_.ScanLine(y) + 3 * size_t(r.Left);
      for (int x = r.Left; x < r.Right; ++x, p += 3) {
        const TBGR v = (bits & (0x80 >> (x & 7))) ? c : gap;
        p[0] = v.b, p[1] = v.g, p[2] = v.r;
      }
    }
  }

  // A one-pixel line from (x0, y0) towards (x1, y1), the end point excluded.
  void Line(int x0, int y0, int x1, int y1, TBGR c) {
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    while (x0 != x1 || y0 != y1) {
      Put(x0, y0, c);
      const int e2 = 2 * err;
      if (e2 >= dy) err += dy, x0 += sx;
      if (e2 <= dx) err += dx, y0 += sy;
    }
  }

  TBitmap& Target() { return target_; }

 private:
  TBitmap& target_;
  TViewRect bounds_;
};

TBGR Scaled(TBGR c, double f) {
  return TBGR{uint8_t(c.b * f), uint8_t(c.g * f), uint8_t(c.r * f)};
}

void PaintChessboard(TPixelWriter& w, const TBackgroundParams& params, const TViewRect& area) {
  const int cell = std::max(params.ChessboardCellSize, 1);
  const TBGR color = ToBGR(ResolveColor(params.Color));
  const TBGR inverse = ToBGR(InverseColor(params.Color));
  if (params.ChessboardBrushStyle == bsSolid) {
    // Straight into the rows: the area's top-left square has the colour.
    const TViewRect& r = w.Bounds();
    const size_t bytes = 3 * size_t(r.Width());
    for (int y = r.Top; y < r.Bottom; ++y) {
      const bool oddRow = ((y - area.Top) / cell) & 1;
      if (y > r.Top && oddRow == bool(((y - 1 - area.Top) / cell) & 1)) {
        // Same squares as the row above.
        TBitmap& t = w.Target();
        std::memcpy(t.ScanLine(y) + 3 * size_t(r.Left), t.ScanLine(y - 1) + 3 * size_t(r.Left), bytes);
        continue;
      }
      for (int x = r.Left; x < r.Right;) {
        const int column = (x - area.Left) / cell;
        const int end = std::min(r.Right, area.Left + (column + 1) * cell);
        w.Fill(TViewRect{x, y, end, y + 1}, ((column & 1) != oddRow) ? inverse : color);
        x = end;
      }
    }
    return;
  }
  // Square by square with the brush, the top-left one in the inverse colour.
  for (int top = area.Top, row = 0; top < area.Bottom; top += cell, ++row) {
    for (int left = area.Left, column = 0; left < area.Right; left += cell, ++column) {
      const TViewRect square{left, top, std::min(left + cell, area.Right), std::min(top + cell, area.Bottom)};
      w.FillBrush(square, params.ChessboardBrushStyle, ((row + column) & 1) ? color : inverse);
    }
  }
}

void PaintCroppedEdge(TPixelWriter& w, const TViewRect& image) {
  if (image.Width() < 2 || image.Height() < 2) return;
  const TBGR outerLT = ToBGR(ResolveColor(0xFF000000u | COLOR_BTNSHADOW));
  const TBGR outerRB = ToBGR(ResolveColor(0xFF000000u | COLOR_BTNHIGHLIGHT));
  const TBGR innerLT = ToBGR(ResolveColor(0xFF000000u | COLOR_3DDKSHADOW));
  const TBGR innerRB = ToBGR(ResolveColor(0xFF000000u | COLOR_3DLIGHT));
  auto ring = [&](const TViewRect& r, TBGR lt, TBGR rb) {
    w.Fill(TViewRect{r.Left, r.Top, r.Right, r.Top + 1}, lt);
    w.Fill(TViewRect{r.Left, r.Top, r.Left + 1, r.Bottom}, lt);
    w.Fill(TViewRect{r.Left, r.Bottom - 1, r.Right, r.Bottom}, rb);
    w.Fill(TViewRect{r.Right - 1, r.Top, r.Right, r.Bottom}, rb);
  };
  const TViewRect outer{image.Left - kEdgeWidth, image.Top - kEdgeWidth, image.Right + kEdgeWidth,
                        image.Bottom + kEdgeWidth};
  ring(outer, outerLT, outerRB);
  ring(TViewRect{outer.Left + 1, outer.Top + 1, outer.Right - 1, outer.Bottom - 1}, innerLT, innerRB);
}

// Shadow factor of a line at distance d (in pixels) from the band's outer
// edge; d = kCropShadowWidth next to the picture.
double ShadowFactor(double d) {
  const double q = d / (kCropShadowWidth / 3.0);
  return std::exp(-0.1 - q * q / 6);
}

void PaintCropShadow(TPixelWriter& w, const TBGR color, const TViewRect& image) {
  if (image.Width() < 2 || image.Height() < 2) return;
  constexpr int n = kCropShadowWidth;
  for (int k = 0; k < n; ++k) {
    const TBGR c = Scaled(color, ShadowFactor(n - k));
    w.Fill(TViewRect{image.Right + k, image.Top + n, image.Right + k + 1, image.Bottom}, c);    // right band
    w.Fill(TViewRect{image.Left + n, image.Bottom + k, image.Right, image.Bottom + k + 1}, c);  // bottom band
  }
  // The corner: the distance from the picture's corner takes the place of
  // the distance from the picture's edge.
  for (int ky = 0; ky < n; ++ky)
    for (int kx = 0; kx < n; ++kx) {
      const double d = n - std::sqrt(double(kx * kx + ky * ky));
      if (d > 0) w.Put(image.Right + kx, image.Bottom + ky, Scaled(color, ShadowFactor(d)));
    }
}

void PaintGradient(TPixelWriter& w, uint32_t from, uint32_t to, const TViewRect& area) {
  const TBGR a = ToBGR(from), b = ToBGR(to);
  const int h = area.Height();
  const TViewRect& r = w.Bounds();
  auto mix = [h](int p, int q, int i) { return uint8_t(std::lround(p + double(q - p) * i / (h - 1))); };
  for (int y = r.Top; y < r.Bottom; ++y) {
    const int i = y - area.Top;
    const TBGR c = h <= 1 ? a : TBGR{mix(a.b, b.b, i), mix(a.g, b.g, i), mix(a.r, b.r, i)};
    w.Fill(TViewRect{r.Left, y, r.Right, y + 1}, c);
  }
}

void PaintWallPaper(TPixelWriter& w, const TBitmap& paper, TPxWallPaperStyle style, const TViewRect& area) {
  const int pw = paper.Width(), ph = paper.Height();
  if (pw <= 0 || ph <= 0) return;
  const TViewRect& r = w.Bounds();
  uint8_t bgr[3];
  for (int y = r.Top; y < r.Bottom; ++y) {
    const int ay = y - area.Top;
    int sy;
    if (style == pxwoStretch)
      sy = int(int64_t(ay) * ph / area.Height());
    else if (style == pxwoTile)
      sy = ay % ph;
    else if (ay < ph)
      sy = ay;
    else
      break;
    uint8_t* d = w.Target().ScanLine(y);
    const uint8_t* source24 = paper.PixelFormat() == TPixelFormat::pf24bit ? paper.ScanLine(sy) : nullptr;
    for (int x = r.Left; x < r.Right; ++x) {
      const int ax = x - area.Left;
      int sx;
      if (style == pxwoStretch)
        sx = int(int64_t(ax) * pw / area.Width());
      else if (style == pxwoTile)
        sx = ax % pw;
      else if (ax < pw)
        sx = ax;
      else
        break;
      if (source24) {
        std::memcpy(d + 3 * size_t(x), source24 + 3 * size_t(sx), 3);
      } else {
        paper.PixelBGR(sx, sy, bgr);
        std::memcpy(d + 3 * size_t(x), bgr, 3);
      }
    }
  }
}

}  // namespace

uint32_t DefaultSystemColor(int index) {
  if (index < 0 || index >= int(std::size(kLightTheme))) return 0;
  const uint32_t rgb = kLightTheme[index];
  return ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
}

void SetSystemColorResolver(TSystemColorResolver resolver) {
  Resolver() = std::move(resolver);
}

uint32_t ResolveColor(uint32_t color) {
  if ((color & 0x80000000u) == 0) return color & 0xFFFFFF;
  const int index = int(color & 0xFF);
  const TSystemColorResolver& resolver = Resolver();
  return (resolver ? resolver(index) : DefaultSystemColor(index)) & 0xFFFFFF;
}

uint32_t InverseColor(uint32_t color) {
  return ~ResolveColor(color) & 0xFFFFFF;
}

void PaintBackground(TBitmap& target, const TBackgroundParams& params, const TViewRect& imageRect,
                     const TViewRect& area, const TViewRect& clip) {
  if (target.PixelFormat() != TPixelFormat::pf24bit || target.Empty()) return;
  const TViewRect bounds = Intersect(Intersect(area, clip), TViewRect{0, 0, target.Width(), target.Height()});
  if (IsEmpty(bounds) || IsEmpty(area)) return;
  TPixelWriter w(target, bounds);
  const TBGR color = ToBGR(ResolveColor(params.Color));
  switch (params.Style) {
    case pxbsHorizontal:
    case pxbsVertical:
    case pxbsFDiagonal:
    case pxbsBDiagonal:
    case pxbsCross:
    case pxbsDiagCross:
      w.FillBrush(area, TBrushStyle(bsHorizontal + (params.Style - pxbsHorizontal)), color);
      break;
    case pxbsChessboard:
      PaintChessboard(w, params, area);
      break;
    case pxbsDiagonals: {
      w.Fill(area, color);
      const TBGR inverse = ToBGR(InverseColor(params.Color));
      // Each line runs from a corner pixel to the opposite corner, which it
      // stops short of as the platform's lines do.
      w.Line(area.Left, area.Top, area.Right, area.Bottom, inverse);
      w.Line(area.Right - 1, area.Top, area.Left - 1, area.Bottom, inverse);
      break;
    }
    case pxbsCropped:
      w.Fill(area, ToBGR(ResolveColor(clBtnFace)));
      PaintCroppedEdge(w, imageRect);
      break;
    case pxbsCropShadow:
      w.Fill(area, color);
      PaintCropShadow(w, color, imageRect);
      break;
    case pxbsGradient:
      PaintGradient(w, ResolveColor(params.Color), ResolveColor(params.GradientEndColor), area);
      break;
    case pxbsSolid:
    default:
      w.Fill(area, color);
      break;
  }
  if (params.WallPaper) PaintWallPaper(w, *params.WallPaper, params.WallPaperStyle, area);
}

}  // namespace rv
