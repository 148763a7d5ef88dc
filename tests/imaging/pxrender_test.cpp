// Scaled rendering: cutting and clipping, index tables, the row writers of
// every source format, blending arithmetic and the filtered path. Expected
// values are worked out by hand in the comments.
#include "imaging/pxrender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace rv {
namespace {

constexpr TColorBGR kMarker{1, 2, 3};

std::unique_ptr<TPxBitmap> MakeRGB(int w, int h, const std::function<TColorBGR(int, int)>& fn) {
  auto b = std::make_unique<TPxBitmap>();
  b->AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b->SetPixelBGR(x, y, fn(x, y));
  return b;
}

// Blue = column, green = row: every source pixel names itself.
std::unique_ptr<TPxBitmap> Coordinates(int w, int h) {
  return MakeRGB(w, h, [](int x, int y) { return TColorBGR{uint8_t(x), uint8_t(y), 99}; });
}

std::unique_ptr<TPxBitmap> Filled(int w, int h, TColorBGR c) {
  return MakeRGB(w, h, [&](int, int) { return c; });
}

std::vector<int> BlueRow(TPxBitmap& b, int y) {
  std::vector<int> v;
  for (int x = 0; x < b.Width(); ++x) v.push_back(b.ColorAt(x, y).b);
  return v;
}

struct CutCase {
  const char* name;
  int dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH;
  // Expected source pixel (column, row) at a few destination pixels; -1 = untouched.
  struct Probe {
    int x, y, srcCol, srcRow;
  } probes[4];
};

TEST(RenderScaled, CutsAtEveryEdge) {
  const CutCase cases[] = {
      // One to one, 10 columns left of the destination: column 0 shows SrcX + 10.
      {"left", -10, 0, 20, 6, 0, 0, 20, 6, {{0, 0, 10, 0}, {7, 5, 17, 5}, {3, 2, 13, 2}, {1, 1, 11, 1}}},
      {"top", 0, -3, 8, 9, 0, 0, 8, 9, {{0, 0, 0, 3}, {7, 5, 7, 8}, {2, 1, 2, 4}, {5, 2, 5, 5}}},
      {"right", 5, 0, 20, 6, 0, 0, 20, 6, {{5, 0, 0, 0}, {7, 5, 2, 5}, {4, 0, -1, -1}, {0, 3, -1, -1}}},
      {"bottom", 0, 4, 8, 10, 0, 0, 8, 10, {{0, 4, 0, 0}, {7, 5, 7, 1}, {0, 3, -1, -1}, {6, 0, -1, -1}}},
      // Enlarged 2x from 3 columns left: rx = 0.5, SrcX += Trunc(3 * 0.5) = 1,
      // then column x shows Trunc(x * 0.5 + 1).
      {"left enlarged", -3, 0, 40, 12, 0, 0, 20, 6, {{0, 0, 1, 0}, {1, 0, 1, 0}, {2, 1, 2, 0}, {7, 5, 4, 2}}},
      // Reduced 2x from one row above: ry = 2, SrcY += 2; row y shows 2y + 2.
      {"top reduced", 0, -1, 8, 5, 0, 0, 16, 10, {{0, 0, 0, 2}, {3, 1, 6, 4}, {7, 3, 14, 8}, {0, 4, -1, -1}}},
      {"outside right", 8, 0, 4, 4, 0, 0, 4, 4, {{0, 0, -1, -1}, {7, 5, -1, -1}, {7, 0, -1, -1}, {0, 5, -1, -1}}},
      {"outside left", -30, 0, 20, 6, 0, 0, 20, 6, {{0, 0, -1, -1}, {7, 5, -1, -1}, {7, 0, -1, -1}, {0, 5, -1, -1}}},
      {"outside bottom", 0, 6, 8, 6, 0, 0, 8, 6, {{0, 0, -1, -1}, {7, 5, -1, -1}, {7, 0, -1, -1}, {0, 5, -1, -1}}},
  };
  auto src = Coordinates(20, 10);
  for (const CutCase& c : cases) {
    for (TPxBitmapFormat format : {pxRGB24, pxGray8}) {
      // pxGray8 takes the table-driven writer even at one to one.
      TPxBitmap gray;
      if (format == pxGray8) {
        gray.AllocatePixels(20, 10, pxGray8);
        for (int y = 0; y < 10; ++y)
          for (int x = 0; x < 20; ++x) gray.SetByteAt(x, y, uint8_t(x + 20 * y));
      }
      TPxBitmap& source = format == pxRGB24 ? *src : gray;
      auto dst = Filled(8, 6, kMarker);
      RenderScaled(source, *dst, c.dstX, c.dstY, c.dstW, c.dstH, c.srcX, c.srcY, c.srcW, c.srcH, 255, rfNone);
      for (const auto& p : c.probes) {
        const TColorBGR got = dst->ColorAt(p.x, p.y);
        if (p.srcCol < 0) {
          EXPECT_EQ(got, kMarker) << c.name << " at " << p.x << "," << p.y;
        } else if (format == pxRGB24) {
          EXPECT_EQ(got, (TColorBGR{uint8_t(p.srcCol), uint8_t(p.srcRow), 99}))
              << c.name << " at " << p.x << "," << p.y;
        } else {
          EXPECT_EQ(got.b, p.srcCol + 20 * p.srcRow) << c.name << " (gray) at " << p.x << "," << p.y;
        }
      }
    }
  }
}

TEST(RenderScaled, ClipRectangleBoundsTheWrites) {
  auto src = Coordinates(8, 6);
  for (bool enlarge : {false, true}) {
    auto dst = Filled(8, 6, kMarker);
    const TRenderClip clip{2, 1, 4, 3};
    RenderScaled(*src, *dst, nullptr, &clip, 0, 0, 8, 6, 0, 0, enlarge ? 4 : 8, enlarge ? 3 : 6, false, false, 255,
                 rfNone, true, 0);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x) {
        const bool inside = x >= 2 && x <= 4 && y >= 1 && y <= 3;
        const TColorBGR expected =
            inside ? TColorBGR{uint8_t(enlarge ? x / 2 : x), uint8_t(enlarge ? y / 2 : y), 99} : kMarker;
        EXPECT_EQ(dst->ColorAt(x, y), expected) << x << "," << y << (enlarge ? " enlarged" : "");
      }
  }
}

TEST(RenderTables, BuiltTablesAreHandedBack) {
  // Source rectangle (2, 0, 12, 6) into 8 x 6: rx = 1.5, so XTable[i] =
  // Trunc(1.5 i + 2); ry = 1.
  auto src = Coordinates(20, 10);
  auto dst = Filled(8, 6, kMarker);
  TRenderTables tables;
  RenderScaled(*src, *dst, &tables, nullptr, 0, 0, 8, 6, 2, 0, 12, 6, false, false, 255, rfNone, false, 0);
  EXPECT_EQ(std::vector<int32_t>(tables.XTable.begin(), tables.XTable.end()),
            (std::vector<int32_t>{2, 3, 5, 6, 8, 9, 11, 12}));
  EXPECT_EQ(std::vector<int32_t>(tables.YTable.begin(), tables.YTable.end()), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
  ASSERT_EQ(tables.RowTable.size(), 6u);
  EXPECT_EQ(tables.RowTable[4], dst->RowPointer(4));
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{2, 3, 5, 6, 8, 9, 11, 12}));

  // Passed back, they are used as they are (here after editing them).
  const std::vector<int32_t> edited = {12, 11, 9, 8, 6, 5, 3, 2};
  tables.XTable = edited;
  auto again = Filled(8, 6, kMarker);
  tables.RowTable = {};  // rows of another bitmap
  RenderScaled(*src, *again, &tables, nullptr, 0, 0, 8, 6, 2, 0, 12, 6, false, false, 255, rfNone, false, 0);
  EXPECT_EQ(BlueRow(*again, 3), (std::vector<int>{12, 11, 9, 8, 6, 5, 3, 2}));
}

TEST(RenderTables, MoveOnlyAndMovedTablesStayValid) {
  static_assert(!std::is_copy_constructible_v<TRenderTables> && !std::is_copy_assignable_v<TRenderTables>);
  static_assert(std::is_nothrow_move_constructible_v<TRenderTables>);
  auto src = Coordinates(20, 10);
  auto dst = Filled(8, 6, kMarker);
  auto built = std::make_unique<TRenderTables>();
  RenderScaled(*src, *dst, built.get(), nullptr, 0, 0, 8, 6, 2, 0, 12, 6, false, false, 255, rfNone, false, 0);
  TRenderTables moved(std::move(*built));
  EXPECT_TRUE(built->XTable.empty() && built->YTable.empty() && built->RowTable.empty());
  built.reset();  // the tables' first owner is gone; the spans must not point into it
  TRenderTables assigned;
  assigned = std::move(moved);
  EXPECT_EQ(std::vector<int32_t>(assigned.XTable.begin(), assigned.XTable.end()),
            (std::vector<int32_t>{2, 3, 5, 6, 8, 9, 11, 12}));
  EXPECT_EQ(assigned.XTable.data(), assigned.OwnedXTable.data());
  auto again = Filled(8, 6, kMarker);
  assigned.RowTable = {};
  RenderScaled(*src, *again, &assigned, nullptr, 0, 0, 8, 6, 2, 0, 12, 6, false, false, 255, rfNone, true, 0);
  EXPECT_EQ(BlueRow(*again, 5), (std::vector<int>{2, 3, 5, 6, 8, 9, 11, 12}));
}

TEST(RenderTables, CallerTablesOutsideThePictureShortenTheSpan) {
  auto src = Coordinates(10, 6);
  struct Case {
    const char* name;
    std::vector<int32_t> x;
    std::vector<int> row;  // blue of destination row 0, -1 = untouched
  } cases[] = {
      {"mirrored", {7, 6, 5, 4, 3, 2, 1, 0}, {7, 6, 5, 4, 3, 2, 1, 0}},
      // Left over from a wider picture: the end is cut off.
      {"too wide", {0, 2, 4, 6, 8, 10, 12, 14}, {0, 2, 4, 6, 8, -1, -1, -1}},
      {"negative start", {-2, -1, 0, 1, 2, 3, 4, 5}, {-1, -1, 0, 1, 2, 3, 4, 5}},
      {"short table", {0, 1, 2}, {0, 1, 2, -1, -1, -1, -1, -1}},
      // A bad entry inside the span: nothing is read, nothing drawn.
      {"hole", {0, 1, 99, 3, 4, 5, 6, 7}, {-1, -1, -1, -1, -1, -1, -1, -1}},
  };
  const std::vector<int32_t> y = {0, 1, 2, 3, 4, 5};
  for (const Case& c : cases) {
    auto dst = Filled(8, 6, kMarker);
    TRenderTables tables;
    tables.XTable = c.x;
    tables.YTable = y;
    RenderScaled(*src, *dst, &tables, nullptr, 0, 0, 8, 6, 0, 0, 5, 3, false, false, 255, rfNone, true, 0);
    std::vector<int> got;
    for (int x = 0; x < 8; ++x) got.push_back(dst->ColorAt(x, 0) == kMarker ? -1 : dst->ColorAt(x, 0).b);
    EXPECT_EQ(got, c.row) << c.name;
  }
}

TEST(RenderTables, CallerRowTableIsUsed) {
  // A row table in reverse order draws the picture upside down.
  auto src = Coordinates(4, 3);
  auto dst = Filled(4, 3, kMarker);
  std::vector<uint8_t*> rows = {dst->RowPointer(2), dst->RowPointer(1), dst->RowPointer(0)};
  TRenderTables tables;
  tables.RowTable = rows;
  RenderScaled(*src, *dst, &tables, nullptr, 0, 0, 4, 3, 0, 0, 4, 3, false, false, 255, rfNone, true, 0);
  EXPECT_EQ(dst->ColorAt(1, 2), (TColorBGR{1, 0, 99}));
  EXPECT_EQ(dst->ColorAt(1, 0), (TColorBGR{1, 2, 99}));
}

struct BlendCase {
  int d, c, alpha, transparency, expected;
};

// d := d + (alpha (c - d)) shr 8, alpha = min(Transparency, source alpha),
// the shift rounding toward minus infinity.
TEST(RenderBlending, Arithmetic) {
  const BlendCase cases[] = {
      {0, 255, 255, 255, 254},  // 65025 shr 8 = 254: full alpha leaves a trace
      {255, 0, 255, 255, 0},    // -65025 shr 8 = -255
      {100, 50, 128, 255, 75},  // -6400 shr 8 = -25
      {100, 51, 128, 255, 75},  // -6272 shr 8 = -24.5 -> -25
      {20, 10, 1, 255, 19},     // -10 shr 8 = -1
      {10, 20, 1, 255, 10},     // 10 shr 8 = 0
      {0, 255, 200, 100, 99},   // alpha min(100, 200) = 100: 25500 shr 8
      {0, 255, 50, 100, 49},    // alpha 50: 12750 shr 8
      {77, 200, 0, 255, 77},    // transparent pixel
  };
  for (const BlendCase& c : cases) {
    const uint8_t cv = uint8_t(c.c), dv = uint8_t(c.d);
    auto src = Filled(1, 1, TColorBGR{cv, cv, cv});
    src->AlphaChannel()->SetByteAt(0, 0, uint8_t(c.alpha));
    src->AlphaChannel()->SetAllOpaque(false);
    auto dst = Filled(1, 1, TColorBGR{dv, dv, dv});
    RenderScaled(*src, *dst, 0, 0, 1, 1, 0, 0, 1, 1, c.transparency, rfNone);
    EXPECT_EQ(dst->ColorAt(0, 0).g, c.expected) << c.d << " " << c.c << " " << c.alpha << " " << c.transparency;
  }
}

TEST(RenderBlending, Transparency128WhiteOverBlackIs127) {
  auto src = Filled(3, 2, TColorBGR{255, 255, 255});
  auto dst = Filled(3, 2, TColorBGR{0, 0, 0});
  RenderScaled(*src, *dst, 0, 0, 3, 2, 0, 0, 3, 2, 128, rfNone);
  EXPECT_EQ(dst->ColorAt(2, 1), (TColorBGR{127, 127, 127}));
}

TEST(RenderBlending, AllOpaqueAlphaIsDrawnOpaque) {
  auto src = Filled(2, 2, TColorBGR{255, 255, 255});
  src->AlphaChannel()->FillWith(100);
  src->AlphaChannel()->SetAllOpaque(true);
  auto dst = Filled(2, 2, TColorBGR{0, 0, 0});
  RenderScaled(*src, *dst, 0, 0, 2, 2, 0, 0, 2, 2, 255, rfNone);
  EXPECT_EQ(dst->ColorAt(1, 1), (TColorBGR{255, 255, 255}));
  // Without AllOpaque the same alpha blends: 100 * 255 shr 8 = 99.
  src->AlphaChannel()->SetAllOpaque(false);
  auto dst2 = Filled(2, 2, TColorBGR{0, 0, 0});
  RenderScaled(*src, *dst2, 0, 0, 2, 2, 0, 0, 2, 2, 255, rfNone);
  EXPECT_EQ(dst2->ColorAt(1, 1), (TColorBGR{99, 99, 99}));
  // UseAlpha false ignores the channel.
  auto dst3 = Filled(2, 2, TColorBGR{0, 0, 0});
  RenderScaled(*src, *dst3, nullptr, nullptr, 0, 0, 2, 2, 0, 0, 2, 2, false, false, 255, rfNone, true, 0);
  EXPECT_EQ(dst3->ColorAt(1, 1), (TColorBGR{255, 255, 255}));
}

TEST(RenderBlending, ReuseRowsCopiesTheRowAbove) {
  // One source row drawn on two destination rows over different backgrounds:
  // with ReuseRows the second row is the first one copied (the caller vouches
  // for equal backgrounds), without it each row blends its own background.
  auto src = Filled(2, 1, TColorBGR{200, 200, 200});
  for (bool reuse : {false, true}) {
    auto dst = MakeRGB(2, 2, [](int, int y) { return y ? TColorBGR{100, 100, 100} : TColorBGR{0, 0, 0}; });
    RenderScaled(*src, *dst, nullptr, nullptr, 0, 0, 2, 2, 0, 0, 2, 1, true, reuse, 128, rfNone, true, 0);
    EXPECT_EQ(dst->ColorAt(0, 0).b, 100);                // 128 * 200 shr 8
    EXPECT_EQ(dst->ColorAt(1, 1).b, reuse ? 100 : 150);  // 100 + 128 * 100 shr 8
  }
}

struct FormatCase {
  TPxBitmapFormat format;
  std::vector<uint8_t> bytes;  // one pixel
  TColorBGR expected;
};

TEST(RenderWriters, EveryFormatConverts) {
  float half = 0.5f, big = 3.0f;
  uint8_t halfBytes[4], bigBytes[4];
  std::memcpy(halfBytes, &half, 4);
  std::memcpy(bigBytes, &big, 4);
  const FormatCase cases[] = {
      {pxRGB24, {10, 20, 30}, {10, 20, 30}},
      {pxMono1, {0x80}, {255, 255, 255}},
      {pxMono1, {0x7F}, {0, 0, 0}},
      {pxGray8, {77}, {77, 77, 77}},
      {pxPalette8, {5}, {5, 250, 9}},                                                      // palette entry 5 below
      {pxGray16, {0xCD, 0xAB}, {0xAB, 0xAB, 0xAB}},                                        // high byte of 0xABCD
      {px32f, {halfBytes[0], halfBytes[1], halfBytes[2], halfBytes[3]}, {127, 127, 127}},  // Trunc(127.5)
      {px32f, {bigBytes[0], bigBytes[1], bigBytes[2], bigBytes[3]}, {253, 253, 253}},      // 765 and 255
      {pxCMYK, {255, 0, 0, 255}, {0, 0, 255}},                              // red = 255*255 div 255; green, blue 0
      {pxCMYK, {200, 100, 50, 128}, {25, 50, 100}},                         // 200*128 div 255 = 100, 50, 25
      {pxRGB48, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, {0x9A, 0x56, 0x12}},  // words R, G, B: high bytes
      {pxCIELab, {0, 0, 0}, {0, 0, 0}},                                     // L = 0 is black
  };
  for (const FormatCase& c : cases) {
    TPxBitmap src;
    src.AllocatePixels(1, 1, c.format);
    std::memcpy(src.RowPointer(0), c.bytes.data(), c.bytes.size());
    if (c.format == pxPalette8)
      for (int i = 0; i < 256; ++i) src.SetPaletteEntry(i, TColorBGR{uint8_t(i), uint8_t(255 - i), 9});
    // Opaque: a 1 x 1 picture stretched over 3 x 2.
    auto dst = Filled(3, 2, kMarker);
    RenderScaled(src, *dst, 0, 0, 3, 2, 0, 0, 1, 1, 255, rfNone);
    EXPECT_EQ(dst->ColorAt(2, 1), c.expected) << FormatName(c.format);
    // Blended at 128 over black: 128 * v shr 8 = v div 2.
    auto black = Filled(3, 2, TColorBGR{0, 0, 0});
    RenderScaled(src, *black, 0, 0, 3, 2, 0, 0, 1, 1, 128, rfNone);
    const TColorBGR half{uint8_t(c.expected.b / 2), uint8_t(c.expected.g / 2), uint8_t(c.expected.r / 2)};
    EXPECT_EQ(black->ColorAt(1, 0), half) << FormatName(c.format) << " blended";
  }
}

TEST(RenderFiltered, FilterOnGrayDrawsNearest) {
  TPxBitmap gray;
  gray.AllocatePixels(2, 1, pxGray8);
  gray.SetByteAt(0, 0, 0);
  gray.SetByteAt(1, 0, 255);
  auto dst = Filled(3, 1, kMarker);
  RenderScaled(gray, *dst, 0, 0, 3, 1, 0, 0, 2, 1, 255, rfLinear);
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{0, 0, 255}));
  // The same picture in 24 bits is filtered: (128*0 + 128*255) div 256.
  auto rgb = MakeRGB(2, 1, [](int x, int) { return x ? TColorBGR{255, 255, 255} : TColorBGR{0, 0, 0}; });
  RenderScaled(*rgb, *dst, 0, 0, 3, 1, 0, 0, 2, 1, 255, rfLinear);
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{0, 127, 255}));
}

std::unique_ptr<TPxBitmap> Checkerboard(int w, int h) {
  auto b = std::make_unique<TPxBitmap>();
  b->AllocatePixels(w, h, pxMono1);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->RowPointer(y);
    std::memset(row, 0, size_t(b->RowLength()));
    for (int x = 0; x < w; ++x)
      if ((x + y) % 2 == 0) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
  }
  return b;
}

TEST(RenderFiltered, MonoHalfSizeWithLinearShowsGrays) {
  // Box average of a checkerboard (see the resampling tests): 127, 127 / 127, 141.
  auto checker = Checkerboard(4, 4);
  auto dst = Filled(2, 2, kMarker);
  RenderScaled(*checker, *dst, 0, 0, 2, 2, 0, 0, 4, 4, 255, rfLinear);
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{127, 127}));
  EXPECT_EQ(BlueRow(*dst, 1), (std::vector<int>{127, 141}));
  // Without a filter the same reduction shows only black and white.
  RenderScaled(*checker, *dst, 0, 0, 2, 2, 0, 0, 4, 4, 255, rfNone);
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{255, 255}));
  // Enlarged, the contributor resampler interpolates: 0, 127, 255 from 0, 255.
  TPxBitmap two;
  two.AllocatePixels(2, 1, pxMono1);
  two.RowPointer(0)[0] = 0x40;
  auto wide = Filled(3, 1, kMarker);
  RenderScaled(two, *wide, 0, 0, 3, 1, 0, 0, 2, 1, 255, rfLinear);
  EXPECT_EQ(BlueRow(*wide, 0), (std::vector<int>{0, 127, 255}));
}

TEST(RenderFiltered, ReducedMonoWithAlphaReadsOnlyItsRectangle) {
  // Columns 0..3 white, 4..7 black. The right half reduced 4x4 -> 2x2 is a
  // box average of black pixels only, so it is black; blocks that reached
  // half a block left of the rectangle counted column 3 (2 of 6 bits: 85).
  // It must equal the same reduction of a copy of the rectangle.
  TPxBitmap mono;
  mono.AllocatePixels(8, 4, pxMono1);
  for (int y = 0; y < 4; ++y) mono.RowPointer(y)[0] = 0xF0;
  mono.AlphaChannel();
  TPxBitmap copy;
  copy.AllocatePixels(4, 4, pxMono1);
  mono.CopyRegionTo(copy, 4, 0, 0, 0, 4, 4);
  copy.AlphaChannel();
  for (TResampleFilter filter : {rfFastLinear, rfBilinear, rfBicubic}) {
    auto fromRect = Filled(2, 2, kMarker);
    RenderScaled(mono, *fromRect, 0, 0, 2, 2, 4, 0, 4, 4, 255, filter);
    auto fromCopy = Filled(2, 2, kMarker);
    RenderScaled(copy, *fromCopy, 0, 0, 2, 2, 0, 0, 4, 4, 255, filter);
    for (int y = 0; y < 2; ++y) {
      EXPECT_EQ(BlueRow(*fromRect, y), (std::vector<int>{0, 0})) << ResampleFilterName(filter) << " row " << y;
      EXPECT_EQ(BlueRow(*fromRect, y), BlueRow(*fromCopy, y)) << ResampleFilterName(filter) << " row " << y;
    }
  }
}

TEST(RenderFiltered, AlphaChannelIsResampledToo) {
  // White picture with alpha 0, 255 enlarged 2 -> 4 with fast linear over
  // black: alpha 0, 127, 255, 255, then 0, 127*255 shr 8 = 126, 254, 254.
  auto src = Filled(2, 1, TColorBGR{255, 255, 255});
  TPxBitmap* a = src->AlphaChannel();
  a->SetByteAt(0, 0, 0);
  a->SetByteAt(1, 0, 255);
  a->SetAllOpaque(false);
  auto dst = Filled(4, 1, TColorBGR{0, 0, 0});
  RenderScaled(*src, *dst, 0, 0, 4, 1, 0, 0, 2, 1, 255, rfFastLinear);
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{0, 126, 254, 254}));
}

TEST(RenderFiltered, FilteredRectangleIsCutLikeTheDirectPath) {
  // 2x enlargement starting 4 columns left of the destination: the source
  // rectangle starts at column 2 (Trunc(4 * 0.5)) and is 2 columns narrower.
  auto src = MakeRGB(8, 1, [](int x, int) {
    const uint8_t v = uint8_t(x * 30);
    return TColorBGR{v, v, v};
  });
  auto dst = Filled(8, 1, kMarker);
  RenderScaled(*src, *dst, -4, 0, 16, 1, 0, 0, 8, 1, 255, rfFastLinear);
  // Cutting the right edge as well (12 -> 8 destination columns, 6 -> 4
  // source columns) leaves columns 2..5 (60, 90, 120, 150) drawn into 8:
  // sx = 2, a + Floor((b - a) * frac / 131072) for f = i / 2.
  EXPECT_EQ(BlueRow(*dst, 0), (std::vector<int>{60, 75, 90, 105, 120, 135, 150, 150}));
}

TEST(RenderScaled, FileBackedDestinationAndAccessRestored) {
  auto src = Coordinates(6, 4);
  src->SetAccess(3);
  TPxBitmap file;
  file.SetMemoryThreshold(0);
  file.AllocatePixels(12, 8, pxRGB24);
  ASSERT_EQ(file.Location(), pxTempFile);
  file.FillWith(0);
  RenderScaled(*src, file, 0, 0, 12, 8, 0, 0, 6, 4, 255, rfNone);
  EXPECT_EQ(file.ColorAt(11, 7), (TColorBGR{5, 3, 99}));
  EXPECT_EQ(file.ColorAt(2, 0), (TColorBGR{1, 0, 99}));
  EXPECT_EQ(src->Access(), 3);
}

TEST(RenderScaled, PlatformBitmapDestination) {
  auto src = Coordinates(4, 4);
  TBitmap bmp;
  bmp.SetPixelFormat(TPixelFormat::pf24bit);
  bmp.SetSize(8, 8);
  RenderScaledToTBitmap(*src, bmp, 0, 0, 8, 8, 0, 0, 4, 4, 255, rfNone);
  uint8_t bgr[3];
  bmp.PixelBGR(7, 5, bgr);
  EXPECT_EQ(bgr[0], 3);
  EXPECT_EQ(bgr[1], 2);
  EXPECT_EQ(bgr[2], 99);
  // Only 24-bit platform bitmaps are drawn on.
  TBitmap gray;
  gray.SetPixelFormat(TPixelFormat::pf8bit);
  gray.SetSize(8, 8);
  std::vector<uint8_t> before(gray.ScanLine(0), gray.ScanLine(0) + gray.RowLength() * 8);
  RenderScaledToTBitmap(*src, gray, 0, 0, 8, 8, 0, 0, 4, 4, 255, rfNone);
  EXPECT_EQ(std::vector<uint8_t>(gray.ScanLine(0), gray.ScanLine(0) + gray.RowLength() * 8), before);
}

}  // namespace
}  // namespace rv
