#include "imaging/pxmask.h"

#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <string>
#include <vector>

#include "imaging/pxworkbitmap.h"
#include "platform/tbitmap.h"

namespace rv {
namespace {

// The mask as text, one row per line: '#' for a set pixel, '.' for a clear one.
std::string Picture(const TPxMask& m) {
  std::string s;
  for (int y = 0; y < m.Height(); ++y) {
    for (int x = 0; x < m.Width(); ++x) s += m.IsMaskPixelSet(x, y) ? '#' : '.';
    s += '\n';
  }
  return s;
}

TEST(TPxMaskTest, NewMaskIsEmptyAndOnePixelMakesATightBox) {
  TPxMask m;
  m.AllocateMask(10, 10, 8);
  EXPECT_TRUE(m.IsMaskEmpty());
  m.SetMaskPixel(3, 4, 1);
  EXPECT_FALSE(m.IsMaskEmpty());
  EXPECT_EQ(m.Left(), 3);
  EXPECT_EQ(m.Top(), 4);
  EXPECT_EQ(m.Right(), 3);
  EXPECT_EQ(m.Bottom(), 4);
  EXPECT_FALSE(m.AllSet());
  EXPECT_EQ(m.MaskPixel(3, 4), 1);
}

TEST(TPxMaskTest, AllSetFollowsFillAndSinglePixelWrites) {
  TPxMask m;
  m.AllocateMask(10, 10, 8);
  m.FillMask(255);
  EXPECT_TRUE(m.AllSet());
  m.SetMaskPixel(0, 0, 254);
  EXPECT_FALSE(m.AllSet());
  EXPECT_EQ(m.MaskPixel(0, 0), 254);
}

// A cleared 1-bit mask has no set pixel, so it must not claim to be all set.
TEST(TPxMaskTest, ClearedOneBitMaskIsNotAllSet) {
  TPxMask m;
  m.AllocateMask(9, 3, 1);
  m.FillMask(255);
  EXPECT_TRUE(m.AllSet());
  m.SetMaskPixel(8, 2, 0);
  EXPECT_FALSE(m.AllSet());
  m.ClearMask();
  EXPECT_FALSE(m.AllSet());
  EXPECT_TRUE(m.IsMaskEmpty());
}

TEST(TPxMaskTest, RowLengthIsPaddedToFourBytes) {
  struct {
    int width, bits, rowLength;
  } cases[] = {{9, 1, 4}, {32, 1, 4}, {33, 1, 8}, {1, 8, 4}, {5, 8, 8}};
  for (const auto& c : cases) {
    TPxMask m;
    m.AllocateMask(c.width, 2, c.bits);
    EXPECT_EQ(m.RowLength(), c.rowLength) << c.width << "x" << c.bits;
  }
}

TEST(TPxMaskTest, OneBitRowsAreBottomUpWithTheLeftPixelInTheHighBit) {
  TPxMask m;
  m.AllocateMask(9, 3, 1);
  EXPECT_EQ(m.MaskRow(0) - m.MaskRow(2), 2 * m.RowLength());
  m.SetMaskPixel(0, 0, 1);
  m.SetMaskPixel(8, 0, 7);
  EXPECT_EQ(m.MaskRow(0)[0], 0x80);
  EXPECT_EQ(m.MaskRow(0)[1], 0x80);
  EXPECT_NE(m.MaskPixel(8, 0), 0);
}

TEST(TPxMaskTest, PixelsOutsideAreIgnoredAndReadAsZero) {
  TPxMask m;
  m.AllocateMask(4, 4, 8);
  for (auto [x, y] : {std::pair{-1, 0}, {4, 0}, {0, -1}, {0, 4}}) {
    m.SetMaskPixel(x, y, 9);
    EXPECT_EQ(m.MaskPixel(x, y), 0);
  }
  EXPECT_TRUE(m.IsMaskEmpty());
}

TEST(TPxMaskTest, RecomputeBoxFindsTheNonZeroPixels) {
  TPxMask m;
  m.AllocateMask(20, 6, 1);
  m.SetMaskPixel(2, 1, 1);
  m.SetMaskPixel(17, 4, 1);
  m.SetMaskPixel(2, 1, 0);  // the box only grows on writes
  EXPECT_EQ(m.Left(), 2);
  m.RecomputeBox();
  EXPECT_EQ(m.Left(), 17);
  EXPECT_EQ(m.Top(), 4);
  EXPECT_EQ(m.Right(), 17);
  EXPECT_EQ(m.Bottom(), 4);
}

TEST(TPxMaskTest, ResizeKeepsTheTopLeftAndClearsOldPadding) {
  TPxMask m;
  m.AllocateMask(12, 4, 1);
  m.FillMask(255);
  m.ResizeMask(5, 2);
  EXPECT_TRUE(m.AllSet());  // shrinking keeps only set pixels
  m.ResizeMask(12, 3);
  EXPECT_FALSE(m.AllSet());
  EXPECT_EQ(Picture(m),
            "#####.......\n"
            "#####.......\n"
            "............\n");
}

TEST(TPxMaskTest, ResizeClampsOrEmptiesTheBox) {
  TPxMask m;
  m.AllocateMask(10, 10, 8);
  m.SetMaskPixel(2, 2, 1);
  m.SetMaskPixel(8, 8, 1);
  m.ResizeMask(5, 6);
  EXPECT_EQ(m.Right(), 4);
  EXPECT_EQ(m.Bottom(), 5);
  TPxMask far;
  far.AllocateMask(10, 10, 8);
  far.SetMaskPixel(8, 8, 1);
  far.ResizeMask(5, 5);
  EXPECT_TRUE(far.IsMaskEmpty());
}

TEST(TPxMaskTest, UpdateAllSetLooksOnlyAtPixelsInsideTheWidth) {
  TPxMask m;
  m.AllocateMask(9, 2, 1);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x) m.SetMaskPixel(x, y, 1);
  m.UpdateAllSet();
  EXPECT_TRUE(m.AllSet());  // the padding bits are still clear
  m.SetMaskPixel(8, 1, 0);
  m.UpdateAllSet();
  EXPECT_FALSE(m.AllSet());
}

TEST(TPxMaskTest, TooLargeMaskThrowsAndStaysEmpty) {
  TPxMask m;
  m.AllocateMask(4, 4, 8);
  EXPECT_THROW(m.AllocateMask(INT_MAX, INT_MAX, 8), std::bad_alloc);
  EXPECT_EQ(m.Width(), 0);
  EXPECT_EQ(m.MaskRow(0), nullptr);
}

struct PolygonCase {
  const char* name;
  int width, height;
  std::vector<TPxPoint> points;
  const char* expected;
};

class FillPolygonsTest : public testing::TestWithParam<PolygonCase> {};

TEST_P(FillPolygonsTest, FillsPixelsWhoseCentreIsInside) {
  const PolygonCase& c = GetParam();
  for (int bits : {1, 8}) {
    TPxMask m;
    m.AllocateMask(c.width, c.height, bits);
    m.FillPolygons(200, c.points);
    EXPECT_EQ(Picture(m), c.expected) << bits << " bit";
  }
}

constexpr int kSep = TPxMask::kPolygonSeparator;

INSTANTIATE_TEST_SUITE_P(
    Shapes, FillPolygonsTest,
    testing::Values(PolygonCase{"Rectangle",
                                6,
                                5,
                                {{1, 1}, {4, 1}, {4, 3}, {1, 3}},
                                "......\n"
                                ".###..\n"
                                ".###..\n"
                                "......\n"
                                "......\n"},
                    PolygonCase{"Triangle",
                                6,
                                6,
                                {{0, 0}, {6, 0}, {0, 6}},
                                "#####.\n"
                                "####..\n"
                                "###...\n"
                                "##....\n"
                                "#.....\n"
                                "......\n"},
                    PolygonCase{"SquareWithHole",
                                5,
                                5,
                                {{0, 0}, {5, 0}, {5, 5}, {0, 5}, {kSep, 0}, {1, 1}, {4, 1}, {4, 4}, {1, 4}},
                                "#####\n"
                                "#...#\n"
                                "#...#\n"
                                "#...#\n"
                                "#####\n"},
                    PolygonCase{"ClippedAtTheEdges",
                                4,
                                3,
                                {{-5, -5}, {2, -5}, {2, 10}, {-5, 10}},
                                "##..\n"
                                "##..\n"
                                "##..\n"}),
    [](const testing::TestParamInfo<PolygonCase>& info) { return std::string(info.param.name); });

TEST(TPxMaskTest, FillPolygonsUpdatesBoxAndAllSet) {
  TPxMask m;
  m.AllocateMask(4, 4, 8);
  m.FillPolygons(255, {{1, 1}, {3, 1}, {3, 2}, {1, 2}});
  EXPECT_EQ(m.Left(), 1);
  EXPECT_EQ(m.Top(), 1);
  EXPECT_EQ(m.Right(), 2);
  EXPECT_EQ(m.Bottom(), 1);
  EXPECT_FALSE(m.AllSet());
  m.FillPolygons(255, {{0, 0}, {4, 0}, {4, 4}, {0, 4}});
  EXPECT_TRUE(m.AllSet());
}

TEST(TPxMaskTest, DrawMaskInvertsTheCanvasUnderSetBitsStretched) {
  TBitmap canvas;
  canvas.SetPixelFormat(TPixelFormat::pf24bit);
  canvas.SetSize(4, 4);
  const uint8_t colour[3] = {10, 20, 30};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) canvas.SetPixelBGR(x, y, colour);
  TPxMask m;
  m.AllocateMask(2, 2, 1);
  m.SetMaskPixel(1, 0, 1);
  m.DrawMask(canvas, TPxRect{0, 0, 4, 4}, TPxRect{0, 0, 2, 2});
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      uint8_t bgr[3];
      canvas.PixelBGR(x, y, bgr);
      bool inverted = x >= 2 && y < 2;
      EXPECT_EQ(bgr[0], inverted ? 255 - 10 : 10) << x << "," << y;
      EXPECT_EQ(bgr[2], inverted ? 255 - 30 : 30) << x << "," << y;
    }
  // An 8-bit mask is not drawn.
  TPxMask gray;
  gray.AllocateMask(2, 2, 8);
  gray.FillMask(255);
  gray.RecomputeBox();
  gray.DrawMask(canvas, TPxRect{0, 0, 4, 4}, TPxRect{0, 0, 2, 2});
  uint8_t bgr[3];
  canvas.PixelBGR(0, 0, bgr);
  EXPECT_EQ(bgr[0], 10);
}

TEST(TPxWorkBitmapTest, RowsAreBottomUpAndReallocationOnlyOnChange) {
  TPxWorkBitmap w(5, 24, 3);  // width, bits, height
  ASSERT_EQ(w.Height(), 3);
  EXPECT_EQ(w.RowLength(), 16);
  EXPECT_EQ(w.WorkRow(0) - w.WorkRow(2), 2 * 16);
  uint8_t* block = w.WorkRow(2);
  w.WorkRow(1)[0] = 42;
  w.AllocateWork(5, 3, 24);
  EXPECT_EQ(w.WorkRow(2), block);
  EXPECT_EQ(w.WorkRow(1)[0], 42);
  w.AllocateWork(5, 3, 8);
  EXPECT_EQ(w.RowLength(), 8);
  EXPECT_THROW(w.AllocateWork(INT_MAX, 2, 32), std::bad_alloc);
  EXPECT_TRUE(w.IsEmpty());
  EXPECT_TRUE(TPxWorkBitmap(0, 8, 4).IsEmpty());
}

}  // namespace
}  // namespace rv
