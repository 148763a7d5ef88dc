// The PNG reader on files the tests write with libpng from known samples
// (recipes in EncodePng), so the expected pixels come from the samples, not
// from a second decoder; malformed files are those recipes with bytes changed.
#include "io/readers/pngreader.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "pngfile.h"

namespace rv {
namespace {

using namespace testing_support::png;

struct TPngRun {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborted = false;
  TProgressRecord Progress;
  std::vector<int> Percents;

  TPngRun() {
    Progress.Aborted = &Aborted;
    Progress.Callback = [this](void*, int p) { Percents.push_back(p); };
  }
  void Read(const TBytes& bytes, bool paramsOnly = false) {
    TPxMemStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TReadContext ctx{.Stream = s, .Bitmap = Bitmap, .Params = Params, .Progress = Progress, .ParamsOnly = paramsOnly};
    ReadPng(ctx);
  }
};

// The 8-bit value a sample shows as: low depths spread over 0..255, 16 bits keep the high byte.
uint8_t To8(const TPngSpec& s, uint32_t v) {
  if (s.BitDepth == 16) return static_cast<uint8_t>(v >> 8);
  return static_cast<uint8_t>(v * 255 / ((1u << s.BitDepth) - 1));
}

// Expected blue, green, red and alpha of a pixel, from the samples.
void Expected(const TPngSpec& s, int x, int y, uint8_t bgra[4]) {
  bgra[3] = 255;
  switch (s.ColorType) {
    case PNG_COLOR_TYPE_PALETTE: {
      const uint32_t i = Sample(s, x, y, 0);
      const png_color& p = s.Palette[i];
      bgra[0] = p.blue;
      bgra[1] = p.green;
      bgra[2] = p.red;
      if (i < s.PaletteAlpha.size()) bgra[3] = s.PaletteAlpha[i];
      break;
    }
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA: {
      const uint32_t g = Sample(s, x, y, 0);
      bgra[0] = bgra[1] = bgra[2] = To8(s, g);
      if (s.ColorType == PNG_COLOR_TYPE_GRAY_ALPHA) bgra[3] = To8(s, Sample(s, x, y, 1));
      if (s.Key.size() == 1 && g == s.Key[0]) bgra[3] = 0;
      break;
    }
    default:
      for (int c = 0; c < 3; ++c) bgra[2 - c] = To8(s, Sample(s, x, y, c));
      if (s.ColorType == PNG_COLOR_TYPE_RGB_ALPHA) bgra[3] = To8(s, Sample(s, x, y, 3));
      if (s.Key.size() == 3 && Sample(s, x, y, 0) == s.Key[0] && Sample(s, x, y, 1) == s.Key[1] &&
          Sample(s, x, y, 2) == s.Key[2])
        bgra[3] = 0;
      break;
  }
}

std::vector<png_color> Colours(int n) {
  std::vector<png_color> p;
  for (int i = 0; i < n; ++i)
    p.push_back(png_color{static_cast<png_byte>(i * 37), static_cast<png_byte>(255 - i * 11),
                          static_cast<png_byte>(i * 71 % 256)});
  return p;
}

// A colour key at the depth: every bit of a 16-bit key matters.
std::vector<uint32_t> KeyFor(int colorType, int bitDepth) {
  const uint32_t max = (1u << bitDepth) - 1;
  if (colorType == PNG_COLOR_TYPE_GRAY) return {bitDepth == 16 ? 0xA7C3u : 0xB5u & max};
  return {0x4E91u & max, 0xC30Du & max, 0x2A6Bu & max};
}

// ------------------------------------------------------------ colour types and depths

struct TTypeCase {
  const char* Name;
  int ColorType;
  int BitDepth;
  bool Interlaced;
  int PaletteSize;   // palette pictures
  int AlphaEntries;  // tRNS entries (palette) or, for gray and truecolour, 1 = a colour key
  TPxBitmapFormat Format;
  bool Alpha;
};

class PngTypeTest : public testing::TestWithParam<TTypeCase> {};

TEST_P(PngTypeTest, DecodesTheSamples) {
  const TTypeCase& c = GetParam();
  TPngSpec s;
  s.ColorType = c.ColorType;
  s.BitDepth = c.BitDepth;
  s.Interlaced = c.Interlaced;
  if (c.PaletteSize > 0) s.Palette = Colours(c.PaletteSize);
  if (c.ColorType == PNG_COLOR_TYPE_PALETTE)
    for (int i = 0; i < c.AlphaEntries; ++i) s.PaletteAlpha.push_back(static_cast<uint8_t>(i * 50));
  if (c.ColorType != PNG_COLOR_TYPE_PALETTE && c.AlphaEntries > 0) s.Key = KeyFor(c.ColorType, c.BitDepth);
  TPngRun run;
  run.Read(EncodePng(s));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Format(), c.Format);
  ASSERT_EQ(run.Bitmap.HasAlphaChannel(), c.Alpha);
  EXPECT_EQ(run.Params.Width, s.Width);
  EXPECT_EQ(run.Params.Height, s.Height);
  EXPECT_EQ(run.Params.BitsPerSample, c.BitDepth);
  EXPECT_EQ(run.Params.SamplesPerPixel, ChannelsOf(c.ColorType));
  EXPECT_EQ(run.Params.PngInterlaced, c.Interlaced ? 1 : 0);
  EXPECT_EQ(run.Params.ColorMapCount(), c.PaletteSize);
  for (int y = 0; y < s.Height; ++y)
    for (int x = 0; x < s.Width; ++x) {
      uint8_t want[4];
      Expected(s, x, y, want);
      const TColorBGR got = run.Bitmap.ColorAt(x, y);
      ASSERT_TRUE(got.b == want[0] && got.g == want[1] && got.r == want[2])
          << x << "," << y << " got " << int(got.b) << " " << int(got.g) << " " << int(got.r) << " want "
          << int(want[0]) << " " << int(want[1]) << " " << int(want[2]);
      if (c.Alpha) {
        ASSERT_EQ(run.Bitmap.AlphaChannel()->ByteAt(x, y), want[3]) << x << "," << y;
      }
    }
  if (c.Alpha) {
    EXPECT_FALSE(run.Bitmap.AlphaChannel()->AllOpaque());
  }
}

constexpr int kGray = PNG_COLOR_TYPE_GRAY, kRgb = PNG_COLOR_TYPE_RGB, kPal = PNG_COLOR_TYPE_PALETTE,
              kGrayA = PNG_COLOR_TYPE_GRAY_ALPHA, kRgba = PNG_COLOR_TYPE_RGB_ALPHA;

INSTANTIATE_TEST_SUITE_P(Types, PngTypeTest,
                         testing::Values(TTypeCase{"Gray1", kGray, 1, false, 0, 0, pxMono1, false},
                                         TTypeCase{"Gray1Interlaced", kGray, 1, true, 0, 0, pxMono1, false},
                                         TTypeCase{"Gray2", kGray, 2, false, 0, 0, pxRGB24, false},
                                         TTypeCase{"Gray4Interlaced", kGray, 4, true, 0, 0, pxRGB24, false},
                                         TTypeCase{"Gray4WithTrns", kGray, 4, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Gray8", kGray, 8, false, 0, 0, pxRGB24, false},
                                         TTypeCase{"Gray16", kGray, 16, true, 0, 0, pxRGB24, false},
                                         TTypeCase{"Rgb8", kRgb, 8, false, 0, 0, pxRGB24, false},
                                         TTypeCase{"Rgb16Interlaced", kRgb, 16, true, 0, 0, pxRGB24, false},
                                         // A colour key makes an alpha channel, 1-bit gray included.
                                         TTypeCase{"Gray1WithKey", kGray, 1, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Gray8WithKey", kGray, 8, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Gray16WithKey", kGray, 16, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Rgb8WithKey", kRgb, 8, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Rgb8WithKeyInterlaced", kRgb, 8, true, 0, 1, pxRGB24, true},
                                         TTypeCase{"Rgb16WithKey", kRgb, 16, false, 0, 1, pxRGB24, true},
                                         TTypeCase{"Palette2", kPal, 2, false, 4, 0, pxRGB24, false},
                                         TTypeCase{"Palette4WithTrns", kPal, 4, true, 16, 5, pxRGB24, true},
                                         TTypeCase{"Palette8", kPal, 8, false, 200, 0, pxRGB24, false},
                                         TTypeCase{"Palette8WithTrns", kPal, 8, false, 200, 30, pxRGB24, true},
                                         // A 1-bit palette that is not black then white shows its colours.
                                         TTypeCase{"Palette1Coloured", kPal, 1, false, 2, 0, pxRGB24, false},
                                         TTypeCase{"GrayAlpha8", kGrayA, 8, false, 0, 0, pxRGB24, true},
                                         TTypeCase{"GrayAlpha16Interlaced", kGrayA, 16, true, 0, 0, pxRGB24, true},
                                         TTypeCase{"Rgba8", kRgba, 8, false, 0, 0, pxRGB24, true},
                                         TTypeCase{"Rgba8Interlaced", kRgba, 8, true, 0, 0, pxRGB24, true},
                                         TTypeCase{"Rgba16", kRgba, 16, false, 0, 0, pxRGB24, true}),
                         [](const testing::TestParamInfo<TTypeCase>& info) { return std::string(info.param.Name); });

// Colour rows are placed (and rows with alpha split into the picture and its
// alpha channel) by vectorised loops: rows wide enough for them, with a tail,
// whole and interlaced.
TEST(PngReader, WideColourRowsKeepEverySample) {
  struct TWideCase {
    int ColorType;
    bool Interlaced;
    bool Key;
  };
  for (const TWideCase& c :
       {TWideCase{kRgb, false, false}, TWideCase{kRgb, true, false}, TWideCase{kRgba, false, false},
        TWideCase{kRgba, true, false}, TWideCase{kGrayA, false, false}, TWideCase{kRgb, false, true}}) {
    TPngSpec s;
    s.Width = 517;
    s.Height = 9;
    s.ColorType = c.ColorType;
    s.Interlaced = c.Interlaced;
    s.Noisy = true;
    if (c.Key) s.Key = KeyFor(c.ColorType, s.BitDepth);
    TPngRun run;
    run.Read(EncodePng(s));
    ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
    const bool hasAlpha = c.ColorType != kRgb || c.Key;
    ASSERT_EQ(run.Bitmap.HasAlphaChannel(), hasAlpha);
    for (int y = 0; y < s.Height; ++y)
      for (int x = 0; x < s.Width; ++x) {
        uint8_t want[4];
        Expected(s, x, y, want);
        const TColorBGR got = run.Bitmap.ColorAt(x, y);
        const bool alphaRight = !hasAlpha || run.Bitmap.AlphaChannel()->ByteAt(x, y) == want[3];
        ASSERT_TRUE(got.b == want[0] && got.g == want[1] && got.r == want[2] && alphaRight)
            << "colour type " << c.ColorType << (c.Interlaced ? " interlaced " : " ") << x << "," << y;
      }
  }
}

// Without tRNS the bits are kept; with it the picture is expanded, as
// pxMono1 holds no alpha.
TEST(PngReader, BlackWhitePaletteOfOneBitKeepsTheBitsUnlessTransparent) {
  for (bool transparent : {false, true}) {
    TPngSpec s;
    s.ColorType = kPal;
    s.BitDepth = 1;
    s.Palette = {png_color{0, 0, 0}, png_color{255, 255, 255}};
    if (transparent) s.PaletteAlpha = {0};
    TPngRun run;
    run.Read(EncodePng(s));
    ASSERT_EQ(run.Bitmap.Format(), transparent ? pxRGB24 : pxMono1);
    ASSERT_EQ(run.Bitmap.HasAlphaChannel(), transparent);
    for (int x = 0; x < s.Width; ++x) {
      const bool white = Sample(s, x, 3, 0) != 0;
      EXPECT_EQ(run.Bitmap.ColorAt(x, 3).g, white ? 255 : 0) << x;
      if (transparent) {
        EXPECT_EQ(run.Bitmap.AlphaChannel()->ByteAt(x, 3), white ? 255 : 0) << x;
      }
    }
  }
}

struct TNativeCase {
  const char* Name;
  int ColorType;
  bool Interlaced;
  TPxBitmapFormat Format;
};

class PngNativeTest : public testing::TestWithParam<TNativeCase> {};

TEST_P(PngNativeTest, KeepsGrayAndPaletteWhenAsked) {
  TPngSpec s;
  s.ColorType = GetParam().ColorType;
  s.Interlaced = GetParam().Interlaced;
  if (s.ColorType == kPal) {
    s.Palette = Colours(100);
    s.PaletteAlpha = {0, 10, 20};
  } else {
    s.Key = KeyFor(kGray, 8);
  }
  TPngRun run;
  run.Params.NativePixelFormat = 1;
  run.Read(EncodePng(s));
  ASSERT_FALSE(run.Aborted);
  ASSERT_EQ(run.Bitmap.Format(), GetParam().Format);
  EXPECT_FALSE(run.Bitmap.HasAlphaChannel()) << "transparency is not kept in the native formats";
  for (int y = 0; y < s.Height; ++y)
    for (int x = 0; x < s.Width; ++x) ASSERT_EQ(run.Bitmap.RowPointer(y)[x], Sample(s, x, y, 0)) << x << "," << y;
  if (s.ColorType == kPal) {
    EXPECT_EQ(run.Bitmap.QuantizeColors(), 256);
    TColorBGR c;
    run.Bitmap.GetPaletteEntry(7, c);
    EXPECT_EQ(c.r, s.Palette[7].red);
    EXPECT_EQ(c.b, s.Palette[7].blue);
  }
}

INSTANTIATE_TEST_SUITE_P(Native, PngNativeTest,
                         testing::Values(TNativeCase{"Gray8", kGray, false, pxGray8},
                                         TNativeCase{"Palette8", kPal, false, pxPalette8},
                                         TNativeCase{"Gray8Interlaced", kGray, true, pxGray8},
                                         TNativeCase{"Palette8Interlaced", kPal, true, pxPalette8}),
                         [](const testing::TestParamInfo<TNativeCase>& info) { return std::string(info.param.Name); });

// ------------------------------------------------------------ parameters

struct TPhysCase {
  bool Present;
  png_uint_32 Ppm;
  int Unit;
  int Dpi;
};

class PngPhysTest : public testing::TestWithParam<TPhysCase> {};

TEST_P(PngPhysTest, ResolutionFromPixelsPerMetre) {
  TPngSpec s;
  s.Phys = GetParam().Present;
  s.PpmX = GetParam().Ppm;
  s.PpmY = GetParam().Ppm * 2;
  s.PhysUnit = GetParam().Unit;
  TPngRun run;
  run.Params.SetDpiX(5);  // a previous file's value must not survive
  run.Read(EncodePng(s), true);
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.DpiX(), GetParam().Dpi);
  if (GetParam().Dpi != 300) {
    EXPECT_NEAR(run.Params.DpiY(), GetParam().Ppm * 2 * 0.0254, 0.5);
  }
}

INSTANTIATE_TEST_SUITE_P(Phys, PngPhysTest,
                         testing::Values(TPhysCase{true, 2835, PNG_RESOLUTION_METER, 72},  // 72.009
                                         TPhysCase{true, 3780, PNG_RESOLUTION_METER, 96},
                                         TPhysCase{true, 2500, PNG_RESOLUTION_METER, 64},   // 63.5: half to even
                                         TPhysCase{true, 7500, PNG_RESOLUTION_METER, 190},  // 190.5: half to even
                                         TPhysCase{true, 2835, PNG_RESOLUTION_UNKNOWN, 300},
                                         TPhysCase{false, 0, 0, 300}));

TEST(PngReader, TextChunksInFileOrder) {
  TPngSpec s;
  s.Texts = {{"Title", "Hello"}, {"Comment", "compressed text"}, {"Author", "Someone"}};
  TPngRun run;
  run.Params.PngTextKeys = {"stale"};
  run.Read(EncodePng(s), true);
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.PngTextKeys, (std::vector<std::string>{"Title", "Comment", "Author"}));
  EXPECT_EQ(run.Params.PngTextValues, (std::vector<std::string>{"Hello", "compressed text", "Someone"}));
}

TEST(PngReader, ParametersOnlyLeavesTheBitmapAlone) {
  TPngSpec s;
  s.ColorType = kPal;
  s.BitDepth = 4;
  s.Palette = Colours(16);
  TPngRun run;
  run.Bitmap.AllocatePixels(2, 2, pxGray8);
  run.Read(EncodePng(s), true);
  EXPECT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.Width, s.Width);
  EXPECT_EQ(run.Params.ColorMapCount(), 16);
  EXPECT_EQ(run.Params.ColorMap()[3].r, s.Palette[3].red);
  EXPECT_EQ(run.Bitmap.Width(), 2);
}

TEST(PngReader, InterlacedProgressCountsSevenPasses) {
  TPngSpec s;
  s.Interlaced = true;
  TPngRun run;
  run.Read(EncodePng(s));
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Percents.size(), size_t(7 * s.Height));
  EXPECT_EQ(run.Percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(run.Percents.begin(), run.Percents.end()));
}

// The stream is left just after the IEND chunk, so pictures stored one after
// another read in turn.
TEST(PngReader, ReadsPicturesStoredOneAfterAnother) {
  TPngSpec first, second;
  second.Width = 5;
  second.ColorType = kRgba;
  second.Interlaced = true;
  TBytes bytes = EncodePng(first);
  const size_t firstEnd = bytes.size();
  const TBytes more = EncodePng(second);
  bytes.insert(bytes.end(), more.begin(), more.end());
  TPxMemStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  for (const TPngSpec* spec : {&first, &second}) {
    TPngRun run;
    TReadContext ctx{.Stream = stream, .Bitmap = run.Bitmap, .Params = run.Params, .Progress = run.Progress};
    ReadPng(ctx);
    ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
    ASSERT_EQ(run.Bitmap.Width(), spec->Width);
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(spec == &first ? firstEnd : bytes.size()));
    uint8_t want[4];
    Expected(*spec, 4, 9, want);
    EXPECT_EQ(run.Bitmap.ColorAt(4, 9).r, want[2]);
  }
}

// ------------------------------------------------------------ malformed files

// Offset of the first chunk of that type (at its length field).
size_t ChunkAt(const TBytes& b, const char* type) {
  for (size_t i = 8; i + 8 <= b.size();) {
    const size_t length = (size_t(b[i]) << 24) | (b[i + 1] << 16) | (b[i + 2] << 8) | b[i + 3];
    if (std::memcmp(&b[i + 4], type, 4) == 0) return i;
    i += 12 + length;
  }
  return std::string::npos;
}

void Put32(TBytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Recomputes the CRC of the chunk at `at` after its data was changed.
void FixCrc(TBytes& b, size_t at) {
  const size_t length = (size_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
  Put32(b, at + 8 + length, static_cast<uint32_t>(crc32(0, &b[at + 4], static_cast<uInt>(4 + length))));
}

TBytes Plain() {
  return EncodePng(TPngSpec{});
}

TBytes WithSize(uint32_t width, uint32_t height) {
  TBytes b = Plain();
  const size_t ihdr = ChunkAt(b, "IHDR");
  Put32(b, ihdr + 8, width);
  Put32(b, ihdr + 12, height);
  FixCrc(b, ihdr);
  return b;
}

// A chunk inserted before IDAT with a length field that the data does not back.
TBytes WithChunkBeforeIdat(const char* type, uint32_t claimedLength) {
  TBytes b = Plain();
  TBytes chunk(12 + 16, 'x');
  Put32(chunk, 0, claimedLength);
  std::memcpy(&chunk[4], type, 4);
  b.insert(b.begin() + long(ChunkAt(b, "IDAT")), chunk.begin(), chunk.end());
  return b;
}

struct TBadCase {
  const char* Name;
  TBytes (*Make)();
  const char* Reason;
};

class PngBadInputTest : public testing::TestWithParam<TBadCase> {};

TEST_P(PngBadInputTest, FailsCleanlyKeepingThePicture) {
  TPngRun run;
  run.Bitmap.AllocatePixels(3, 3, pxRGB24);
  run.Bitmap.SetPixelBGR(1, 1, MakeBGR(9, 8, 7));
  run.Read(GetParam().Make());
  EXPECT_TRUE(run.Aborted);
  EXPECT_NE(run.Progress.AbortReason.find(GetParam().Reason), std::string::npos) << run.Progress.AbortReason;
  if (run.Bitmap.Width() == 3) {
    EXPECT_EQ(run.Bitmap.PixelBGR(1, 1).g, 8);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, PngBadInputTest,
    testing::Values(
        TBadCase{"Empty", [] { return TBytes{}; }, "PNG: header cut short"},
        TBadCase{"BadSignature",
                 [] {
                   TBytes b = Plain();
                   b[1] = 'p';
                   return b;
                 },
                 "Not a PNG file"},
        TBadCase{"IhdrCrc",
                 [] {
                   TBytes b = Plain();
                   b[ChunkAt(b, "IHDR") + 8 + 13] ^= 1;
                   return b;
                 },
                 "CRC error"},
        TBadCase{"IdatCrc",
                 [] {
                   TBytes b = Plain();
                   const size_t idat = ChunkAt(b, "IDAT");
                   const size_t length = (size_t(b[idat + 2]) << 8) | b[idat + 3];
                   b[idat + 8 + length] ^= 0x40;
                   return b;
                 },
                 "CRC error"},
        TBadCase{"CorruptDeflate",
                 [] {
                   TBytes b = Plain();
                   const size_t idat = ChunkAt(b, "IDAT");
                   for (size_t i = idat + 10; i < idat + 40; ++i) b[i] = 0xFF;
                   FixCrc(b, idat);
                   return b;
                 },
                 "PNG: "},
        TBadCase{"ZeroWidth", [] { return WithSize(0, 10); }, "Invalid IHDR"},
        TBadCase{"WiderThanLibpngAllows", [] { return WithSize(1000001, 1); }, "Invalid IHDR"},
        TBadCase{"TallerThanTheLimits", [] { return WithSize(1000000, 1000000); }, "PNG"},
        TBadCase{"LengthOutOfRange", [] { return WithChunkBeforeIdat("tEXt", 0x80000000u); }, "out of range"},
        TBadCase{"OverlongAncillaryChunk", [] { return WithChunkBeforeIdat("tEXt", 0x7FFFFFFFu); }, "header cut short"},
        // Below 2^31, which libpng would otherwise try to allocate.
        TBadCase{"NearlyOverlongAncillaryChunk", [] { return WithChunkBeforeIdat("tEXt", 0x7F000025u); },
                 "header cut short"},
        TBadCase{"OverlongCriticalChunk", [] { return WithChunkBeforeIdat("PLTE", 0x7FFFFFF0u); }, "PNG: "}),
    [](const testing::TestParamInfo<TBadCase>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace rv
