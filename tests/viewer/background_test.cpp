// Background styles of the picture view painted into a 24-bit bitmap: where
// each style puts which colour, the wallpaper modes, system colours and the
// clipping of every write.
#include "viewer/background.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

namespace rv {
namespace {

// Colours as 0x00BBGGRR, the way callers hand them in.
constexpr uint32_t kGrey = 0xC0C0C0;
constexpr uint32_t kMarker = 0x030201;  // what the bitmap holds before painting

std::unique_ptr<TBitmap> Bitmap(int w, int h, uint32_t fill = kMarker) {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(TPixelFormat::pf24bit);
  b->SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = b->ScanLine(y) + 3 * x;
      p[0] = uint8_t(fill >> 16), p[1] = uint8_t(fill >> 8), p[2] = uint8_t(fill);
    }
  return b;
}

uint32_t At(const TBitmap& b, int x, int y) {
  const uint8_t* p = b.ScanLine(y) + 3 * x;
  return uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16;
}

void Paint(TBitmap& b, const TBackgroundParams& params, TViewRect image = {}, TViewRect area = {},
           TViewRect clip = {}) {
  if (area == TViewRect{}) area = TViewRect{0, 0, b.Width(), b.Height()};
  if (clip == TViewRect{}) clip = area;
  PaintBackground(b, params, image, area, clip);
}

TBackgroundParams Params(TPxBackgroundStyle style, uint32_t color = kGrey) {
  TBackgroundParams p;
  p.Style = style;
  p.Color = color;
  return p;
}

TEST(BackgroundColors, SystemColorsResolveThroughTheTableOrTheHook) {
  struct Case {
    uint32_t color, rgb;
  } cases[] = {
      {0x123456, 0x123456},                       // plain colour
      {clBtnFace, 0xF0F0F0},                      // button face
      {0xFF000000u | COLOR_BTNSHADOW, 0xA0A0A0},  // button shadow
      {0xFF000005, 0xFFFFFF},                     // window
      {0xFF00000D, 0xD77800},                     // highlight, RGB 0, 120, 215
      {0xFF0000FE, 0x000000},                     // no such index
  };
  for (const Case& c : cases) EXPECT_EQ(ResolveColor(c.color), c.rgb) << std::hex << c.color;
  EXPECT_EQ(InverseColor(0x123456), 0xEDCBA9u);
  EXPECT_EQ(InverseColor(clBtnFace), 0x0F0F0Fu);

  SetSystemColorResolver([](int index) { return index == COLOR_BTNFACE ? 0x202122u : 0u; });
  EXPECT_EQ(ResolveColor(clBtnFace), 0x202122u);
  EXPECT_EQ(ResolveColor(0x123456), 0x123456u);
  auto b = Bitmap(4, 4);
  Paint(*b, Params(pxbsSolid, clBtnFace));
  EXPECT_EQ(At(*b, 3, 3), 0x202122u);
  SetSystemColorResolver({});
  EXPECT_EQ(ResolveColor(clBtnFace), 0xF0F0F0u);
}

TEST(BackgroundStyles, ChessboardSquares) {
  const uint32_t inverse = 0x3F3F3F;
  struct Case {
    const char* name;
    TBrushStyle brush;
    TViewRect area;
    struct Probe {
      int x, y;
      uint32_t rgb;
    } probes[5];
  } cases[] = {
      // Direct path: the area's top-left square has the colour.
      {"solid",
       bsSolid,
       {0, 0, 64, 48},
       {{0, 0, kGrey}, {16, 0, inverse}, {16, 16, kGrey}, {15, 15, kGrey}, {0, 16, inverse}}},
      {"solid, area moved",
       bsSolid,
       {5, 3, 64, 48},
       {{5, 3, kGrey}, {20, 18, kGrey}, {21, 3, inverse}, {5, 19, inverse}, {63, 47, inverse}}},
      // Canvas path with the cross hatch: the top-left square is the
      // inverse colour; lines on row 4 and column 4 of every 8 x 8 cell,
      // white between them.
      {"cross brush",
       bsCross,
       {0, 0, 64, 48},
       {{4, 4, inverse}, {20, 4, kGrey}, {20, 20, inverse}, {0, 0, 0xFFFFFF}, {4, 20, kGrey}}},
  };
  for (const Case& c : cases) {
    auto b = Bitmap(64, 48);
    TBackgroundParams p = Params(pxbsChessboard);
    p.ChessboardBrushStyle = c.brush;
    p.ChessboardCellSize = 16;
    Paint(*b, p, {}, c.area);
    for (const auto& probe : c.probes)
      EXPECT_EQ(At(*b, probe.x, probe.y), probe.rgb) << c.name << " at " << probe.x << "," << probe.y;
  }
  // A clear brush paints no squares.
  auto b = Bitmap(32, 32);
  TBackgroundParams p = Params(pxbsChessboard);
  p.ChessboardBrushStyle = bsClear;
  Paint(*b, p);
  EXPECT_EQ(At(*b, 0, 0), kMarker);
  EXPECT_EQ(At(*b, 20, 4), kMarker);
}

TEST(BackgroundStyles, HatchesFollowThePlatformPatterns) {
  // The platform's 8 x 8 hatch cells ('#' = line in the colour, '.' = the
  // white gap), anchored at the bitmap's (0, 0).
  struct Case {
    TPxBackgroundStyle style;
    const char* rows[8];
  } cases[] = {
      {pxbsHorizontal,
       {"........", "........", "........", "........", "########", "........", "........", "........"}},
      {pxbsVertical, {"....#...", "....#...", "....#...", "....#...", "....#...", "....#...", "....#...", "....#..."}},
      {pxbsFDiagonal, {"#.......", ".#......", "..#.....", "...#....", "....#...", ".....#..", "......#.", ".......#"}},
      {pxbsBDiagonal, {".......#", "......#.", ".....#..", "....#...", "...#....", "..#.....", ".#......", "#......."}},
      {pxbsCross, {"....#...", "....#...", "....#...", "....#...", "########", "....#...", "....#...", "....#..."}},
      {pxbsDiagCross, {"#......#", ".#....#.", "..#..#..", "...##...", "...##...", "..#..#..", ".#....#.", "#......#"}},
  };
  for (const Case& c : cases) {
    auto b = Bitmap(24, 20);
    // The area starts off the pattern's grid: the pattern stays on the bitmap's.
    Paint(*b, Params(c.style), {}, TViewRect{3, 5, 24, 20});
    for (int y = 5; y < 20; ++y)
      for (int x = 3; x < 24; ++x) {
        const uint32_t expected = c.rows[y % 8][x % 8] == '#' ? kGrey : 0xFFFFFF;
        ASSERT_EQ(At(*b, x, y), expected) << "style " << c.style << " at " << x << "," << y;
      }
    EXPECT_EQ(At(*b, 2, 10), kMarker);
    EXPECT_EQ(At(*b, 10, 4), kMarker);
  }
}

TEST(BackgroundStyles, DiagonalsInTheInverseColour) {
  auto b = Bitmap(10, 10);
  Paint(*b, Params(pxbsDiagonals));
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      const bool onLine = x == y || x == 9 - y;
      EXPECT_EQ(At(*b, x, y), onLine ? 0x3F3F3Fu : kGrey) << x << "," << y;
    }
}

TEST(BackgroundStyles, CroppedDrawsASunkenEdgeAroundThePicture) {
  auto b = Bitmap(70, 60);
  const TViewRect image{20, 20, 50, 40};
  Paint(*b, Params(pxbsCropped, 0x0000FF), image);
  struct Probe {
    int x, y;
    uint32_t rgb;
  } probes[] = {
      {5, 5, 0xF0F0F0},    // button face, not the colour
      {18, 30, 0xA0A0A0},  // outer left: shadow
      {19, 30, 0x696969},  // inner left: dark shadow
      {30, 18, 0xA0A0A0},  // outer top
      {30, 19, 0x696969},  // inner top
      {50, 30, 0xE3E3E3},  // inner right: light
      {51, 30, 0xFFFFFF},  // outer right: highlight
      {30, 40, 0xE3E3E3},  // inner bottom
      {30, 41, 0xFFFFFF},  // outer bottom
      {52, 30, 0xF0F0F0},  // beyond the edge
      {18, 41, 0xFFFFFF},  // bottom-left corner: the bottom line is drawn last
      {30, 30, 0xF0F0F0},  // under the picture: filled
  };
  for (const Probe& p : probes) EXPECT_EQ(At(*b, p.x, p.y), p.rgb) << p.x << "," << p.y;
  // A picture narrower than 2 pixels gets no edge.
  auto thin = Bitmap(70, 60);
  Paint(*thin, Params(pxbsCropped), TViewRect{20, 20, 21, 40});
  EXPECT_EQ(At(*thin, 18, 30), 0xF0F0F0u);
}

TEST(BackgroundStyles, CropShadowDarkestNextToThePicture) {
  auto b = Bitmap(100, 80);
  const TViewRect image{10, 10, 60, 40};
  Paint(*b, Params(pxbsCropShadow), image);
  auto channel = [&](int x, int y) { return int(At(*b, x, y) & 0xFF); };
  // Next to the picture the factor is exp(-0.1 - 9/6) = 0.2019: 192 -> 38;
  // at the outer line exp(-0.1 - 0.36/6) = 0.852: 192 -> 163.
  for (auto [x, y, step] : {std::tuple{60, 25, 1}, std::tuple{35, 40, 0}}) {
    std::vector<int> band;
    for (int k = 0; k < kCropShadowWidth + 1; ++k) band.push_back(step ? channel(x + k, y) : channel(x, y + k));
    EXPECT_EQ(band.front(), int(192 * std::exp(-1.6)));
    EXPECT_EQ(band[kCropShadowWidth - 1], int(192 * std::exp(-0.16)));
    EXPECT_EQ(band.back(), 192);  // past the band: the background
    for (size_t i = 1; i < band.size(); ++i) EXPECT_LT(band[i - 1], band[i]) << x << "," << y << " line " << i;
  }
  EXPECT_EQ(channel(60, 12), 192);  // the right band starts below the picture's top
  EXPECT_EQ(channel(12, 40), 192);  // the bottom band right of its left edge
  EXPECT_EQ(channel(60, 40), 38);   // the corner next to the picture
  EXPECT_EQ(channel(64, 44), 192);  // the corner's rounded outer end
  EXPECT_EQ(channel(9, 25), 192);   // nothing left of the picture
  // Too small a picture has no shadow.
  auto small = Bitmap(100, 80);
  Paint(*small, Params(pxbsCropShadow), TViewRect{10, 10, 11, 40});
  EXPECT_EQ(At(*small, 11, 25), kGrey);
}

TEST(BackgroundStyles, GradientFromTopToBottom) {
  auto b = Bitmap(7, 101);
  TBackgroundParams p = Params(pxbsGradient, 0x0000FF);
  p.GradientEndColor = 0xFF0000;
  Paint(*b, p);
  EXPECT_EQ(At(*b, 0, 0), 0x0000FFu);
  EXPECT_EQ(At(*b, 6, 100), 0xFF0000u);
  EXPECT_EQ(At(*b, 3, 50), 0x800080u);  // 127.5 rounded both ways
  EXPECT_EQ(At(*b, 3, 25), 0x4000BFu);  // 63.75 -> 64, 191.25 -> 191
}

TEST(BackgroundWallPaper, NormalStretchAndTile) {
  // A 3 x 2 paper whose pixels name themselves (red = column, green = row).
  auto paper = Bitmap(3, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      uint8_t* p = paper->ScanLine(y) + 3 * x;
      p[0] = 200, p[1] = uint8_t(y), p[2] = uint8_t(x);
    }
  auto pixel = [](int x, int y) { return uint32_t(x) | uint32_t(y) << 8 | 200u << 16; };
  TBackgroundParams p = Params(pxbsSolid);
  p.WallPaper = paper.get();

  p.WallPaperStyle = pxwoTile;
  auto tiled = Bitmap(10, 7);
  Paint(*tiled, p);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x) EXPECT_EQ(At(*tiled, x, y), pixel(x % 3, y % 2)) << x << "," << y;

  p.WallPaperStyle = pxwoNormal;
  auto once = Bitmap(10, 7);
  Paint(*once, p);
  EXPECT_EQ(At(*once, 2, 1), pixel(2, 1));
  EXPECT_EQ(At(*once, 3, 0), kGrey);
  EXPECT_EQ(At(*once, 0, 2), kGrey);

  p.WallPaperStyle = pxwoStretch;
  auto stretched = Bitmap(9, 8);
  Paint(*stretched, p);
  EXPECT_EQ(At(*stretched, 0, 0), pixel(0, 0));
  EXPECT_EQ(At(*stretched, 8, 7), pixel(2, 1));
  EXPECT_EQ(At(*stretched, 3, 3), pixel(1, 0));
  EXPECT_EQ(At(*stretched, 5, 4), pixel(1, 1));
}

TEST(BackgroundClip, NothingIsWrittenOutsideClipAndArea) {
  auto paper = Bitmap(5, 5, 0x445566);
  for (int style = pxbsSolid; style <= pxbsGradient; ++style)
    for (bool withPaper : {false, true}) {
      TBackgroundParams p = Params(TPxBackgroundStyle(style));
      if (withPaper) {
        p.WallPaper = paper.get();
        p.WallPaperStyle = pxwoTile;
      }
      // The area spills over the bitmap's right edge; the clip over the
      // area's top; the picture sits partly inside the clip.
      const TViewRect area{8, 6, 60, 36}, clip{12, 2, 40, 30}, image{14, 10, 36, 26};
      auto b = Bitmap(48, 40);
      PaintBackground(*b, p, image, area, clip);
      int changed = 0;
      for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) {
          const bool inside = x >= 12 && x < 40 && y >= 6 && y < 30;
          if (!inside) {
            ASSERT_EQ(At(*b, x, y), kMarker) << "style " << style << " at " << x << "," << y;
          }
          changed += At(*b, x, y) != kMarker;
        }
      EXPECT_GT(changed, 0) << "style " << style;
    }
  // Another depth is left alone.
  TBitmap gray;
  gray.SetPixelFormat(TPixelFormat::pf8bit);
  gray.SetSize(4, 4);
  std::memset(gray.ScanLine(0), 7, size_t(gray.RowLength()) * 4);
  PaintBackground(gray, Params(pxbsSolid), {}, {0, 0, 4, 4}, {0, 0, 4, 4});
  EXPECT_EQ(gray.ScanLine(3)[3], 7);
}

}  // namespace
}  // namespace rv
