#include "imaging/pxconvert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxcolor.h"

namespace rv {
namespace {

// Samples are written and read in the format's own type: bytes, 16-bit words
// or floats; pxMono1 rows are given as packed bytes.
int SampleBytes(TPxBitmapFormat f) {
  return f == pxGray16 || f == pxRGB48 ? 2 : f == px32f ? 4 : 1;
}
int SamplesPerRow(TPxBitmapFormat f, int w) {
  return f == pxMono1 ? (w + 7) / 8 : w * FormatChannels(f);
}

void WriteSamples(TPxBitmap& b, int y, const std::vector<double>& v) {
  const TPxBitmapFormat f = b.Format();
  uint8_t* row = b.RowPointer(y);
  for (size_t i = 0; i < v.size(); ++i) {
    if (SampleBytes(f) == 2) {
      const uint16_t w = uint16_t(v[i]);
      std::memcpy(row + 2 * i, &w, 2);
    } else if (SampleBytes(f) == 4) {
      const float x = float(v[i]);
      std::memcpy(row + 4 * i, &x, 4);
    } else {
      row[i] = uint8_t(v[i]);
    }
  }
}

std::vector<double> ReadSamples(TPxBitmap& b, int y) {
  const TPxBitmapFormat f = b.Format();
  const uint8_t* row = b.RowPointer(y);
  std::vector<double> v(size_t(SamplesPerRow(f, b.Width())));
  for (size_t i = 0; i < v.size(); ++i) {
    if (SampleBytes(f) == 2) {
      uint16_t w;
      std::memcpy(&w, row + 2 * i, 2);
      v[i] = w;
    } else if (SampleBytes(f) == 4) {
      float x;
      std::memcpy(&x, row + 4 * i, 4);
      v[i] = x;
    } else {
      v[i] = row[i];
    }
  }
  return v;
}

// Every picture is allocated in the wanted store; pxTempFile really goes to a file.
void UseStore(TPxBitmap& b, TPxBitmapStorage store) {
  if (store == pxTempFile) b.SetMemoryThreshold(0);
  b.SetLocation(store);
}

constexpr TColorBGR kBlack = MakeBGR(0, 0, 0);
constexpr TColorBGR kWhite = MakeBGR(255, 255, 255);
constexpr TColorBGR kRed = MakeBGR(255, 0, 0);
constexpr TColorBGR kGreen = MakeBGR(0, 255, 0);
constexpr TColorBGR kOrange = MakeBGR(255, 128, 0);
TColorBGR Gray(int v) {
  return MakeBGR(uint8_t(v), uint8_t(v), uint8_t(v));
}

struct ConvCase {
  TPxBitmapFormat from, to;
  int width;
  std::vector<double> in;
  std::vector<double> out;
  std::vector<TColorBGR> palette = {};                     // of the source
  std::vector<std::pair<int, TColorBGR>> outPalette = {};  // entries of the result
};

// Expected values are worked out by hand from the colour rules; the Lab bytes
// of pure red, green and blue are the published CIE Lab (D65) values of sRGB
// primaries (red 53.24/80.09/67.20, green 87.73/-86.18/83.18), L stored x 2.5.
const std::vector<ConvCase>& Cases() {
  static const std::vector<ConvCase> cases = {
      // pxMono1: pixel 0 white, pixel 1 black
      {pxMono1, pxPalette8, 2, {0x80}, {1, 0}, {}, {{0, kBlack}, {1, kWhite}}},
      {pxMono1, pxGray8, 2, {0x80}, {255, 0}},
      {pxMono1, pxGray16, 2, {0x80}, {65535, 0}},
      {pxMono1, pxRGB24, 2, {0x80}, {255, 255, 255, 0, 0, 0}},
      {pxMono1, px32f, 2, {0x80}, {1.0, 0.0}},
      {pxMono1, pxRGB48, 2, {0x80}, {65535, 65535, 65535, 0, 0, 0}},
      {pxMono1, pxCMYK, 2, {0x80}, {255, 255, 255, 255, 0, 0, 0, 1}},
      {pxMono1, pxCIELab, 2, {0x80}, {250, 0, 0, 0, 0, 0}},
      // pxPalette8: red, green, orange, white
      {pxPalette8, pxMono1, 4, {0, 1, 2, 3}, {0x50}, {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8, pxGray8, 4, {0, 1, 2, 3}, {53, 181, 144, 255}, {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8, pxGray16, 4, {0, 1, 2, 3}, {13893, 46726, 37348, 65535}, {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8,
       pxRGB24,
       4,
       {0, 1, 2, 3},
       {0, 0, 255, 0, 255, 0, 0, 128, 255, 255, 255, 255},
       {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8, px32f, 4, {0, 1, 2, 3}, {0.2126, 0.7152, 0.571602, 1.0}, {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8,
       pxRGB48,
       4,
       {0, 1, 2, 3},
       {65535, 0, 0, 0, 65535, 0, 65535, 32896, 0, 65535, 65535, 65535},
       {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8,
       pxCMYK,
       4,
       {0, 1, 2, 3},
       {255, 0, 0, 255, 0, 255, 0, 255, 255, 128, 0, 255, 255, 255, 255, 255},
       {kRed, kGreen, kOrange, kWhite}},
      {pxPalette8, pxCIELab, 3, {0, 1, 2}, {133, 80, 67, 219, 170, 83, 250, 0, 0}, {kRed, kGreen, kWhite}},
      // pxGray8
      {pxGray8, pxMono1, 3, {0, 128, 255}, {0x60}},
      {pxGray8, pxPalette8, 3, {0, 128, 255}, {0, 128, 255}, {}, {{0, kBlack}, {128, Gray(128)}, {255, kWhite}}},
      {pxGray8, pxGray16, 3, {0, 128, 255}, {0, 32896, 65535}},
      {pxGray8, pxRGB24, 3, {0, 128, 255}, {0, 0, 0, 128, 128, 128, 255, 255, 255}},
      {pxGray8, px32f, 3, {0, 128, 255}, {0.0, 0.501961, 1.0}},
      {pxGray8, pxRGB48, 3, {0, 128, 255}, {0, 0, 0, 32896, 32896, 32896, 65535, 65535, 65535}},
      {pxGray8, pxCMYK, 3, {0, 128, 255}, {0, 0, 0, 1, 255, 255, 255, 128, 255, 255, 255, 255}},
      {pxGray8, pxCIELab, 3, {0, 128, 255}, {0, 0, 0, 133, 0, 0, 250, 0, 0}},
      // pxGray16
      {pxGray16, pxMono1, 3, {0x1234, 0x8000, 0xFFFF}, {0x20}},
      {pxGray16,
       pxPalette8,
       3,
       {0x1234, 0x8000, 0xFFFF},
       {0x12, 0x80, 0xFF},
       {},
       {{0x12, Gray(0x12)}, {0x80, Gray(0x80)}}},
      {pxGray16, pxGray8, 3, {0x1234, 0x8000, 0xFFFF}, {0x12, 0x80, 0xFF}},
      {pxGray16, pxRGB24, 3, {0x1234, 0x8000, 0xFFFF}, {18, 18, 18, 128, 128, 128, 255, 255, 255}},
      {pxGray16, px32f, 3, {0x1234, 0x8000, 0xFFFF}, {0.0711070, 0.500008, 1.0}},
      {pxGray16, pxRGB48, 3, {0x1234, 0x8000, 0xFFFF}, {4660, 4660, 4660, 32768, 32768, 32768, 65535, 65535, 65535}},
      {pxGray16, pxCMYK, 3, {0x1234, 0x8000, 0xFFFF}, {255, 255, 255, 18, 255, 255, 255, 128, 255, 255, 255, 255}},
      {pxGray16, pxCIELab, 3, {0x1234, 0x8000, 0xFFFF}, {13, 0, 0, 133, 0, 0, 250, 0, 0}},
      // px32f: 1.0, 0.999, 0.5, 0.0 (and values outside 0..1 wrapping)
      {px32f, pxMono1, 4, {1.0, 0.999, 0.5, 0.0}, {0xC0}},
      {px32f, pxPalette8, 4, {1.0, 0.999, 0.5, 0.0}, {255, 254, 127, 0}, {}, {{127, Gray(127)}, {254, Gray(254)}}},
      {px32f, pxGray8, 6, {1.0, 0.999, 0.5, 0.0, 1.5, -0.5}, {255, 254, 127, 0, 126, 129}},
      {px32f, pxGray16, 4, {1.0, 0.999, 0.5, 0.0}, {65535, 65469, 32767, 0}},
      {px32f, pxRGB24, 2, {0.999, 0.5}, {254, 254, 254, 127, 127, 127}},
      {px32f, pxRGB48, 2, {0.999, 0.5}, {65469, 65469, 65469, 32767, 32767, 32767}},
      {px32f, pxCMYK, 2, {0.999, 0.0}, {255, 255, 255, 254, 0, 0, 0, 1}},
      {px32f, pxCIELab, 2, {1.0, 0.0}, {250, 0, 0, 0, 0, 0}},
      // pxRGB24 (pixels are B, G, R); half black, half white splits at 127
      {pxRGB24, pxMono1, 4, {0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255}, {0x30}},
      {pxRGB24,
       pxPalette8,
       4,
       {0, 255, 0, 0, 0, 255, 0, 255, 0, 255, 255, 255},
       {0, 1, 0, 2},
       {},
       {{0, kGreen}, {1, kRed}, {2, kWhite}}},
      {pxRGB24, pxGray8, 3, {255, 255, 255, 0, 255, 0, 0, 0, 255}, {255, 181, 53}},
      {pxRGB24, pxGray16, 3, {255, 255, 255, 0, 255, 0, 0, 0, 255}, {65535, 46726, 13893}},
      {pxRGB24, px32f, 3, {255, 255, 255, 0, 255, 0, 0, 0, 255}, {1.0, 0.7152, 0.2126}},
      {pxRGB24, pxCMYK, 3, {0, 0, 0, 0, 128, 255, 255, 255, 255}, {0, 0, 0, 1, 255, 128, 0, 255, 255, 255, 255, 255}},
      {pxRGB24, pxRGB48, 2, {0, 128, 255, 1, 2, 3}, {65535, 32896, 0, 771, 514, 257}},
      {pxRGB24, pxCIELab, 3, {255, 255, 255, 0, 255, 0, 0, 0, 255}, {250, 0, 0, 219, 170, 83, 133, 80, 67}},
      // pxCMYK: orange, black, (100, 50, 200)
      {pxCMYK, pxRGB24, 3, {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200}, {0, 128, 255, 0, 0, 0, 200, 50, 100}},
      {pxCMYK, pxMono1, 3, {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200}, {0xA0}},
      {pxCMYK,
       pxPalette8,
       3,
       {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200},
       {0, 1, 2},
       {},
       {{0, kOrange}, {1, kBlack}, {2, MakeBGR(100, 50, 200)}}},
      {pxCMYK, pxGray8, 3, {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200}, {144, 0, 72}},
      {pxCMYK, pxGray16, 3, {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200}, {37348, 0, 18465}},
      {pxCMYK, px32f, 3, {255, 128, 0, 255, 0, 0, 0, 1, 128, 64, 255, 200}, {0.571602, 0.0, 0.280235}},
      {pxCMYK, pxRGB48, 2, {255, 128, 0, 255, 128, 64, 255, 200}, {65535, 32896, 0, 25700, 12850, 51400}},
      {pxCMYK, pxCIELab, 3, {255, 255, 255, 255, 0, 0, 0, 1, 255, 0, 0, 255}, {250, 0, 0, 0, 0, 0, 133, 80, 67}},
      // pxRGB48 (words R, G, B)
      {pxRGB48, pxRGB24, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {0x9A, 0x56, 0x12, 0, 0, 255}},
      {pxRGB48, pxMono1, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {0x80}},
      {pxRGB48,
       pxPalette8,
       2,
       {0x1234, 0x5678, 0x9ABC, 65535, 0, 0},
       {0, 1},
       {},
       {{0, MakeBGR(0x12, 0x56, 0x9A)}, {1, kRed}}},
      {pxRGB48, pxGray8, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {77, 53}},
      {pxRGB48, pxGray16, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {19741, 13893}},
      {pxRGB48, px32f, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {0.301507, 0.213430}},
      {pxRGB48, pxCMYK, 2, {0x1234, 0x5678, 0x9ABC, 65535, 0, 0}, {29, 142, 255, 154, 255, 0, 0, 255}},
      {pxRGB48, pxCIELab, 2, {65535, 65535, 65535, 65535, 0, 0}, {250, 0, 0, 133, 80, 67}},
      // pxCIELab: (250, 0, 0) is a light gray, not white: L is stored x 2.5 but read as x 100/255
      {pxCIELab, pxRGB24, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {249, 249, 249, 0, 0, 0, 119, 119, 119}},
      {pxCIELab, pxMono1, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {0x80}},
      // grays only: the quantizer answers with the gray ramp
      {pxCIELab,
       pxPalette8,
       3,
       {250, 0, 0, 0, 0, 0, 128, 0, 0},
       {249, 0, 119},
       {},
       {{249, Gray(249)}, {119, Gray(119)}}},
      {pxCIELab, pxGray8, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {249, 0, 119}},
      {pxCIELab, pxGray16, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {63993, 0, 30583}},
      {pxCIELab, px32f, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {0.976471, 0.0, 0.466667}},
      {pxCIELab, pxRGB48, 2, {250, 0, 0, 128, 0, 0}, {63993, 63993, 63993, 30583, 30583, 30583}},
      {pxCIELab, pxCMYK, 3, {250, 0, 0, 0, 0, 0, 128, 0, 0}, {255, 255, 255, 249, 0, 0, 0, 1, 255, 255, 255, 119}},
  };
  return cases;
}

class PxConvertTable : public ::testing::TestWithParam<std::tuple<size_t, TPxBitmapStorage>> {};

TEST_P(PxConvertTable, KnownPixelsConvert) {
  const ConvCase& c = Cases()[std::get<0>(GetParam())];
  const TPxBitmapStorage store = std::get<1>(GetParam());
  ASSERT_EQ(int(c.in.size()), SamplesPerRow(c.from, c.width));
  ASSERT_EQ(int(c.out.size()), SamplesPerRow(c.to, c.width));
  TPxBitmap b;
  UseStore(b, store);
  b.AllocatePixels(c.width, 2, c.from);
  for (size_t i = 0; i < c.palette.size(); ++i) b.SetPaletteEntry(int(i), c.palette[i]);
  // Two equal rows: a file-backed picture holds one row at a time.
  WriteSamples(b, 0, c.in);
  WriteSamples(b, 1, c.in);
  b.AlphaChannel()->FillArea(1, 0, 1, 0, 77);

  b.ChangeFormat(c.to);

  ASSERT_EQ(b.Format(), c.to);
  ASSERT_EQ(b.Width(), c.width);
  ASSERT_EQ(b.Height(), 2);
  EXPECT_EQ(b.Location(), store);
  for (int y = 0; y < 2; ++y) {
    const std::vector<double> got = ReadSamples(b, y);
    for (size_t i = 0; i < got.size(); ++i) {
      if (c.to == px32f) {
        EXPECT_NEAR(got[i], c.out[i], 1e-6) << "row " << y << " sample " << i;
      } else {
        EXPECT_EQ(got[i], c.out[i]) << "row " << y << " sample " << i;
      }
    }
  }
  for (const auto& [index, color] : c.outPalette) {
    TColorBGR e{};
    b.GetPaletteEntry(index, e);
    EXPECT_EQ(e, color) << "palette entry " << index;
  }
  // The alpha channel goes along with the pixels.
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaAt(0, 0), 255);
  EXPECT_EQ(b.AlphaAt(1, 0), 77);
}

std::string CaseName(const ::testing::TestParamInfo<PxConvertTable::ParamType>& info) {
  const ConvCase& c = Cases()[std::get<0>(info.param)];
  return std::string(FormatName(c.from)) + "_to_" + FormatName(c.to) +
         (std::get<1>(info.param) == pxTempFile ? "_TempFile" : "_InMemory");
}

INSTANTIATE_TEST_SUITE_P(AllPairs, PxConvertTable,
                         ::testing::Combine(::testing::Range<size_t>(0, Cases().size()),
                                            ::testing::Values(pxInMemory, pxTempFile)),
                         CaseName);

TEST(PxConvert, TableCoversEveryPairOfFormats) {
  bool seen[10][10] = {};
  for (const ConvCase& c : Cases()) seen[c.from][c.to] = true;
  for (int f = pxMono1; f <= pxCIELab; ++f)
    for (int t = pxMono1; t <= pxCIELab; ++t)
      if (f != t) {
        EXPECT_TRUE(seen[f][t]) << FormatName(TPxBitmapFormat(f)) << " to " << FormatName(TPxBitmapFormat(t));
      }
}

// Rows long enough for the vectorised paths, checked pixel by pixel against the rules.
TEST(PxConvert, WideRowsFollowTheRules) {
  const int w = 333;
  auto byte = [](int x, int k) { return uint8_t((x * 37 + k * 101 + (x * x) % 17) & 255); };

  TPxBitmap pal;
  pal.SetLocation(pxInMemory);
  pal.AllocatePixels(w, 1, pxPalette8);
  for (int i = 0; i < 256; ++i) pal.SetPaletteEntry(i, MakeBGR(byte(i, 0), byte(i, 1), byte(i, 2)));
  for (int x = 0; x < w; ++x) pal.RowPointer(0)[x] = byte(x, 3);
  TPxBitmap rgb;
  rgb.SetLocation(pxInMemory);
  rgb.AllocatePixels(w, 1, pxRGB24);
  rgb.ConvertPixelsFrom(pal);
  for (int x = 0; x < w; ++x) {
    TColorBGR e{};
    pal.GetPaletteEntry(byte(x, 3), e);
    ASSERT_EQ(rgb.PixelBGR(x, 0), e) << "palette pixel " << x;
  }

  TPxBitmap gray;
  gray.SetLocation(pxInMemory);
  gray.AllocatePixels(w, 1, pxGray8);
  gray.ConvertPixelsFrom(rgb);
  for (int x = 0; x < w; ++x) {
    const TColorBGR c = rgb.PixelBGR(x, 0);
    ASSERT_EQ(gray.ByteAt(x, 0), (21 * c.r + 71 * c.g + 8 * c.b) / 100) << "gray pixel " << x;
  }

  TPxBitmap cmyk;
  cmyk.SetLocation(pxInMemory);
  cmyk.AllocatePixels(w, 1, pxCMYK);
  for (int x = 0; x < w; ++x)
    for (int k = 0; k < 4; ++k) cmyk.RowPointer(0)[4 * x + k] = byte(x, k + 5);
  rgb.ConvertPixelsFrom(cmyk);
  for (int x = 0; x < w; ++x) {
    const uint8_t* p = cmyk.RowPointer(0) + 4 * x;
    ASSERT_EQ(rgb.PixelBGR(x, 0),
              MakeBGR(uint8_t(p[0] * p[3] / 255), uint8_t(p[1] * p[3] / 255), uint8_t(p[2] * p[3] / 255)))
        << "cmyk pixel " << x;
  }

  TPxBitmap wide;
  wide.SetLocation(pxInMemory);
  wide.AllocatePixels(w, 1, pxRGB48);
  for (int x = 0; x < w; ++x) {
    const uint16_t v[3] = {uint16_t(byte(x, 1) << 8 | byte(x, 9)), uint16_t(byte(x, 2) << 8 | byte(x, 8)),
                           uint16_t(byte(x, 4) << 8 | byte(x, 7))};
    wide.SetRGB48At(x, 0, v);
  }
  rgb.ConvertPixelsFrom(wide);
  for (int x = 0; x < w; ++x) ASSERT_EQ(rgb.PixelBGR(x, 0), MakeBGR(byte(x, 1), byte(x, 2), byte(x, 4))) << x;
}

// Palette rows are expanded several pixels per store, each store reaching into
// the next pixel: every width around the step sizes must come out exact and
// stay within its row. A file-backed destination hands out each row as a
// buffer of exactly the row's length, so the sanitizer build sees any store
// past it (widths that are multiples of 4 have no padding).
TEST(PxConvert, PaletteRowsOfEveryWidthAroundTheStepSizes) {
  std::vector<int> widths;
  for (int w = 1; w <= 9; ++w) widths.push_back(w);
  for (int w : {63, 64, 65, 66, 67, 127, 128, 129, 130, 131, 200}) widths.push_back(w);
  for (int w : widths) {
    const int h = 3;
    TPxBitmap pal;
    pal.SetLocation(pxInMemory);
    pal.AllocatePixels(w, h, pxPalette8);
    for (int i = 0; i < 256; ++i) pal.SetPaletteEntry(i, MakeBGR(uint8_t(i), uint8_t(i * 7 + 1), uint8_t(255 - i)));
    auto index = [](int x, int y) { return uint8_t(x * 13 + y * 101 + (x * x) % 11); };
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pal.RowPointer(y)[x] = index(x, y);
    TPxBitmap rgb;
    rgb.SetMemoryThreshold(0);  // a temporary file
    rgb.AllocatePixels(w, h, pxRGB24);
    ASSERT_EQ(rgb.Location(), pxTempFile);
    rgb.ConvertPixelsFrom(pal);
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = rgb.RowPointer(y);
      for (int x = 0; x < w; ++x) {
        const uint8_t i = index(x, y);
        const uint8_t want[3] = {uint8_t(255 - i), uint8_t(i * 7 + 1), i};  // blue, green, red
        ASSERT_EQ(std::vector<uint8_t>(row + 3 * x, row + 3 * x + 3), std::vector<uint8_t>(want, want + 3))
            << "width " << w << ", pixel " << x << ", " << y;
      }
    }
  }
}

TEST(PxConvert, InvertedCMYKEdgeCasesRoundTrip) {
  struct {
    TColorBGR color;
    uint8_t cmyk[4];
  } cases[] = {{kBlack, {0, 0, 0, 1}}, {kOrange, {255, 128, 0, 255}}, {kWhite, {255, 255, 255, 255}}};
  for (const auto& c : cases) {
    const uint32_t v = BGRToInvertedCMYK(c.color);
    const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>(c.cmyk, c.cmyk + 4));
    EXPECT_EQ(InvertedCMYKToBGR(bytes), c.color);
  }
}

TEST(PxConvert, QuantizedPaletteHasAllEntriesAndZeroesTheUnused) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(64, 64, pxRGB24);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) b.SetPixelBGR(x, y, MakeBGR(uint8_t(x * 4), uint8_t(y * 4), uint8_t(x + y)));
  b.SetQuantizeColors(16);
  b.ChangeFormat(pxPalette8);
  ASSERT_EQ(b.Format(), pxPalette8);
  EXPECT_EQ(b.PaletteCount(), 256);
  for (int i = 16; i < 256; ++i) {
    TColorBGR e = kWhite;
    b.GetPaletteEntry(i, e);
    EXPECT_EQ(e, kBlack) << i;
  }
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_LT(b.ByteAt(x, y), 16);
}

TEST(PxConvert, ConvertPixelsFromRefusesMismatches) {
  TPxBitmap src;
  src.SetLocation(pxInMemory);
  src.AllocatePixels(4, 4, pxGray8);
  src.FillWith(200);
  src.AlphaChannel();

  TPxBitmap other;  // another size
  other.SetLocation(pxInMemory);
  other.AllocatePixels(5, 4, pxRGB24);
  other.FillWith(0);
  other.ConvertPixelsFrom(src);
  EXPECT_EQ(other.PixelBGR(0, 0), kBlack);

  TPxBitmap platform;  // a platform bitmap is never a conversion target
  platform.SetLocation(pxTBitmap);
  platform.AllocatePixels(4, 4, pxRGB24);
  platform.FillWith(0);
  platform.ConvertPixelsFrom(src);
  EXPECT_EQ(platform.PixelBGR(0, 0), kBlack);

  TPxBitmap none;  // a source without pixels
  other.ConvertPixelsFrom(none);
  EXPECT_EQ(other.PixelBGR(0, 0), kBlack);
  EXPECT_TRUE(src.HasAlphaChannel());  // nothing was taken over
}

// ---- pictures held in a platform bitmap -------------------------------------

TEST(PxConvert, PlatformBitmapMonoAndTrueColourSwap) {
  TPxBitmap b;
  b.SetLocation(pxTBitmap);
  b.AllocatePixels(10, 2, pxMono1);
  b.FillWith(0);
  b.FillArea(3, 0, 3, 0, 1);  // one white pixel
  b.ChangeFormat(pxRGB24);
  ASSERT_EQ(b.Format(), pxRGB24);
  ASSERT_EQ(b.Bitmap()->BitCount(), 24);
  EXPECT_EQ(b.PixelBGR(3, 0), kWhite);
  EXPECT_EQ(b.PixelBGR(4, 0), kBlack);
  EXPECT_EQ(b.PixelBGR(9, 1), kBlack);

  // Back to one bit with the average-colour threshold.
  b.FillWith(0);
  b.FillArea(5, 0, 9, 1, 0xFFFFFF);
  b.ChangeFormat(pxMono1);
  ASSERT_EQ(b.Format(), pxMono1);
  ASSERT_EQ(b.Bitmap()->BitCount(), 1);
  EXPECT_EQ(b.ColorAt(4, 1), kBlack);
  EXPECT_EQ(b.ColorAt(5, 1), kWhite);
}

TEST(PxConvert, PlatformBitmapToGrayAndRefusedRequests) {
  TPxBitmap b;
  b.SetLocation(pxTBitmap);
  b.AllocatePixels(3, 1, pxRGB24);
  b.SetPixelBGR(0, 0, kGreen);
  b.SetPixelBGR(1, 0, kRed);
  b.SetPixelBGR(2, 0, kWhite);
  b.AlphaChannel()->FillWith(9);

  b.ChangeFormat(pxCMYK);  // a platform bitmap cannot hold it: nothing changes
  EXPECT_EQ(b.Format(), pxRGB24);
  EXPECT_EQ(b.PixelBGR(1, 0), kRed);

  b.ChangeFormat(pxGray8);
  ASSERT_EQ(b.Format(), pxGray8);
  EXPECT_EQ(b.Bitmap()->BitCount(), 8);
  EXPECT_EQ(b.ByteAt(0, 0), 181);
  EXPECT_EQ(b.ByteAt(1, 0), 53);
  EXPECT_EQ(b.ByteAt(2, 0), 255);
  EXPECT_EQ(b.AlphaAt(0, 0), 9);
}

TEST(PxConvert, EmptyPlatformBitmapOnlyGetsItsDepth) {
  TPxBitmap b;
  TBitmap* bitmap = b.AsTBitmap();
  bitmap->SetPixelFormat(TPixelFormat::pf24bit);
  b.ChangeFormat(pxMono1);
  EXPECT_EQ(bitmap->BitCount(), 1);
  EXPECT_EQ(b.Format(), pxMono1);
}

// ---- reduction to one bit -----------------------------------------------------

class PxMono : public ::testing::Test {
 protected:
  // A pxGray8 picture of one row per entry of `rows`.
  static void MakeGray(TPxBitmap& b, const std::vector<std::vector<uint8_t>>& rows) {
    b.SetLocation(pxInMemory);
    b.AllocatePixels(int(rows[0].size()), int(rows.size()), pxGray8);
    for (size_t y = 0; y < rows.size(); ++y) std::memcpy(b.RowPointer(int(y)), rows[y].data(), rows[y].size());
  }
  // Whether each pixel of row y came out white.
  static std::vector<bool> Whites(TPxBitmap& source, int threshold, int y = 0) {
    TPxBitmap mono;
    mono.SetLocation(pxInMemory);
    mono.AllocatePixels(source.Width(), source.Height(), pxMono1);
    ConvertToMono(source, mono, threshold);
    std::vector<bool> w;
    for (int x = 0; x < source.Width(); ++x) w.push_back(mono.ColorAt(x, y) == kWhite);
    return w;
  }
};

TEST_F(PxMono, HalfBlackHalfWhiteSplitsAt127) {
  TPxBitmap b;
  MakeGray(b, {{0, 0, 255, 255}, {0, 0, 255, 255}});
  EXPECT_EQ(AverageColorThreshold(b), 127);
  EXPECT_EQ(Whites(b, -1), (std::vector<bool>{false, false, true, true}));
}

TEST_F(PxMono, UniformPictureBecomesAllWhite) {
  for (TPxBitmapFormat f : {pxGray8, pxRGB24}) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.AllocatePixels(5, 3, f);
    b.FillWith(f == pxGray8 ? 90 : 0x204080);
    EXPECT_EQ(Whites(b, -1, 2), std::vector<bool>(5, true)) << FormatName(f);
  }
}

TEST_F(PxMono, AverageAndMaximumEntropyDiffer) {
  // A full ramp: its row mean is 127.5 (127 after the division); its
  // histogram is flat, whose entropy split is at P = 1/2, i.e. 128.
  std::vector<uint8_t> ramp(256);
  for (int i = 0; i < 256; ++i) ramp[size_t(i)] = uint8_t(i);
  TPxBitmap b;
  MakeGray(b, {ramp});
  const std::vector<bool> average = Whites(b, -1), entropy = Whites(b, -2);
  EXPECT_TRUE(average[127]);
  EXPECT_FALSE(average[126]);
  EXPECT_FALSE(entropy[127]);
  EXPECT_TRUE(entropy[128]);
  const std::vector<bool> fixed = Whites(b, 200);
  EXPECT_FALSE(fixed[199]);
  EXPECT_TRUE(fixed[200]);
}

TEST_F(PxMono, MaximumEntropySeparatesTwoSpreadModes) {
  // Mostly dark, spread over 20..40, with a bright patch spread over
  // 180..200: the split with the most entropy inside both classes is the
  // first level past the dark mode.
  uint64_t histogram[256] = {};
  for (int v = 20; v <= 40; ++v) histogram[v] = 30;
  for (int v = 180; v <= 200; ++v) histogram[v] = 10;
  EXPECT_EQ(MaxEntropyThreshold(histogram), 41);

  std::vector<uint8_t> row;
  for (int v = 20; v <= 40; ++v) row.insert(row.end(), 3, uint8_t(v));
  for (int v = 180; v <= 200; ++v) row.push_back(uint8_t(v));
  TPxBitmap b;
  MakeGray(b, {row});
  const std::vector<bool> w = Whites(b, -2);
  for (size_t x = 0; x < row.size(); ++x) EXPECT_EQ(w[x], row[x] >= 180) << "value " << int(row[x]);
}

TEST_F(PxMono, MaximumEntropyWithoutPositiveScoreMakesAllWhite) {
  // Two single levels: each class has no entropy of its own, so every score is 0.
  uint64_t histogram[256] = {};
  histogram[10] = 5;
  histogram[240] = 5;
  EXPECT_EQ(MaxEntropyThreshold(histogram), -2);
  TPxBitmap b;
  MakeGray(b, {{10, 240, 10, 240, 10}});
  EXPECT_EQ(Whites(b, -2), std::vector<bool>(5, true));
}

TEST_F(PxMono, ProgressAfterEveryRow) {
  TPxBitmap b;
  MakeGray(b, {{1}, {2}, {3}, {4}});
  TPxBitmap mono;
  mono.SetLocation(pxInMemory);
  mono.AllocatePixels(1, 4, pxMono1);
  std::vector<int> seen;
  ConvertToMono(b, mono, -1, [&](int percent) { seen.push_back(percent); });
  EXPECT_EQ(seen, (std::vector<int>{22, 44, 66, 88}));  // Trunc((r + 1) * 100 / 4.5)
}

TEST_F(PxMono, FileBackedPicturesConvertRowByRow) {
  TPxBitmap b;
  UseStore(b, pxTempFile);
  b.AllocatePixels(9, 40, pxRGB24);
  ASSERT_EQ(b.Location(), pxTempFile);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 9; ++x) b.SetPixelBGR(x, y, (x + y) % 2 ? kWhite : kRed);
  TPxBitmap mono;
  UseStore(mono, pxTempFile);
  mono.AllocatePixels(9, 40, pxMono1);
  ASSERT_EQ(mono.Location(), pxTempFile);
  ConvertToMono(b, mono, -1);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 9; ++x) ASSERT_EQ(mono.ColorAt(x, y), (x + y) % 2 ? kWhite : kBlack) << x << "," << y;
}

}  // namespace
}  // namespace rv
