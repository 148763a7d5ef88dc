#include "imaging/pxquantizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "imaging/pxbitmap.h"

namespace rv {
namespace {

uint32_t Key(TColorBGR c) {
  return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
}

// A picture whose pixels are given by `color`(x, y).
template <typename Fn>
void Paint(TPxBitmap& b, int w, int h, Fn&& color) {
  b.SetLocation(pxInMemory);
  b.AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.SetPixelBGR(x, y, color(x, y));
}

// Mean absolute error per channel of the picture mapped onto the palette.
double MeanError(TPxBitmap& b, TPxQuantizer& q, const std::vector<TColorBGR>& palette) {
  double sum = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const TColorBGR c = b.PixelBGR(x, y);
      const int i = q.IndexOf(c);
      EXPECT_GE(i, 0);
      EXPECT_LT(i, int(palette.size()));
      const TColorBGR e = palette[size_t(i)];
      sum += std::abs(c.r - e.r) + std::abs(c.g - e.g) + std::abs(c.b - e.b);
    }
  return sum / (3.0 * b.Width() * b.Height());
}

TEST(PxQuantizer, FewColoursAreKeptInOrderOfFirstAppearance) {
  const TColorBGR blue = MakeBGR(0, 0, 255), pink = MakeBGR(255, 100, 200), teal = MakeBGR(0, 128, 128);
  TPxBitmap b;
  Paint(b, 5, 2, [&](int x, int y) { return y == 0 ? (x < 3 ? pink : teal) : (x == 4 ? blue : teal); });
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 3, palette);
  EXPECT_EQ(palette, (std::vector<TColorBGR>{pink, teal, blue}));
  EXPECT_EQ(q.IndexOf(pink), 0);
  EXPECT_EQ(q.IndexOf(teal), 1);
  EXPECT_EQ(q.IndexOf(blue), 2);
  EXPECT_EQ(q.IndexOf(MakeBGR(10, 10, 240)), 2);  // not in the picture: the nearest entry
}

TEST(PxQuantizer, GrayPicturesGetARamp) {
  TPxBitmap b;
  Paint(b, 256, 1, [](int x, int) { return MakeBGR(uint8_t(x), uint8_t(x), uint8_t(x)); });
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 16, palette);
  ASSERT_EQ(palette.size(), 16u);
  EXPECT_EQ(palette[1], MakeBGR(16, 16, 16));
  EXPECT_EQ(palette[15], MakeBGR(240, 240, 240));
  EXPECT_EQ(q.IndexOf(MakeBGR(40, 40, 40)), 2);  // entries 32 and 48: the one not above it
  EXPECT_EQ(q.IndexOf(MakeBGR(255, 255, 255)), 15);

  // Three entries: 256 / 3 * i truncated gives 0, 85, 170.
  TPxQuantizer three(b, 3, palette);
  EXPECT_EQ(palette, (std::vector<TColorBGR>{MakeBGR(0, 0, 0), MakeBGR(85, 85, 85), MakeBGR(170, 170, 170)}));
  EXPECT_EQ(three.IndexOf(MakeBGR(85, 85, 85)), 1);
  EXPECT_EQ(three.IndexOf(MakeBGR(84, 84, 84)), 0);
}

TEST(PxQuantizer, PalettePictureKeepsItsOwnEntries) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(2, 2, pxPalette8);
  for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, MakeBGR(uint8_t(255 - i), uint8_t(i), 7));
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 4, palette);
  ASSERT_EQ(palette.size(), 4u);
  EXPECT_EQ(palette[3], MakeBGR(252, 3, 7));
  EXPECT_EQ(q.IndexOf(MakeBGR(253, 2, 7)), 2);
  EXPECT_EQ(q.IndexOf(MakeBGR(250, 4, 9)), 3);  // nearest
}

TEST(PxQuantizer, OutOfRangeCountsAreClamped) {
  TPxBitmap b;
  Paint(b, 4, 4, [](int x, int y) { return MakeBGR(uint8_t(60 * x), uint8_t(60 * y), 9); });
  for (int asked : {0, -5}) {
    std::vector<TColorBGR> palette;
    TPxQuantizer q(b, asked, palette);
    EXPECT_EQ(palette.size(), 1u) << asked;
    EXPECT_EQ(q.IndexOf(MakeBGR(1, 2, 3)), 0);
  }
}

// A smooth picture: red and green sweep the square, blue follows their mean.
TColorBGR Gradient(int x, int y) {
  return MakeBGR(uint8_t(x), uint8_t(y), uint8_t((x + y) / 2));
}

class PxQuantizerCount : public ::testing::TestWithParam<int> {};

TEST_P(PxQuantizerCount, ManyColoursGiveExactlyTheRequestedDistinctEntries) {
  TPxBitmap b;
  Paint(b, 256, 256, Gradient);
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, GetParam(), palette);
  ASSERT_EQ(int(palette.size()), GetParam());
  std::set<uint32_t> distinct;
  for (const TColorBGR& c : palette) distinct.insert(Key(c));
  EXPECT_EQ(int(distinct.size()), GetParam());
  // Every entry is used: a reduction that wasted entries would leave some unmatched.
  std::set<int> used;
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) used.insert(q.IndexOf(b.PixelBGR(x, y)));
  EXPECT_EQ(int(used.size()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(SmallAndLarge, PxQuantizerCount, ::testing::Values(2, 16, 127, 128, 200, 256));

TEST(PxQuantizer, GradientErrorIsSmall) {
  // 65536 colours on a surface onto 256 entries: each entry covers about a
  // 16 x 16 patch of (red, green), whose mean absolute error is 4 per axis
  // for a uniform split; blue varies half as fast. The bound leaves room for
  // the uneven boxes and the 6-bit lookup (measured: about 3.7).
  TPxBitmap b;
  Paint(b, 256, 256, Gradient);
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 256, palette);
  EXPECT_LT(MeanError(b, q, palette), 4.5);
}

TEST(PxQuantizer, ColoursCrowdedInFewCellsStillFillThePalette) {
  // 512 colours in 64 cells of the 6-bit grid (red 0..255, green 0 or 1):
  // the box cut stops at 64 boxes, the exact-colour cut goes on to 256.
  TPxBitmap b;
  Paint(b, 256, 2, [](int x, int y) { return MakeBGR(uint8_t(x), uint8_t(y), 0); });
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 256, palette);
  ASSERT_EQ(palette.size(), 256u);
  std::set<uint32_t> distinct;
  for (const TColorBGR& c : palette) distinct.insert(Key(c));
  EXPECT_EQ(distinct.size(), 256u);
  EXPECT_LT(MeanError(b, q, palette), 0.5);
}

TEST(PxQuantizer, FileBackedSourceIsReadRowByRow) {
  TPxBitmap b;
  b.SetMemoryThreshold(0);
  b.SetLocation(pxTempFile);
  b.AllocatePixels(64, 64, pxRGB24);
  ASSERT_EQ(b.Location(), pxTempFile);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) b.SetPixelBGR(x, y, Gradient(4 * x, 4 * y));
  std::vector<TColorBGR> palette;
  TPxQuantizer q(b, 64, palette);
  ASSERT_EQ(palette.size(), 64u);
  // 4096 colours onto 64 entries: patches of about 32 x 32 levels, 8 per axis
  // for a uniform split of red and green (measured: about 7.3).
  EXPECT_LT(MeanError(b, q, palette), 8.5);
}

}  // namespace
}  // namespace rv
