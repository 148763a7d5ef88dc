#include "imaging/pxrotate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace rv {
namespace {

using Bytes = std::vector<uint8_t>;

void UseStore(TPxBitmap& b, TPxBitmapStorage store) {
  if (store == pxTempFile) b.SetMemoryThreshold(0);  // every picture goes to a file
  b.SetLocation(store);
}

// The raw bytes of one pixel (one byte 0/1 for pxMono1).
Bytes PixelAt(TPxBitmap& b, int x, int y) {
  const uint8_t* row = b.RowPointer(y);
  const int n = FormatBytesPerPixel(b.Format());
  if (n == 0) return {uint8_t((row[x >> 3] >> (7 - (x & 7))) & 1)};
  return Bytes(row + size_t(x) * n, row + size_t(x + 1) * n);
}

void SetPixel(TPxBitmap& b, int x, int y, const Bytes& v) {
  uint8_t* row = b.RowPointer(y);
  const int n = FormatBytesPerPixel(b.Format());
  if (n == 0) {
    const uint8_t mask = uint8_t(0x80 >> (x & 7));
    row[x >> 3] = v[0] ? (row[x >> 3] | mask) : (row[x >> 3] & ~mask);
    return;
  }
  std::memcpy(row + size_t(x) * n, v.data(), size_t(n));
}

// Distinct bytes for every pixel (two values only for pxMono1).
Bytes PatternPixel(TPxBitmapFormat f, int x, int y) {
  const int n = FormatBytesPerPixel(f);
  if (n == 0) return {uint8_t(((x * 5 + y * 3) % 7) < 3)};
  Bytes v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[size_t(i)] = uint8_t(x * 37 + y * 101 + i * 59 + 7);
  return v;
}

void FillPattern(TPxBitmap& b) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) SetPixel(b, x, y, PatternPixel(b.Format(), x, y));
}

void MakePicture(TPxBitmap& b, TPxBitmapStorage store, int w, int h, TPxBitmapFormat f) {
  UseStore(b, store);
  b.AllocatePixels(w, h, f);
  // Padding set, so that any padding moved into the picture shows.
  for (int y = 0; y < h; ++y) std::memset(b.RowPointer(y), 0xFF, size_t(b.RowLength()));
  FillPattern(b);
  if (b.Palette())
    for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, MakeBGR(uint8_t(i), uint8_t(255 - i), uint8_t(i / 3)));
}

// Every pixel of `turned` is the pixel of `source` that `map` names.
template <typename Map>
::testing::AssertionResult Matches(TPxBitmap& source, TPxBitmap& turned, int w, int h, Map map) {
  if (turned.Width() != w || turned.Height() != h)
    return ::testing::AssertionFailure() << "size " << turned.Width() << " x " << turned.Height();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int sx = 0, sy = 0;
      map(x, y, sx, sy);
      if (PixelAt(turned, x, y) != PixelAt(source, sx, sy))
        return ::testing::AssertionFailure()
               << "pixel (" << x << ", " << y << ") is not source (" << sx << ", " << sy << ")";
    }
  return ::testing::AssertionSuccess();
}

struct TFormatStore {
  TPxBitmapFormat Format;
  TPxBitmapStorage Store;
};

std::string CaseName(const ::testing::TestParamInfo<TFormatStore>& info) {
  const char* stores[] = {"Memory", "TempFile", "TBitmap"};
  return std::string(FormatName(info.param.Format)) + stores[info.param.Store];
}

std::vector<TFormatStore> AllFormatsAndStores() {
  std::vector<TFormatStore> cases;
  for (int f = pxMono1; f <= pxCIELab; ++f) {
    cases.push_back({TPxBitmapFormat(f), pxInMemory});
    cases.push_back({TPxBitmapFormat(f), pxTempFile});
  }
  // What a platform bitmap can hold.
  for (TPxBitmapFormat f : {pxMono1, pxPalette8, pxGray8, pxRGB24}) cases.push_back({f, pxTBitmap});
  return cases;
}

class RotateEveryFormat : public ::testing::TestWithParam<TFormatStore> {};

// Odd sizes, wider than one 64-pixel block, not a multiple of 8 bits.
constexpr int kW = 77, kH = 70;

TEST_P(RotateEveryFormat, QuarterTurnsMoveEveryPixelWhereTheFormulaSays) {
  TPxBitmap source, cw, ccw, half;
  MakePicture(source, GetParam().Store, kW, kH, GetParam().Format);
  QuarterTurnClockwise(source, cw);
  EXPECT_TRUE(Matches(source, cw, kH, kW, [](int x, int y, int& sx, int& sy) { sx = y, sy = kH - 1 - x; }));
  QuarterTurnCounterClockwise(source, ccw);
  EXPECT_TRUE(Matches(source, ccw, kH, kW, [](int x, int y, int& sx, int& sy) { sx = kW - 1 - y, sy = x; }));
  HalfTurn(source, half);
  EXPECT_TRUE(Matches(source, half, kW, kH, [](int x, int y, int& sx, int& sy) { sx = kW - 1 - x, sy = kH - 1 - y; }));
  EXPECT_EQ(cw.Format(), GetParam().Format);
}

TEST_P(RotateEveryFormat, FourQuarterTurnsGiveThePictureBack) {
  for (double angle : {90.0, -90.0}) {
    TPxBitmap source, b;
    MakePicture(source, GetParam().Store, kW, kH, GetParam().Format);
    MakePicture(b, GetParam().Store, kW, kH, GetParam().Format);
    for (int i = 0; i < 4; ++i) RotateBitmap(b, angle, true, 0, MakeBGR(9, 9, 9));
    EXPECT_TRUE(Matches(source, b, kW, kH, [](int x, int y, int& sx, int& sy) { sx = x, sy = y; })) << angle;
    if (b.Palette()) {
      EXPECT_EQ(b.Palette()[200], source.Palette()[200]);
    }
  }
}

TEST_P(RotateEveryFormat, MirrorReversesRowsOrColumns) {
  TPxBitmap source, lr, tb;
  MakePicture(source, GetParam().Store, kW, kH, GetParam().Format);
  MakePicture(lr, GetParam().Store, kW, kH, GetParam().Format);
  MakePicture(tb, GetParam().Store, kW, kH, GetParam().Format);
  Mirror(lr, false);
  EXPECT_TRUE(Matches(source, lr, kW, kH, [](int x, int y, int& sx, int& sy) { sx = kW - 1 - x, sy = y; }));
  Mirror(tb, true);
  EXPECT_TRUE(Matches(source, tb, kW, kH, [](int x, int y, int& sx, int& sy) { sx = x, sy = kH - 1 - y; }));
}

// Any angle: the three shears for most formats, the 1-bit method for pxMono1.
// A constant picture stays constant inside, the new corners get the
// background, and the result has the size the method computes.
TEST_P(RotateEveryFormat, ArbitraryAngleKeepsAConstantPictureAndFillsCorners) {
  const TPxBitmapFormat f = GetParam().Format;
  TPxBitmap b;
  UseStore(b, GetParam().Store);
  b.AllocatePixels(kW, kH, f);
  if (b.Palette())
    for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, MakeBGR(uint8_t(i), uint8_t(i), 0));
  // A value that every blend of equal pixels must reproduce exactly.
  Bytes inside = PatternPixel(f, 3, 4);
  if (f == px32f) {
    const float v = 0.3f;
    std::memcpy(inside.data(), &v, 4);
  }
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) SetPixel(b, x, y, inside);
  const TColorBGR background = MakeBGR(200, 100, 50);
  const Bytes expectedBackground = [&] {
    const TPxPixelBytes p = BackgroundPixel(b, background);
    return Bytes(p.Bytes, p.Bytes + std::max(FormatBytesPerPixel(f), 1));
  }();
  int64_t w = 0, h = 0;
  ASSERT_TRUE(RotatedBitmapSize(kW, kH, f, 30, true, 0, w, h));
  RotateBitmap(b, 30, true, 0, background);
  // About the turned box: 77 cos 30 + 70 sin 30 = 101.7 by 77 sin 30 + 70 cos 30 = 99.1.
  EXPECT_NEAR(b.Width(), 101.7, 2.5);
  EXPECT_NEAR(b.Height(), 99.1, 2.5);
  EXPECT_LE(b.Width(), w);
  EXPECT_LE(b.Height(), h);
  EXPECT_EQ(b.Format(), f);
  EXPECT_EQ(PixelAt(b, 0, 0), expectedBackground);
  EXPECT_EQ(PixelAt(b, b.Width() - 1, b.Height() - 1), expectedBackground);
  EXPECT_EQ(PixelAt(b, b.Width() / 2, b.Height() / 2), inside);
}

INSTANTIATE_TEST_SUITE_P(Formats, RotateEveryFormat, ::testing::ValuesIn(AllFormatsAndStores()), CaseName);

TEST(Rotate, ClockwiseQuarterTurnOf400By300MovesTheCorners) {
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(400, 300, pxRGB24);
  FillPattern(b);
  const TColorBGR topLeft = MakeBGR(255, 0, 0), topRight = MakeBGR(0, 255, 0);
  const TColorBGR bottomLeft = MakeBGR(0, 0, 255), bottomRight = MakeBGR(255, 255, 0);
  b.SetPixelBGR(0, 0, topLeft);
  b.SetPixelBGR(399, 0, topRight);
  b.SetPixelBGR(0, 299, bottomLeft);
  b.SetPixelBGR(399, 299, bottomRight);
  RotateBitmap(b, -90, true, 0, TColorBGR{});
  ASSERT_EQ(b.Width(), 300);
  ASSERT_EQ(b.Height(), 400);
  // Clockwise: the left column becomes the top row, read from the bottom up.
  EXPECT_EQ(b.PixelBGR(0, 0), bottomLeft);
  EXPECT_EQ(b.PixelBGR(299, 0), topLeft);
  EXPECT_EQ(b.PixelBGR(299, 399), topRight);
  EXPECT_EQ(b.PixelBGR(0, 399), bottomRight);
}

// Larger than the blocks the 24-bit turn works in, both ways.
TEST(Rotate, QuarterTurnsAcrossManyBlocks) {
  constexpr int w = 1100, h = 601;
  TPxBitmap source, cw, ccw;
  MakePicture(source, pxInMemory, w, h, pxRGB24);
  QuarterTurnClockwise(source, cw);
  EXPECT_TRUE(Matches(source, cw, h, w, [](int x, int y, int& sx, int& sy) { sx = y, sy = h - 1 - x; }));
  QuarterTurnCounterClockwise(source, ccw);
  EXPECT_TRUE(Matches(source, ccw, h, w, [](int x, int y, int& sx, int& sy) { sx = w - 1 - y, sy = x; }));
  // Turning into a picture of the right size again reuses it.
  uint8_t* storage = cw.RowPointer(0);
  QuarterTurnClockwise(source, cw);
  EXPECT_EQ(cw.RowPointer(0), storage);
  EXPECT_TRUE(Matches(source, cw, h, w, [](int x, int y, int& sx, int& sy) { sx = y, sy = h - 1 - x; }));
}

// Colours standing for the pixels of a small source picture, "a" = (0, 0).
TColorBGR Label(int i) {
  return MakeBGR(uint8_t(10 + 20 * i), uint8_t(250 - 15 * i), uint8_t(7 * i + 1));
}

// The 4 x 3 picture turned by 25 degrees without antialiasing, followed by
// hand (pXY = source pixel (X, Y), "-" background; tn = tan 12.5 deg =
// 0.22169, sn = sin 25 deg = 0.42262):
//  shear 1 moves row r right by Round(r tn) = 0, 0, 0 (0.443 rounds down);
//    the buffer is Round(3 tn + 4 + 1) = 6 wide;
//  shear 2 moves column x down by Round((6 - x) sn) = 3, 2, 2, 1, 1, 0 less
//    the smallest row reached, 1 (row 0 at column 3), so rows land at
//    y + 2, y + 1, y + 1, y + 0 for the picture's columns 0..3;
//  shear 3 moves row y right by Round(y tn) = 0, 0, 0, 1, 1 less the
//    leftmost column reached, 0 (p00 in row 2).
// Every source pixel appears once and the box is tight.
TEST(Rotate, ThreeShearsWithoutAntialiasMatchTheHandTrace) {
  const char* expected[5] = {
      "-- -- -- 30",  //
      "-- 10 20 31",  //
      "00 11 21 32",  //
      "-- 01 12 22",  //
      "-- 02 -- --",
  };
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(4, 3, pxRGB24);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) b.SetPixelBGR(x, y, Label(y * 4 + x));
  const TColorBGR background = MakeBGR(1, 2, 3);
  RotateBitmap(b, 25, false, 0, background);
  ASSERT_EQ(b.Width(), 4);
  ASSERT_EQ(b.Height(), 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 4; ++x) {
      const char* cell = expected[y] + 3 * x;
      const TColorBGR want = cell[0] == '-' ? background : Label((cell[1] - '0') * 4 + (cell[0] - '0'));
      EXPECT_EQ(b.PixelBGR(x, y), want) << "(" << x << ", " << y << ")";
    }
}

// The same turn with antialiasing on a gray picture of 200 on black; blends
// are v = clamp((prev A + p (4096 - A) + 2048) >> 12). By hand:
//  shear 1: A = Trunc(r tn 4096) = 0, 908, 1816: rows
//    200 200 200 200 0 0 / 156 200 200 200 44 0 / 111 200 200 200 89 0;
//  shear 2: A = -1902, 463, -1268, 1097, -634, 1731 by column; its rows 1, 2:
//    0 177 255 200 51 0 / 255 200 200 200 96 0 (e.g. column 1, row 1:
//    (200 * 3633 + 2048) >> 12 = 177);
//  shear 3: rows 1 and 2 keep their place (Round(y tn) = 0, leftmost column
//    0) with A = 908 and 1816: row 1 = 0, (177 * 3188 + 2048) >> 12 = 138,
//    (177 * 908 + 255 * 3188 + 2048) >> 12 = 238, 212, 84 and the trailing
//    blend (51 * 908 + 2048) >> 12 = 11; row 2 = (255 * 2280 + 2048) >> 12 =
//    142, 224, 200, 200, 142, 43.
TEST(Rotate, ThreeShearsWithAntialiasMatchTheHandTrace) {
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(4, 3, pxGray8);
  b.FillWith(200);
  RotateBitmap(b, 25, true, 0, TColorBGR{});
  ASSERT_EQ(b.Width(), 6);
  ASSERT_EQ(b.Height(), 5);
  const int row1[6] = {0, 138, 238, 212, 84, 11};
  const int row2[6] = {142, 224, 200, 200, 142, 43};
  for (int x = 0; x < 6; ++x) {
    EXPECT_EQ(b.ByteAt(x, 1), row1[x]) << x;
    EXPECT_EQ(b.ByteAt(x, 2), row2[x]) << x;
  }
}

// Offsets and sizes taken from closed formulas cut off edge pixels for many
// sizes and angles (4 x 3 at 25 degrees loses p00 that way). Every source
// pixel must land exactly once, in a box whose edges all hold picture.
TEST(Rotate, ThreeShearsLoseNoPixelAndFitTightly) {
  for (int w = 1; w <= 13; w += 3)
    for (int h = 1; h <= 13; h += 2)
      for (double angle : {-45.0, -33.3, -25.0, -12.5, -1.0, 0.7, 7.3, 25.0, 30.0, 37.0, 44.9, 45.0}) {
        TPxBitmap b;
        UseStore(b, pxInMemory);
        b.AllocatePixels(w, h, pxRGB24);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) b.SetPixelBGR(x, y, MakeBGR(uint8_t(x + 1), uint8_t(y + 1), 7));
        RotateBitmap(b, angle, false, 0, TColorBGR{});
        std::vector<int> seen(size_t(w * h));
        std::vector<bool> rowUsed(size_t(b.Height())), colUsed(size_t(b.Width()));
        for (int y = 0; y < b.Height(); ++y)
          for (int x = 0; x < b.Width(); ++x) {
            const TColorBGR c = b.PixelBGR(x, y);
            if (c.b != 7) continue;
            ++seen[size_t((c.g - 1) * w + c.r - 1)];
            rowUsed[size_t(y)] = colUsed[size_t(x)] = true;
          }
        const std::string where = std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(angle);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), w * h) << where;
        EXPECT_TRUE(rowUsed.front() && rowUsed.back() && colUsed.front() && colUsed.back()) << where;
      }
}

// A blend of a pixel with itself must give it back: odd values too, and
// 255 must not overflow.
TEST(Rotate, AntialiasKeepsEveryValueOfAFlatArea) {
  for (int v : {101, 255, 0, 17}) {
    TPxBitmap b;
    UseStore(b, pxInMemory);
    b.AllocatePixels(40, 30, pxGray8);
    b.FillWith(v);
    RotateBitmap(b, 17.5, true, 0, TColorBGR{});
    EXPECT_EQ(b.ByteAt(b.Width() / 2, b.Height() / 2), v);
  }
}

// The 1-bit method on a 5 x 3 picture turned by 30 degrees. theta = -30 deg,
// cs = Trunc(0.8660 * 10^4) / 10^4 = 0.866, sn = Trunc(-0.49999 * 10^4) /
// 10^4 = -0.4999; size Round(5 cs + 3 |sn|) x Round(5 |sn| + 3 cs) = 6 x 5.
// Result (k, j) takes source (Floor(2.5 + sn u + cs v), Floor(1.5 + cs u - sn v))
// with u = j - 2, v = k - 2.5; e.g. (3, 0): u = -2, v = 0.5 gives
// x = 2.5 + 0.9998 + 0.433 = 3.93, y = 1.5 - 1.732 + 0.25 = 0.018 -> (3, 0).
TEST(Rotate, OneBitMethodMatchesTheHandTrace) {
  const char* expected[5] = {
      "-- -- -- 30 40 --",  //
      "-- -- 20 30 41 --",  //
      "00 10 21 21 32 42",  //
      "-- 01 12 22 -- --",  //
      "-- 02 12 -- -- --",
  };
  int64_t w = 0, h = 0;
  NearestRotatedSize(5, 3, 30, w, h);
  EXPECT_EQ(w, 6);
  EXPECT_EQ(h, 5);
  // Gray samples: the method works on bytes as well as on bits.
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(5, 3, pxGray8);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) b.SetByteAt(x, y, uint8_t(10 + y * 5 + x));
  TPxBitmap turned;
  TPxPixelBytes background;
  background.Bytes[0] = 250;
  NearestRotate(b, turned, 30, background);
  ASSERT_EQ(turned.Width(), 6);
  ASSERT_EQ(turned.Height(), 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      const char* cell = expected[y] + 3 * x;
      const int want = cell[0] == '-' ? 250 : 10 + (cell[1] - '0') * 5 + (cell[0] - '0');
      EXPECT_EQ(turned.ByteAt(x, y), want) << "(" << x << ", " << y << ")";
    }
}

// Truncating the size and both offsets would drop the last row and column
// and double the middle ones for any small angle.
TEST(Rotate, OneBitMethodKeepsEveryPixelAtATinyAngle) {
  TPxBitmap source, b;
  MakePicture(source, pxInMemory, 16, 16, pxMono1);
  MakePicture(b, pxInMemory, 16, 16, pxMono1);
  RotateBitmap(b, 0.01, false, 0, TColorBGR{});
  EXPECT_TRUE(Matches(source, b, 16, 16, [](int x, int y, int& sx, int& sy) { sx = x, sy = y; }));
}

TEST(Rotate, HalfTurnOfMonoRowReversesOnlyThePicturePixels) {
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(10, 1, pxMono1);
  uint8_t* row = b.RowPointer(0);
  row[0] = 0b10110010;
  row[1] = 0b01111111;  // pixels 8, 9 = 0, 1; the padding bits are set
  row[2] = row[3] = 0xFF;
  RotateBitmap(b, 180, false, 0, TColorBGR{});
  const int want[10] = {1, 0, 0, 1, 0, 0, 1, 1, 0, 1};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(PixelAt(b, x, 0)[0], want[x]) << x;
}

TEST(Rotate, MirrorOfMonoRowReversesOnlyThePicturePixels) {
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(10, 1, pxMono1);
  uint8_t* row = b.RowPointer(0);
  row[0] = 0b10110010;
  row[1] = 0b01111111;
  row[2] = row[3] = 0xFF;
  Mirror(b, false);
  const int want[10] = {1, 0, 0, 1, 0, 0, 1, 1, 0, 1};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(PixelAt(b, x, 0)[0], want[x]) << x;
}

TEST(Rotate, ClockwiseQuarterTurnOfMono10By3) {
  TPxBitmap source, b;
  MakePicture(source, pxInMemory, 10, 3, pxMono1);
  MakePicture(b, pxInMemory, 10, 3, pxMono1);
  RotateBitmap(b, -90, false, 0, TColorBGR{});
  EXPECT_EQ(b.Format(), pxMono1);
  EXPECT_TRUE(Matches(source, b, 3, 10, [](int x, int y, int& sx, int& sy) { sx = y, sy = 2 - x; }));
}

TEST(Rotate, WholeTurnsAndTheirEquivalentsAgree) {
  struct Case {
    double a, b;
  } cases[] = {{270, -90}, {-270, 90}, {450, 90}, {-180, 180}, {360, 0}, {-720, 0}, {90.0004, 90}};
  for (const Case& c : cases) {
    for (TPxBitmapFormat f : {pxRGB24, pxMono1, pxGray16}) {
      TPxBitmap x, y;
      MakePicture(x, pxInMemory, 9, 5, f);
      MakePicture(y, pxInMemory, 9, 5, f);
      RotateBitmap(x, c.a, false, 0, TColorBGR{});
      if (c.b != 0) RotateBitmap(y, c.b, false, 0, TColorBGR{});
      EXPECT_TRUE(Matches(y, x, y.Width(), y.Height(), [](int px, int py, int& sx, int& sy) { sx = px, sy = py; }))
          << c.a << " " << FormatName(f);
    }
  }
}

TEST(Rotate, AnglesThatAreNoRotationChangeNothing) {
  for (double angle : {0.0, std::nan(""), std::numeric_limits<double>::infinity(), 0.0004}) {
    TPxBitmap source, b;
    MakePicture(source, pxInMemory, 9, 5, pxRGB24);
    MakePicture(b, pxInMemory, 9, 5, pxRGB24);
    RotateBitmap(b, angle, true, 0, TColorBGR{});
    EXPECT_TRUE(Matches(source, b, 9, 5, [](int x, int y, int& sx, int& sy) { sx = x, sy = y; })) << angle;
  }
}

TEST(Rotate, HugeAnglesAreReducedWithoutOverflow) {
  // Far beyond one turn: reduced exactly, no integer conversion overflows.
  TPxBitmap b;
  MakePicture(b, pxInMemory, 9, 5, pxRGB24);
  int64_t w = 0, h = 0;
  ASSERT_TRUE(RotatedBitmapSize(9, 5, pxRGB24, 1e300, true, 0, w, h));
  RotateBitmap(b, 1e300, true, 0, TColorBGR{});
  EXPECT_EQ(b.Width(), w);
  EXPECT_EQ(b.Height(), h);
}

TEST(Rotate, ResultsTooLargeToHoldAreRefusedBeforehand) {
  int64_t w = 0, h = 0;
  EXPECT_FALSE(RotatedBitmapSize(2000000000, 2000000000, pxRGB24, 30, true, 0, w, h));
  EXPECT_FALSE(RotatedBitmapSize(2000000000, 1000, pxMono1, 45, true, 0, w, h));
  EXPECT_TRUE(RotatedBitmapSize(2000000000, 1000, pxMono1, 0, true, 0, w, h));
  EXPECT_TRUE(RotatedBitmapSize(60000, 40000, pxRGB24, -90, true, 0, w, h));
  EXPECT_EQ(w, 40000);
  EXPECT_EQ(h, 60000);
}

// The alpha channel is turned by the picture's own method, so the two keep
// matching; its new corners are transparent.
TEST(Rotate, AlphaChannelTurnsWithThePicture) {
  struct Case {
    TPxBitmapFormat format;
    double angle;
    bool antialias;
    uint8_t mode;
  } cases[] = {{pxRGB24, 30, false, 0},
               {pxRGB24, -90, true, 0},
               {pxRGB24, 25, true, 1},
               {pxMono1, 30, false, 0},
               {pxGray8, -100, true, 0}};
  for (const Case& c : cases) {
    TPxBitmap b;
    MakePicture(b, pxInMemory, 9, 5, c.format);
    TPxBitmap& alpha = *b.AlphaChannel();
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 9; ++x) alpha.SetByteAt(x, y, uint8_t(100 + y * 9 + x));
    RotateBitmap(b, c.angle, c.antialias, c.mode, MakeBGR(255, 255, 255));
    ASSERT_TRUE(b.HasAlphaChannel());
    TPxBitmap& a = *b.AlphaChannel();
    EXPECT_TRUE(a.IsAlphaChannel());
    EXPECT_EQ(a.Width(), b.Width()) << c.angle;
    EXPECT_EQ(a.Height(), b.Height()) << c.angle;
    if (std::fmod(c.angle, 90) != 0) {
      EXPECT_EQ(a.ByteAt(0, 0), 0) << c.angle;
    }
  }
  // Without antialias every alpha value moves with its own pixel.
  TPxBitmap b;
  MakePicture(b, pxInMemory, 4, 3, pxRGB24);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      b.SetPixelBGR(x, y, Label(y * 4 + x));
      b.AlphaChannel()->SetByteAt(x, y, uint8_t(50 + y * 4 + x));
    }
  RotateBitmap(b, 30, false, 0, MakeBGR(1, 2, 3));
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const TColorBGR c = b.PixelBGR(x, y);
      const int alpha = b.AlphaChannel()->ByteAt(x, y);
      if (c == MakeBGR(1, 2, 3)) {
        EXPECT_EQ(alpha, 0);
      } else {
        EXPECT_EQ(c, Label(alpha - 50)) << "(" << x << ", " << y << ")";
      }
    }
}

TEST(Rotate, PaletteIndicesAreNeverBlended) {
  TPxBitmap b;
  MakePicture(b, pxInMemory, 30, 20, pxPalette8);
  std::set<int> present;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 30; ++x) present.insert(b.ByteAt(x, y));
  const TColorBGR background = MakeBGR(0, 255, 0);
  const int bgIndex = BackgroundPixel(b, background).Bytes[0];
  RotateBitmap(b, 33, true, 0, background);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const int v = b.ByteAt(x, y);
      EXPECT_TRUE(v == bgIndex || present.count(v)) << v;
    }
}

TEST(Rotate, InterpolatingRotationKeepsFlatAreasAndFramesTheResult) {
  TPxBitmap b;
  UseStore(b, pxInMemory);
  b.AllocatePixels(40, 30, pxRGB24);
  b.FillWith(BGRToColor(MakeBGR(90, 120, 33)));
  int64_t w = 0, h = 0;
  InterpolatedRotatedSize(40, 30, 20, w, h);
  // The framed 46 x 36 box turned by 20 degrees.
  EXPECT_EQ(w, int64_t(std::ceil(46 * std::cos(0.349066) + 36 * std::sin(0.349066))));
  RotateBitmap(b, 20, true, 2, MakeBGR(0, 0, 255));
  ASSERT_EQ(b.Width(), w);
  ASSERT_EQ(b.Height(), h);
  EXPECT_EQ(b.PixelBGR(int(w) / 2, int(h) / 2), MakeBGR(90, 120, 33));
  EXPECT_EQ(b.PixelBGR(0, 0), MakeBGR(0, 0, 255));
}

TEST(Rotate, BackgroundPixelPerFormat) {
  const TColorBGR white = MakeBGR(255, 255, 255), red = MakeBGR(255, 0, 0);
  TPxBitmap b;
  b.AllocatePixels(1, 1, pxMono1);
  EXPECT_EQ(BackgroundPixel(b, white).Bytes[0], 1);
  EXPECT_EQ(BackgroundPixel(b, red).Bytes[0], 0);  // white only when no channel is 0
  b.AllocatePixels(1, 1, pxRGB48);
  uint16_t words[3];
  std::memcpy(words, BackgroundPixel(b, red).Bytes, 6);
  EXPECT_EQ(words[0], 65535);
  EXPECT_EQ(words[1], 0);
  b.AllocatePixels(1, 1, pxPalette8);
  for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, MakeBGR(0, 0, 0));
  b.SetPaletteEntry(77, MakeBGR(250, 5, 0));
  EXPECT_EQ(BackgroundPixel(b, red).Bytes[0], 77);
}

// Orientation codes on an asymmetric 3 x 2 picture "abc / def"; the alpha
// channel carries the same letters and must follow.
TEST(Rotate, ApplyOrientationForEveryCode) {
  struct Case {
    int code;
    const char* rows;  // result rows separated by '/'
  } cases[] = {{1, "abc/def"},  {2, "cba/fed"},  {3, "fed/cba"},  {4, "def/abc"}, {5, "ad/be/cf"},
               {6, "da/eb/fc"}, {7, "fc/eb/da"}, {8, "cf/be/ad"}, {0, "abc/def"}, {9, "abc/def"}};
  for (TPxBitmapFormat f : {pxRGB24, pxGray8, pxMono1, pxRGB48}) {
    for (const Case& c : cases) {
      TPxBitmap b;
      UseStore(b, pxInMemory);
      b.AllocatePixels(3, 2, f);
      TPxBitmap& alpha = *b.AlphaChannel();
      for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
          SetPixel(b, x, y, PatternPixel(f, y * 3 + x, 0));
          alpha.SetByteAt(x, y, uint8_t('a' + y * 3 + x));
        }
      ApplyOrientation(b, c.code);
      const std::string rows = c.rows;
      const int w = int(rows.find('/')), h = int(rows.size() + 1) / (w + 1);
      ASSERT_EQ(b.Width(), w) << c.code;
      ASSERT_EQ(b.Height(), h) << c.code;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int letter = rows[size_t(y * (w + 1) + x)] - 'a';
          EXPECT_EQ(PixelAt(b, x, y), PatternPixel(f, letter, 0)) << FormatName(f) << " code " << c.code;
          EXPECT_EQ(b.AlphaChannel()->ByteAt(x, y), 'a' + letter) << FormatName(f) << " code " << c.code;
        }
    }
  }
}

TEST(Rotate, ProgressClimbsToTheEnd) {
  TPxBitmap b;
  MakePicture(b, pxInMemory, 50, 40, pxRGB24);
  std::vector<int> seen;
  RotateBitmap(b, 12, true, 0, TColorBGR{}, [&](int p) { seen.push_back(p); });
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(seen.back(), 95);
  EXPECT_LE(seen.back(), 100);
}

}  // namespace
}  // namespace rv
