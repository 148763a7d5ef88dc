// Filtered resampling. Expected values in the tables are worked out by hand
// from the filters' definitions (scale, contributor windows, weights x 256,
// 17-bit fractions, area pieces); each case's comment shows the arithmetic.
#include "imaging/pxresample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

namespace rv {
namespace {

std::unique_ptr<TPxBitmap> MakeRGB(int w, int h, const std::function<TColorBGR(int, int)>& fn) {
  auto b = std::make_unique<TPxBitmap>();
  b->AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b->SetPixelBGR(x, y, fn(x, y));
  return b;
}

// A row of gray levels as an pxRGB24 picture.
std::unique_ptr<TPxBitmap> GrayRow(const std::vector<int>& v) {
  return MakeRGB(int(v.size()), 1, [&](int x, int) {
    const uint8_t g = uint8_t(v[size_t(x)]);
    return TColorBGR{g, g, g};
  });
}

std::unique_ptr<TPxBitmap> MakeMono(int w, int h, const std::function<bool(int, int)>& set) {
  auto b = std::make_unique<TPxBitmap>();
  b->AllocatePixels(w, h, pxMono1);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->RowPointer(y);
    std::memset(row, 0, size_t(b->RowLength()));
    for (int x = 0; x < w; ++x)
      if (set(x, y)) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
  }
  return b;
}

// Blue channel of row 0 (the gray level for gray pictures).
std::vector<int> BlueRow(TPxBitmap& b, int y = 0) {
  std::vector<int> v;
  for (int x = 0; x < b.Width(); ++x) v.push_back(b.ColorAt(x, y).b);
  return v;
}

std::vector<int> Resized(TPxBitmap& src, int w, int h, TResampleFilter filter, int y = 0) {
  TPxBitmap dst;
  dst.AllocatePixels(w, h, pxRGB24);
  FilteredResample(src, dst, filter, {});
  return BlueRow(dst, y);
}

TEST(ResampleNames, StoredAndShortNamesRoundTrip) {
  for (int i = 0; i < kResampleFilterCount; ++i) {
    const TResampleFilter f = TResampleFilter(i);
    const std::string name = ResampleFilterName(f);
    TResampleFilter back = rfNone;
    ASSERT_TRUE(ResampleFilterFromName(name, back)) << name;
    EXPECT_EQ(back, f);
    std::string shortName = name.substr(2);
    for (char& c : shortName) c = char(std::tolower(static_cast<unsigned char>(c)));
    back = rfNone;
    ASSERT_TRUE(ResampleFilterFromName(shortName, back)) << shortName;
    EXPECT_EQ(back, f);
  }
  TResampleFilter f;
  EXPECT_FALSE(ResampleFilterFromName("lanczos", f));
  EXPECT_EQ(ResampleFilterName(TResampleFilter(14)), nullptr);
}

struct KernelCase {
  TResampleFilter filter;
  double x, expected;
};

TEST(ResampleKernel, ValuesFromTheDefinitions) {
  const double pi = 3.14159265358979323846;
  const KernelCase cases[] = {
      {rfTriangle, 0.25, 0.75},
      {rfLinear, -0.5, 0.5},
      {rfTriangle, 1.0, 0.0},
      {rfHermite, 0.5, 0.5},   // (2*0.5 - 3) * 0.25 + 1
      {rfBell, 0.25, 0.6875},  // 0.75 - 0.0625
      {rfBell, 1.0, 0.125},    // 0.5 * (1 - 1.5)^2
      {rfBell, 1.5, 0.0},
      {rfBSpline, 0.0, 2.0 / 3.0},
      {rfBSpline, 1.0, 1.0 / 6.0},
      {rfBSpline, 1.5, 0.125 / 6.0},  // (2 - 1.5)^3 / 6
      {rfLanczos3, 0.0, 1.0},
      {rfLanczos3, 1.0, 0.0},
      {rfLanczos3, 0.5, 6.0 / (pi * pi)},  // sinc(1/2) sinc(1/6) = (2/pi)(3/pi)
      {rfLanczos3, 3.0, 0.0},
      {rfMitchell, 0.0, 8.0 / 9.0},   // (16/3) / 6
      {rfMitchell, 1.0, 1.0 / 18.0},  // (7 - 12 + 16/3) / 6
      {rfMitchell, 2.0, 0.0},
      {rfNearest, 0.5, 1.0},
      {rfNearest, -0.5, 0.0},
      {rfFastLinear, 0.0, 0.0},
  };
  for (const KernelCase& c : cases)
    EXPECT_NEAR(ResampleKernel(c.filter, c.x), c.expected, 1e-12) << ResampleFilterName(c.filter) << " at " << c.x;
}

TEST(Contributors, WeightsRoundHalfToEven) {
  // One source sample stretched to 512: scale 512, centre of column 257 is
  // 257/512. Triangle at 257/512 is 255/512 -> 127.5 -> 128, at 255/512 it is
  // 257/512 -> 128.5 -> 128 (half to even); both neighbours mirror onto 0.
  const auto lists = BuildContributors(1, 512, rfTriangle);
  ASSERT_EQ(lists[257].size(), 2u);
  EXPECT_EQ(lists[257][0].weight, 128);
  EXPECT_EQ(lists[257][1].weight, 128);
  EXPECT_EQ(lists[257][0].pixel, 0);
  EXPECT_EQ(lists[257][1].pixel, 0);
}

TEST(Contributors, EdgesMirrorAsymmetrically) {
  // B-spline, 4 -> 4 (scale 1, support 2): weights K(1) = 1/6 -> 43 and
  // K(0) = 2/3 -> 171. Left of the edge j = -1 mirrors to 1 (the edge pixel is
  // not repeated); right of it j = 4 mirrors to 2*4 - 1 - 4 = 3 (it is).
  const auto lists = BuildContributors(4, 4, rfBSpline);
  const std::vector<std::pair<int, int>> first = {{1, 43}, {0, 171}, {1, 43}};
  const std::vector<std::pair<int, int>> last = {{2, 43}, {3, 171}, {3, 43}};
  ASSERT_EQ(lists[0].size(), first.size());
  ASSERT_EQ(lists[3].size(), last.size());
  for (size_t k = 0; k < first.size(); ++k) {
    EXPECT_EQ(lists[0][k].pixel, first[k].first);
    EXPECT_EQ(lists[0][k].weight, first[k].second);
    EXPECT_EQ(lists[3][k].pixel, last[k].first);
    EXPECT_EQ(lists[3][k].weight, last[k].second);
  }
  // So a ramp 0, 30, 60, 90 keeps its interior and bends at both ends:
  // (43*30 + 43*30) div 257 = 10 and (43*60 + 171*90 + 43*90) div 257 = 84.
  auto ramp = GrayRow({0, 30, 60, 90});
  EXPECT_EQ(Resized(*ramp, 4, 1, rfBSpline), (std::vector<int>{10, 30, 60, 84}));
}

TEST(Contributors, ExtremeReductionKeepsWeights) {
  // Reducing 2000 -> 2 scales Lanczos weights by 1/1999: every K x 256 x scale
  // rounds to 0, which must not leave the destination without contributors.
  const auto lists = BuildContributors(2000, 2, rfLanczos3);
  for (const auto& l : lists) EXPECT_FALSE(l.empty());
  auto flat = MakeRGB(2000, 1, [](int, int) { return TColorBGR{200, 100, 50}; });
  TPxBitmap dst;
  dst.AllocatePixels(2, 1, pxRGB24);
  FilteredResample(*flat, dst, rfLanczos3);
  EXPECT_EQ(dst.ColorAt(0, 0), (TColorBGR{200, 100, 50}));
  EXPECT_EQ(dst.ColorAt(1, 0), (TColorBGR{200, 100, 50}));
}

// Every filter keeps a flat picture flat, enlarging and reducing, on both
// axes at once and with unequal ratios.
class FlatPicture : public ::testing::TestWithParam<int> {};

TEST_P(FlatPicture, StaysFlat) {
  const TResampleFilter filter = TResampleFilter(GetParam());
  const TColorBGR colour{37, 180, 255};
  auto src = MakeRGB(13, 9, [&](int, int) { return colour; });
  const std::pair<int, int> sizes[] = {{31, 20}, {5, 4}, {26, 3}, {6, 17}, {13, 9}};
  for (auto [w, h] : sizes) {
    TPxBitmap dst;
    dst.AllocatePixels(w, h, pxRGB24);
    FilteredResample(*src, dst, filter);
    if (filter == rfProjectBW || filter == rfProjectWB) {
      // Projections give 1 bit: a colour that is neither black nor white leaves
      // the starting colour (white for BW, black for WB).
      ASSERT_EQ(dst.Format(), pxMono1);
      const uint8_t v = filter == rfProjectBW ? 255 : 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(dst.ColorAt(x, y), (TColorBGR{v, v, v})) << x << "," << y;
      continue;
    }
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(dst.ColorAt(x, y), colour)
            << ResampleFilterName(filter) << " " << w << "x" << h << " at " << x << "," << y;
  }
}

INSTANTIATE_TEST_SUITE_P(AllFilters, FlatPicture, ::testing::Range(0, kResampleFilterCount),
                         [](const auto& info) { return std::string(ResampleFilterName(TResampleFilter(info.param))); });

struct RowCase {
  const char* name;
  TResampleFilter filter;
  std::vector<int> source;
  int width;
  std::vector<int> expected;
};

// One-row pictures: the vertical axis is 1 -> 1 and leaves values alone.
TEST(FilteredResample, KnownRows) {
  const RowCase cases[] = {
      // scale 2; the middle centre 0.5 gets weights 128 and 128: 128*255 div 256.
      {"linear enlarge", rfLinear, {0, 255}, 3, {0, 127, 255}},
      // scale (2-1)/(3-1) = 0.5, width 2, weights K(d*0.5)*256*0.5: 64,128,64.
      // Column 0 mirrors j=-1 onto 1: (64*90*2) div 256 = 45. Column 1 (centre 2)
      // mirrors j=3 onto 2: (64*90 + 128*180 + 64*180) div 256 = 157.
      {"triangle reduce", rfTriangle, {0, 90, 180}, 2, {45, 157}},
      // sx = 2: f = i/2; frac 65536 gives 0 + (255*65536 shr 17) = 127; the
      // last column's right neighbour is clamped to the edge.
      {"fast linear enlarge", rfFastLinear, {0, 255}, 4, {0, 127, 255, 255}},
      // sx = 0.5: boxes 0..Trunc(1/0.5) = 0..2 and 2..Trunc(1/0.5) = 2..2.
      {"fast linear reduce", rfFastLinear, {10, 20, 30, 41}, 2, {20, 30}},
      // Area, g = 0.5: pieces end half way (P = 0.5) and at the pixel's end
      // (P = 1, which samples the next pixel, clamped at the edge).
      {"bilinear enlarge", rfBilinear, {0, 100, 200}, 6, {50, 100, 150, 200, 200, 200}},
      // Cubic weights at P = 0.5: -0.125, 0.625, 0.625, -0.125. Column 0:
      // 0.625*100 - 0.125*200 = 37.5 -> 37; column 2: 62.5 + 125 - 25 -> 162;
      // column 4: -12.5 + 125 + 125 - 25 -> 212; P = 1 gives the next pixel.
      {"bicubic enlarge", rfBicubic, {0, 100, 200}, 6, {37, 100, 162, 200, 212, 200}},
      // g = 1.5: (30*1 + 60*0.5) / 1.5 = 40 and (60*0.5 + 90*1) / 1.5 = 80.
      {"bilinear reduce", rfBilinear, {30, 60, 90}, 2, {40, 80}},
      {"bicubic reduce", rfBicubic, {0, 10, 20, 255}, 2, {5, 137}},
      // Trunc(2/4 * x): columns 0 and 2... of 4 -> 2; and 0,0,1,1 of 2 -> 4.
      {"nearest reduce", rfNone, {10, 20, 30, 40}, 2, {10, 30}},
      {"nearest enlarge", rfNone, {10, 20}, 4, {10, 10, 20, 20}},
      // The nearest kernel with scale (3-1)/(2-1) = 2: centres 0, 0.5, 1;
      // K = 1 for -0.5 < x <= 0.5, so the middle takes j = 0 (x = 0.5 is in)
      // but not j = 1 (x = -0.5 is out).
      {"nearest kernel", rfNearest, {10, 20}, 3, {10, 10, 20}},
  };
  for (const RowCase& c : cases) {
    auto src = GrayRow(c.source);
    EXPECT_EQ(Resized(*src, c.width, 1, c.filter), c.expected) << c.name;
  }
}

TEST(FilteredResample, FastLinearSameWidthAveragesWithRightNeighbour) {
  // 4 x 4 -> 4 x 8: sx = 1 is not enlarging, so boxes are i .. i + 1 except
  // the last column; rows are then interpolated (sy = 2).
  auto src = MakeRGB(4, 4, [](int x, int) {
    const uint8_t v = uint8_t(x * 10 + 1);  // 1, 11, 21, 31
    return TColorBGR{v, v, v};
  });
  EXPECT_EQ(Resized(*src, 4, 8, rfFastLinear, 5), (std::vector<int>{6, 16, 26, 31}));
}

TEST(FilteredResample, VerticalAxisMatchesHorizontal) {
  // The same numbers as "triangle reduce" and "bicubic enlarge", in a column.
  const std::vector<int> col = {0, 100, 200};
  auto src = MakeRGB(1, 3, [&](int, int y) {
    const uint8_t v = uint8_t(col[size_t(y)]);
    return TColorBGR{v, v, v};
  });
  TPxBitmap dst;
  dst.AllocatePixels(1, 6, pxRGB24);
  FilteredResample(*src, dst, rfBicubic);
  std::vector<int> got;
  for (int y = 0; y < 6; ++y) got.push_back(dst.ColorAt(0, y).b);
  EXPECT_EQ(got, (std::vector<int>{37, 100, 162, 200, 212, 200}));
}

TEST(FilteredResample, ChannelsStaySeparate) {
  auto src = MakeRGB(2, 1, [](int x, int) { return x ? TColorBGR{255, 0, 100} : TColorBGR{0, 255, 50}; });
  TPxBitmap dst;
  dst.AllocatePixels(3, 1, pxRGB24);
  FilteredResample(*src, dst, rfLinear);
  // Each channel: (128*a + 128*b) div 256.
  EXPECT_EQ(dst.ColorAt(1, 0), (TColorBGR{127, 127, 75}));
}

TEST(FilteredResample, SingleSourcePixelFillsDestination) {
  auto src = MakeRGB(1, 1, [](int, int) { return TColorBGR{1, 2, 3}; });
  for (TResampleFilter f : {rfLanczos3, rfTriangle, rfMitchell}) {
    TPxBitmap dst;
    dst.AllocatePixels(3, 2, pxRGB24);
    dst.FillWith(0);
    FilteredResample(*src, dst, f);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(dst.ColorAt(x, y), (TColorBGR{1, 2, 3}));
  }
}

TEST(FilteredResample, MonoSourceGivesGrayRGB) {
  auto mono = MakeMono(2, 1, [](int x, int) { return x == 1; });
  // Kernel: the bits read as 0 and 255, then as for "linear enlarge".
  EXPECT_EQ(Resized(*mono, 3, 1, rfLinear), (std::vector<int>{0, 127, 255}));
  // Mono linear: 255 + Floor(-255 * 65536 / 131072) = 255 - 128.
  auto inverse = MakeMono(2, 1, [](int x, int) { return x == 0; });
  EXPECT_EQ(Resized(*inverse, 4, 1, rfFastLinear), (std::vector<int>{255, 127, 0, 0}));
}

TEST(FilteredResample, MonoReducedOnBothAxesIsBoxAverage) {
  // Checkerboard 4 x 4 -> 2 x 2, f = g = 2: rows 0..1 and 1..3, columns 0..1
  // and 1..3 (Trunc(2i - 1) clamped to 0 .. Trunc(1 + 2i)). Blocks of 4, 6, 6
  // and 9 pixels with 2, 3, 3 and 5 set bits: 255*2 div 4 = 127, 127, 127 and
  // 255*5 div 9 = 141.
  auto checker = MakeMono(4, 4, [](int x, int y) { return (x + y) % 2 == 0; });
  for (TResampleFilter f : {rfFastLinear, rfBilinear, rfBicubic}) {
    TPxBitmap dst;
    dst.AllocatePixels(2, 2, pxRGB24);
    FilteredResample(*checker, dst, f);
    EXPECT_EQ(BlueRow(dst, 0), (std::vector<int>{127, 127}));
    EXPECT_EQ(BlueRow(dst, 1), (std::vector<int>{127, 141}));
  }
}

TEST(FilteredResample, ProjectionsKeepThinLines) {
  // 4 x 4 -> 2 x 2: column blocks {0} and {0, 1, 2} (xm(k) = Trunc(2k)), row
  // blocks {0} and {0, 1, 2}. A one-pixel line at column 1 falls in block 2.
  auto whiteWithBlackLine = MakeRGB(4, 4, [](int x, int) {
    const uint8_t v = x == 1 ? 0 : 255;
    return TColorBGR{v, v, v};
  });
  auto blackWithWhiteLine = MakeMono(4, 4, [](int x, int) { return x == 1; });
  struct Case {
    TPxBitmap* src;
    TResampleFilter filter;
    std::vector<int> row;
  } cases[] = {
      {whiteWithBlackLine.get(), rfProjectBW, {255, 0}},
      {blackWithWhiteLine.get(), rfProjectWB, {0, 255}},
      // Averaging loses the line; the projection of the opposite colour ignores it.
      {whiteWithBlackLine.get(), rfProjectWB, {255, 255}},
  };
  for (const Case& c : cases) {
    TPxBitmap dst;
    dst.AllocatePixels(2, 2, pxRGB24);
    FilteredResample(*c.src, dst, c.filter);
    ASSERT_EQ(dst.Format(), pxMono1);
    EXPECT_EQ(BlueRow(dst, 0), c.row) << ResampleFilterName(c.filter);
    EXPECT_EQ(BlueRow(dst, 1), c.row) << ResampleFilterName(c.filter);
  }
}

TEST(FilteredResample, NearestKeepsFormatAndPalette) {
  TPxBitmap src;
  src.AllocatePixels(4, 2, pxPalette8);
  for (int i = 0; i < 256; ++i) src.SetPaletteEntry(i, TColorBGR{uint8_t(i), uint8_t(255 - i), 7});
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) src.SetByteAt(x, y, uint8_t(10 * y + x));
  TPxBitmap dst;
  dst.AllocatePixels(2, 1, pxPalette8);
  FilteredResample(src, dst, rfNone);
  EXPECT_EQ(dst.ByteAt(0, 0), 0);
  EXPECT_EQ(dst.ByteAt(1, 0), 2);
  EXPECT_EQ(dst.ColorAt(1, 0), (TColorBGR{2, 253, 7}));

  // Wide formats are copied sample by sample.
  TPxBitmap wide;
  wide.AllocatePixels(2, 2, pxRGB48);
  const uint16_t a[3] = {1, 2, 3}, b[3] = {40000, 50000, 60000};
  wide.SetRGB48At(0, 1, a);
  wide.SetRGB48At(1, 1, b);
  TPxBitmap wideDst;
  wideDst.AllocatePixels(4, 4, pxRGB48);
  FilteredResample(wide, wideDst, rfNone);
  uint16_t got[3];
  wideDst.RGB48At(3, 3, got);
  EXPECT_EQ(got[0], 40000);
  EXPECT_EQ(got[2], 60000);
}

TEST(FilteredResample, OtherFormatsAreFilteredInTrueColour) {
  TPxBitmap gray;
  gray.AllocatePixels(2, 1, pxGray8);
  gray.SetByteAt(0, 0, 0);
  gray.SetByteAt(1, 0, 255);
  TPxBitmap dst;
  dst.AllocatePixels(3, 1, pxGray8);
  FilteredResample(gray, dst, rfLinear);
  ASSERT_EQ(dst.Format(), pxGray8);
  EXPECT_EQ(dst.ByteAt(1, 0), 127);
  EXPECT_EQ(gray.Format(), pxGray8);  // the source is left alone
}

TEST(FilteredResample, FileBackedPicturesGiveTheSameResult) {
  // Rows of a file-backed bitmap are valid one at a time.
  auto pattern = [](int x, int y) { return TColorBGR{uint8_t(x * 7 + y), uint8_t(x * y), uint8_t(255 - y * 3)}; };
  auto mem = MakeRGB(37, 23, pattern);
  TPxBitmap file;
  file.SetMemoryThreshold(0);
  file.AllocatePixels(37, 23, pxRGB24);
  ASSERT_EQ(file.Location(), pxTempFile);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) file.SetPixelBGR(x, y, pattern(x, y));
  for (TResampleFilter f : {rfLanczos3, rfFastLinear, rfBicubic, rfNone}) {
    TPxBitmap a, b;
    a.AllocatePixels(15, 40, pxRGB24);
    b.SetMemoryThreshold(0);
    b.AllocatePixels(15, 40, pxRGB24);
    FilteredResample(*mem, a, f);
    FilteredResample(file, b, f);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 15; ++x) ASSERT_EQ(a.ColorAt(x, y), b.ColorAt(x, y)) << ResampleFilterName(f);
  }
}

TEST(FilteredResample, RectangleEqualsResamplingACopy) {
  auto src = MakeRGB(30, 20, [](int x, int y) { return TColorBGR{uint8_t(x * 8), uint8_t(y * 12), uint8_t(x ^ y)}; });
  TPxBitmap part;
  part.AllocatePixels(12, 9, pxRGB24);
  src->CopyRegionTo(part, 5, 7, 0, 0, 12, 9);
  for (TResampleFilter f : {rfLanczos3, rfFastLinear, rfBilinear, rfNone}) {
    TPxBitmap a, b;
    a.AllocatePixels(25, 4, pxRGB24);
    b.AllocatePixels(25, 4, pxRGB24);
    FilteredResample(part, a, f);
    FilteredResampleRect(*src, 5, 7, 12, 9, b, f);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 25; ++x) ASSERT_EQ(a.ColorAt(x, y), b.ColorAt(x, y)) << ResampleFilterName(f);
  }
}

TEST(FilteredResampleAlpha, OneChannel) {
  TPxBitmap a;
  a.AllocatePixels(2, 1, pxGray8);
  a.SetByteAt(0, 0, 0);
  a.SetByteAt(1, 0, 255);
  struct Case {
    TResampleFilter filter;
    std::vector<int> expected;
  } cases[] = {
      {rfLinear, {0, 127, 255}},      // kernel
      {rfFastLinear, {0, 169, 255}},  // sx = 1.5: f = 2/3 -> frac 87381: 255*87381 shr 17 = 169
      {rfProjectBW, {0, 169, 255}},   // projections fall back to fast linear
      {rfNone, {0, 0, 255}},
  };
  for (const Case& c : cases) {
    TPxBitmap d;
    d.AllocatePixels(3, 1, pxGray8);
    FilteredResampleAlpha(a, d, c.filter);
    EXPECT_EQ((std::vector<int>{d.ByteAt(0, 0), d.ByteAt(1, 0), d.ByteAt(2, 0)}), c.expected)
        << ResampleFilterName(c.filter);
  }
  // Not both pxGray8: nothing is written.
  TPxBitmap rgb;
  rgb.AllocatePixels(3, 1, pxRGB24);
  rgb.FillWith(0);
  FilteredResampleAlpha(a, rgb, rfLinear);
  EXPECT_EQ(rgb.ColorAt(2, 0), (TColorBGR{0, 0, 0}));
}

TEST(FilteredResample, EmptyPicturesWriteNothing) {
  TPxBitmap empty, dst;
  dst.AllocatePixels(2, 2, pxRGB24);
  dst.FillWith(0x123456);
  FilteredResample(empty, dst, rfLanczos3);
  EXPECT_EQ(dst.ColorAt(1, 1), ColorToBGR(0x123456));
  auto src = GrayRow({1, 2});
  TPxBitmap none;
  FilteredResample(*src, none, rfLanczos3);  // must not crash
  EXPECT_TRUE(none.IsEmpty());
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

// The contributor resampler written the plain way: each horizontal value as
// Sum(w * v) div Sum(w) with integer division, then the vertical pass column
// by column. The engine's strips, ring of work rows and vector arithmetic must
// give exactly the same bytes.
std::vector<uint8_t> ReferenceKernel(TPxBitmap& src, int dw, int dh, TResampleFilter f) {
  const int sw = src.Width(), sh = src.Height();
  const auto hc = BuildContributors(sw, dw, f), vc = BuildContributors(sh, dh, f);
  auto norm = [](int64_t s, int64_t t) -> int {
    const int64_t q = t != 0 ? s / t : (s > 0 ? s >> 8 : 0);
    return int(std::clamp<int64_t>(q, 0, 255));
  };
  std::vector<int> work(size_t(dw) * sh * 3);
  for (int y = 0; y < sh; ++y)
    for (int i = 0; i < dw; ++i)
      for (int c = 0; c < 3; ++c) {
        int64_t s = 0, t = 0;
        for (const TContributor& k : hc[size_t(i)]) {
          const TColorBGR p = src.ColorAt(k.pixel, y);
          s += int64_t(k.weight) * (c == 0 ? p.b : c == 1 ? p.g : p.r);
          t += k.weight;
        }
        work[(size_t(y) * dw + i) * 3 + c] = norm(s, t);
      }
  std::vector<uint8_t> out(size_t(dw) * dh * 3);
  for (int i = 0; i < dw; ++i)
    for (int j = 0; j < dh; ++j)
      for (int c = 0; c < 3; ++c) {
        int64_t s = 0, t = 0;
        for (const TContributor& k : vc[size_t(j)]) {
          s += int64_t(k.weight) * work[(size_t(k.pixel) * dw + i) * 3 + c];
          t += k.weight;
        }
        out[(size_t(j) * dw + i) * 3 + c] = uint8_t(norm(s, t));
      }
  return out;
}

struct EngineCase {
  TResampleFilter filter;
  int sw, sh, dw, dh;
};

TEST(KernelResampler, MatchesThePlainAlgorithm) {
  const EngineCase cases[] = {
      {rfLanczos3, 53, 41, 29, 67}, {rfLanczos3, 70, 35, 19, 12}, {rfMitchell, 40, 40, 97, 23},
      {rfBSpline, 33, 50, 33, 17},  {rfTriangle, 200, 20, 7, 45}, {rfHermite, 17, 64, 40, 31},
      {rfBell, 48, 18, 48, 18},     {rfNearest, 31, 47, 62, 11},  {rfLanczos3, 2000, 3, 3, 20},
  };
  uint32_t seed = 1;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return uint8_t(seed >> 24);
  };
  for (const EngineCase& c : cases) {
    auto src = MakeRGB(c.sw, c.sh, [&](int x, int y) {
      // Edges and noise, so overshooting kernels reach both clamps.
      const bool edge = (x / 5 + y / 7) % 2 == 0;
      return TColorBGR{uint8_t(edge ? 255 : noise() / 8), noise(), uint8_t(edge ? 0 : 255 - noise() / 8)};
    });
    TPxBitmap dst;
    dst.AllocatePixels(c.dw, c.dh, pxRGB24);
    FilteredResample(*src, dst, c.filter);
    const std::vector<uint8_t> ref = ReferenceKernel(*src, c.dw, c.dh, c.filter);
    int mismatches = 0;
    for (int y = 0; y < c.dh; ++y)
      for (int x = 0; x < c.dw; ++x) {
        const TColorBGR got = dst.ColorAt(x, y);
        const uint8_t* r = &ref[(size_t(y) * c.dw + x) * 3];
        if (got != TColorBGR{r[0], r[1], r[2]} && mismatches++ < 3)
          ADD_FAILURE() << ResampleFilterName(c.filter) << " " << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh
                        << " at " << x << "," << y;
      }
    EXPECT_EQ(mismatches, 0);
  }
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

// Fast linear the plain way, straight from its definition.
std::vector<uint8_t> ReferenceFastLinear(TPxBitmap& src, int dw, int dh) {
  const int sw = src.Width(), sh = src.Height();
  const double sx = double(dw) / sw, sy = double(dh) / sh;
  std::vector<int> work(size_t(dw) * sh * 3);
  for (int y = 0; y < sh; ++y)
    for (int i = 0; i < dw; ++i) {
      const double f = i / sx;
      const int left = int(f);
      const int frac = int((f - left) * 131072);
      const int right = int(std::min(i + 1, dw - 1) / sx + 0.0000000001);
      for (int c = 0; c < 3; ++c) {
        auto v = [&](int x) {
          const TColorBGR p = src.ColorAt(x, y);
          return int(c == 0 ? p.b : c == 1 ? p.g : p.r);
        };
        int value;
        if (sx > 1) {
          const int a = v(left), b = v(std::min(left + 1, sw - 1));
          value = a + (((b - a) * frac) >> 17);
        } else {
          int s = 0;
          for (int x = left; x <= right; ++x) s += v(x);
          value = s / (right - left + 1);
        }
        work[(size_t(y) * dw + i) * 3 + c] = value;
      }
    }
  std::vector<uint8_t> out(size_t(dw) * dh * 3);
  for (int j = 0; j < dh; ++j)
    for (int i = 0; i < dw; ++i)
      for (int c = 0; c < 3; ++c) {
        auto w = [&](int r) { return work[(size_t(r) * dw + i) * 3 + c]; };
        int value;
        if (sy > 1) {
          const double g = j / sy;
          const int r = int(g);
          const int frac = int((g - r) * 131072);
          const int a = w(r), b = w(r + 1 == sh ? r : r + 1);
          value = a + (((b - a) * frac) >> 17);
        } else {
          const int r0 = int(j / sy), r1 = int(std::min(j + 1, dh - 1) / sy);
          int s = 0;
          for (int r = r0; r <= r1; ++r) s += w(r);
          value = s / (r1 - r0 + 1);
        }
        out[(size_t(j) * dw + i) * 3 + c] = uint8_t(value);
      }
  return out;
}

TEST(FastLinearResampler, MatchesThePlainAlgorithm) {
  const std::pair<int, int> sizes[][2] = {{{61, 45}, {19, 14}},  {{300, 40}, {7, 39}}, {{23, 17}, {80, 51}},
                                          {{50, 50}, {50, 121}}, {{37, 90}, {60, 31}}, {{1000, 20}, {3, 2}}};
  uint32_t seed = 7;
  for (const auto& sz : sizes) {
    auto src = MakeRGB(sz[0].first, sz[0].second, [&](int, int) {
      seed = seed * 1664525u + 1013904223u;
      return TColorBGR{uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8)};
    });
    const int dw = sz[1].first, dh = sz[1].second;
    TPxBitmap dst;
    dst.AllocatePixels(dw, dh, pxRGB24);
    FilteredResample(*src, dst, rfFastLinear);
    const std::vector<uint8_t> ref = ReferenceFastLinear(*src, dw, dh);
    int mismatches = 0;
    for (int y = 0; y < dh; ++y)
      for (int x = 0; x < dw; ++x) {
        const uint8_t* r = &ref[(size_t(y) * dw + x) * 3];
        if (dst.ColorAt(x, y) != TColorBGR{r[0], r[1], r[2]} && mismatches++ < 3)
          ADD_FAILURE() << sz[0].first << "x" << sz[0].second << " -> " << dw << "x" << dh << " at " << x << "," << y;
      }
    EXPECT_EQ(mismatches, 0);
  }
}

}  // namespace
}  // namespace rv
