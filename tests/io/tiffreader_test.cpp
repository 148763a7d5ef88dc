// The TIFF reader on small TIFF files written here tag by tag (TTiffWriter),
// so each case shows the structure it tests: layouts, compressions, pages,
// resolution, EXIF values, and the malformed files of the reliability list.
#include "io/readers/tiffreader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/exif.h"
#include "io/readers/jpegreader.h"
#include "jpegfile.h"
#include "platform/tbitmap.h"
#include "tifffile.h"

namespace rv {
namespace {

using namespace testing_support::tiff;
namespace jpeg = testing_support::jpeg;

struct TRun {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborted = false;
  TProgressRecord Progress;
  std::unique_ptr<TPxMask> Mask;
  int32_t Count = 0;

  TRun() { Progress.Aborted = &Aborted; }
  void Read(const TBytes& file, bool paramsOnly = false) {
    TPxMemStream s(file.data(), int64_t(file.size()));
    TReadContext ctx{.Stream = s,
                     .Bitmap = Bitmap,
                     .Params = Params,
                     .Progress = Progress,
                     .ParamsOnly = paramsOnly,
                     .MaskOut = &Mask};
    Count = ReadTiff(ctx).PageCount;
  }
};

// ------------------------------------------------------------ layouts

TEST(TiffReader, BigEndianRgbInThreeStripsLandsInOrder) {
  const TBytes pixels = Gradient(5, 6, 3);
  TPage p = Basic(5, 6, 8, 3, 2, 1, 2);
  for (int s = 0; s < 3; ++s) p.Strips.emplace_back(pixels.begin() + s * 30, pixels.begin() + (s + 1) * 30);
  TRun run;
  run.Read(TTiffWriter(true).Build({p}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Params.TiffPhotometric, 2);
  EXPECT_EQ(run.Params.SamplesPerPixel, 3);
  ASSERT_EQ(run.Bitmap.Format(), pxRGB24);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 5; ++x) {
      const uint8_t* px = &pixels[size_t((y * 5 + x) * 3)];
      const TColorBGR c = run.Bitmap.PixelBGR(x, y);
      ASSERT_EQ(c.r, px[0]);
      ASSERT_EQ(c.g, px[1]);
      ASSERT_EQ(c.b, px[2]);
    }
}

TEST(TiffReader, SecondPageOfTwo) {
  TPage a = Basic(2, 1, 8, 1, 1);
  a.Strips = {{10, 20}};
  TPage b = Basic(3, 1, 8, 1, 1);
  b.Strips = {{30, 40, 50}};
  TRun run;
  run.Params.SetImageIndex(1);
  run.Read(TTiffWriter().Build({a, b}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Count, 2);
  EXPECT_EQ(run.Params.TiffImageCount, 2);
  EXPECT_EQ(run.Bitmap.Width(), 3);
  EXPECT_EQ(run.Bitmap.PixelBGR(2, 0).g, 50);
}

TEST(TiffReader, TiledGrayWithEdgeTilesHasNoGarbage) {
  // 20 × 18 in 16 × 16 tiles: the right and bottom tiles are mostly padding (0xEE).
  const int w = 20, h = 18, t = 16;
  TPage p = Basic(w, h, 8, 1, 1);
  p.Tiled = true;
  p.Tags.push_back(Long(322, {t}));
  p.Tags.push_back(Long(323, {t}));
  for (int ty = 0; ty < 2; ++ty)
    for (int tx = 0; tx < 2; ++tx) {
      TBytes tile(t * t, 0xEE);
      for (int y = 0; y < t; ++y)
        for (int x = 0; x < t; ++x)
          if (tx * t + x < w && ty * t + y < h) tile[size_t(y * t + x)] = uint8_t((tx * t + x) + 10 * (ty * t + y));
      p.Strips.push_back(tile);
    }
  TRun run;
  run.Params.NativePixelFormat = 1;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Format(), pxGray8);
  ASSERT_EQ(run.Bitmap.Width(), w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ASSERT_EQ(run.Bitmap.ByteAt(x, y), uint8_t(x + 10 * y)) << x << "," << y;
}

struct TPixelCase {
  const char* Name;
  uint32_t Bits, Spp, Photometric;
  TBytes Data;  // one pixel (or one row of 8 one-bit pixels)
  TColorBGR Expected;
  std::vector<TTag> Extra;
};

class TiffPixel : public testing::TestWithParam<TPixelCase> {};

TEST_P(TiffPixel, ConvertsToBlueGreenRed) {
  const TPixelCase& c = GetParam();
  TPage p = Basic(1, 1, c.Bits, c.Spp, c.Photometric);
  p.Tags.insert(p.Tags.end(), c.Extra.begin(), c.Extra.end());
  p.Strips = {c.Data};
  TRun run;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  const TColorBGR got = run.Bitmap.ColorAt(0, 0);
  EXPECT_EQ(got.r, c.Expected.r);
  EXPECT_EQ(got.g, c.Expected.g);
  EXPECT_EQ(got.b, c.Expected.b);
}

std::vector<uint32_t> ColorMap2Bits() {
  // red, green, blue of 4 entries, 16-bit values.
  return {0, 0x1000, 0x2000, 0xFF00, 0, 0x1100, 0x2200, 0x8000, 0, 0x1200, 0x2300, 0x0100};
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffPixel,
    testing::Values(
        TPixelCase{"Gray8", 8, 1, 1, {77}, MakeBGR(77, 77, 77), {}},
        TPixelCase{"WhiteIsZero8", 8, 1, 0, {77}, MakeBGR(178, 178, 178), {}},
        TPixelCase{"Gray4", 4, 1, 1, {0xA0}, MakeBGR(170, 170, 170), {}},
        TPixelCase{"Gray16", 16, 1, 1, {0x34, 0x12}, MakeBGR(0x12, 0x12, 0x12), {}},
        TPixelCase{
            "Gray16LookAtMolli", 16, 1, 1, {0x34, 0x02}, MakeBGR(0x23, 0x23, 0x23), {Ascii(305, "Look@Molli v1.1 x")}},
        TPixelCase{"Rgb16", 16, 3, 2, {0, 0x11, 0, 0x22, 0, 0x33}, MakeBGR(0x11, 0x22, 0x33), {}},
        TPixelCase{"Rgb555", 16, 1, 2, {0x43, 0x7C}, MakeBGR(0xF8, 0x10, 0x18), {}},
        // red = (255 - C) × (255 - K) div 255
        TPixelCase{"Cmyk", 8, 4, 5, {100, 50, 0, 30}, MakeBGR(155 * 225 / 255, 205 * 225 / 255, 225), {}},
        TPixelCase{"Palette2", 2, 1, 3, {0xC0}, MakeBGR(0xFF, 0x80, 0x01), {Short(320, ColorMap2Bits())}},
        TPixelCase{"Mono", 1, 1, 1, {0x80}, MakeBGR(255, 255, 255), {}},
        TPixelCase{"MonoWhiteIsZero", 1, 1, 0, {0x80}, MakeBGR(0, 0, 0), {}}),
    [](const testing::TestParamInfo<TPixelCase>& info) { return std::string(info.param.Name); });

TEST(TiffReader, UnassociatedAlphaGoesToTheMask) {
  TPage p = Basic(2, 1, 8, 4, 2);
  p.Tags.push_back(Short(338, {2}));
  p.Strips = {{1, 2, 3, 40, 5, 6, 7, 255}};
  TRun run;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted);
  ASSERT_TRUE(run.Mask);
  EXPECT_EQ(run.Mask->MaskPixel(0, 0), 40);
  EXPECT_EQ(run.Mask->MaskPixel(1, 0), 255);
  // Unassociated alpha leaves the colour samples as stored.
  EXPECT_EQ(run.Bitmap.PixelBGR(0, 0), MakeBGR(1, 2, 3));
  EXPECT_EQ(run.Bitmap.PixelBGR(1, 0), MakeBGR(5, 6, 7));
}

// ------------------------------------------------------------ compressions

TBytes PackBitsLiterals(const TBytes& data) {
  TBytes out;
  for (size_t i = 0; i < data.size(); i += 128) {
    const size_t n = std::min<size_t>(128, data.size() - i);
    out.push_back(uint8_t(n - 1));
    out.insert(out.end(), data.begin() + long(i), data.begin() + long(i + n));
  }
  return out;
}

TBytes HorizontalDifferences(TBytes data, int width, int spp) {
  for (size_t row = 0; row < data.size() / size_t(width * spp); ++row)
    for (int i = width * spp - 1; i >= spp; --i)
      data[row * size_t(width * spp) + size_t(i)] =
          uint8_t(data[row * size_t(width * spp) + size_t(i)] - data[row * size_t(width * spp) + size_t(i - spp)]);
  return data;
}

TEST(TiffReader, EveryCompressionGivesTheSamePixels) {
  const int w = 7, h = 5;
  const TBytes pixels = Gradient(w, h, 3, 3);
  struct TCompressed {
    const char* Name;
    uint32_t Compression;
    uint32_t Predictor;
    TBytes Data;
  };
  const std::vector<TCompressed> cases = {
      {"none", 1, 1, pixels},
      {"PackBits", 32773, 1, PackBitsLiterals(pixels)},
      {"LZW", 5, 1, LzwLiterals(pixels)},
      {"LZW with predictor", 5, 2, LzwLiterals(HorizontalDifferences(pixels, w, 3))},
  };
  for (const TCompressed& c : cases) {
    SCOPED_TRACE(c.Name);
    TPage p = Basic(w, h, 8, 3, 2, c.Compression);
    p.Tags.push_back(Short(317, {c.Predictor}));
    p.Strips = {c.Data};
    TRun run;
    run.Read(TTiffWriter().Build({p}));
    ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* px = &pixels[size_t((y * w + x) * 3)];
        const TColorBGR c = run.Bitmap.PixelBGR(x, y);
        ASSERT_EQ(c.r, px[0]) << x << "," << y;
        ASSERT_EQ(c.g, px[1]) << x << "," << y;
        ASSERT_EQ(c.b, px[2]) << x << "," << y;
      }
  }
}

// The horizontal predictor undone for gray and RGB rows, one pixel wide and
// wider than a pixel's worth of samples.
TEST(TiffReader, PredictorRestoresEverySample) {
  for (auto [spp, photometric] : {std::pair<uint32_t, uint32_t>{1, 1}, {3, 2}}) {
    for (int w : {1, 2, 9}) {
      SCOPED_TRACE(std::to_string(spp) + " samples, width " + std::to_string(w));
      const int h = 3;
      const TBytes pixels = Gradient(w, h, int(spp), 5);
      TPage p = Basic(uint32_t(w), h, 8, spp, photometric, 5);
      p.Tags.push_back(Short(317, {2}));
      p.Strips = {LzwLiterals(HorizontalDifferences(pixels, w, int(spp)))};
      TRun run;
      run.Read(TTiffWriter().Build({p}));
      ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const TColorBGR c = run.Bitmap.PixelBGR(x, y);
          const size_t at = size_t((y * w + x) * int(spp));
          ASSERT_EQ(c.r, pixels[at]) << x << "," << y;
          ASSERT_EQ(c.b, pixels[at + spp - 1]) << x << "," << y;
        }
    }
  }
}

// Fill order 2 (least significant bit first) is honoured in fax data; other
// data is stored in bytes whatever the tag says.
TEST(TiffReader, FillOrderTwoIsForFaxDataOnly) {
  TPage p = Basic(8, 1, 1, 1, 1);
  p.Tags.push_back(Short(266, {2}));
  p.Strips = {{0x80}};
  TRun run;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Bitmap.ColorAt(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(run.Bitmap.ColorAt(7, 0), MakeBGR(0, 0, 0));
}

uint8_t Reversed(uint8_t v) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = uint8_t(r | (((v >> i) & 1) << (7 - i)));
  return r;
}

class TiffGroup4 : public testing::TestWithParam<int> {};

// A Group 4 fax with photometric 0: white background with black text, in
// either fill order.
TEST_P(TiffGroup4, WhiteIsZeroIsWhiteWithBlackText) {
  // "H w2 b3" then V0: one row with black pixels 2..4 on white; T.6 end of block.
  // 001 0111 10 1 | 000000000001 000000000001
  TBytes g4 = {0b00101111, 0b01000000, 0b00000100, 0b00000000, 0b01000000};
  const int fillOrder = GetParam();
  if (fillOrder == 2)
    for (uint8_t& v : g4) v = Reversed(v);
  TPage p = Basic(8, 1, 1, 1, 0, 4);
  p.Tags.push_back(Short(266, {uint32_t(fillOrder)}));
  p.Strips = {g4};
  TRun run;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Format(), pxMono1);
  const std::string expected = "WWBBBWWW";
  for (int x = 0; x < 8; ++x) EXPECT_EQ(run.Bitmap.ColorAt(x, 0).r == 255 ? 'W' : 'B', expected[size_t(x)]) << x;
  EXPECT_EQ(run.Params.TiffCompression, 4);
  EXPECT_EQ(run.Params.TiffFillOrder, fillOrder);
}

INSTANTIATE_TEST_SUITE_P(FillOrders, TiffGroup4, testing::Values(1, 2));

// Old-style JPEG (compression 6): the interchange format tags point at a whole
// JPEG stream. A bitmap held in a platform bitmap (as the view holds its
// picture) keeps that platform bitmap, which then holds the picture.
TEST(TiffReader, OldStyleJpegFillsTheBitmapsOwnPlatformBitmap) {
  const int w = 24, h = 16;
  jpeg::TJpegSpec spec;
  spec.Width = w;
  spec.Height = h;
  const TBytes jpeg = jpeg::EncodeJpeg(spec);
  TPage p = Basic(w, h, 8, 3, 6, 6);
  p.Strips = {jpeg};  // the first strip lands right after the 8-byte header
  p.Tags.push_back(Long(513, {8}));
  p.Tags.push_back(Long(514, {uint32_t(jpeg.size())}));
  TRun run;
  run.Bitmap.SetLocation(pxTBitmap);
  run.Bitmap.AllocatePixels(3, 3, pxRGB24);
  TBitmap* const platform = run.Bitmap.Bitmap();
  ASSERT_NE(platform, nullptr);
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Location(), pxTBitmap);
  ASSERT_EQ(run.Bitmap.Bitmap(), platform);
  ASSERT_EQ(platform->Width(), w);
  ASSERT_EQ(platform->Height(), h);
  ASSERT_EQ(run.Bitmap.Format(), pxRGB24);

  // The same stream through the JPEG reader is what the platform bitmap must hold.
  TPxMemStream stream(jpeg.data(), int64_t(jpeg.size()));
  TPxBitmap expected;
  TIOParamsVals params;
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  TReadContext ctx{.Stream = stream, .Bitmap = expected, .Params = params, .Progress = progress};
  ReadJpeg(ctx, {.ApplyProfile = false, .ParseMetadata = false});
  ASSERT_FALSE(aborted) << progress.AbortReason;
  ASSERT_EQ(expected.Width(), w);
  for (int y = 0; y < h; ++y)
    ASSERT_EQ(std::memcmp(platform->ScanLine(y), expected.RowPointer(y), size_t(w * 3)), 0) << "row " << y;
}

// ------------------------------------------------------------ parameters

TEST(TiffReader, ResolutionInCentimetres) {
  TPage p = Basic(1, 1, 8, 1, 1);
  p.Tags.push_back({282, kRational, {118, 1}, {}});
  p.Tags.push_back({283, kRational, {0, 1}, {}});
  p.Tags.push_back(Short(296, {3}));
  p.Strips = {{0}};
  TRun run;
  run.Read(TTiffWriter().Build({p}), true);
  EXPECT_EQ(run.Params.DpiX(), 299);
  EXPECT_EQ(run.Params.DpiY(), 300);  // a resolution of 0 means the default
  EXPECT_TRUE(run.Bitmap.IsEmpty());  // parameters only
}

TEST(TiffReader, TextPageAndExifFields) {
  TPage p = Basic(1, 1, 8, 1, 1);
  p.Tags.push_back(Ascii(269, "doc"));
  p.Tags.push_back(Ascii(271, "Maker"));
  p.Tags.push_back(Short(297, {2, 9}));
  p.Tags.push_back(Short(274, {6}));
  p.Strips = {{0}};
  // The EXIF directory is written as a second "page" and pointed at by tag 34665.
  TTiffWriter writer;
  TBytes probe = writer.Build({p});
  TPage exif;
  exif.Tags = {{33434, kRational, {1, 250}, {}},
               Short(34855, {200, 400}),
               {37510, kUndefined, {}, TBytes{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'h', 'i'}}};
  // Build once to learn where the second directory lands, then point at it.
  TBytes both = writer.Build({p, exif});
  const uint32_t secondDir = [&] {
    const uint32_t first = both[4] | both[5] << 8 | both[6] << 16 | uint32_t(both[7]) << 24;
    const uint32_t n = both[first] | both[first + 1] << 8;
    const size_t at = first + 2 + 12 * n;
    return uint32_t(both[at] | both[at + 1] << 8 | both[at + 2] << 16 | uint32_t(both[at + 3]) << 24);
  }();
  p.Tags.push_back(Long(34665, {secondDir}));
  // Adding a tag moves the first directory by 12 bytes and its values: rebuild
  // until the pointer is stable.
  for (int i = 0; i < 4; ++i) {
    both = writer.Build({p, exif});
    const uint32_t first = both[4] | both[5] << 8 | both[6] << 16 | uint32_t(both[7]) << 24;
    const uint32_t n = both[first] | both[first + 1] << 8;
    const size_t at = first + 2 + 12 * n;
    const uint32_t next = both[at] | both[at + 1] << 8 | both[at + 2] << 16 | uint32_t(both[at + 3]) << 24;
    p.Tags.back() = Long(34665, {next});
  }
  both = writer.Build({p, exif});
  TRun run;
  run.Read(both);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Params.TiffDocumentName, "doc");
  EXPECT_EQ(run.Params.ExifMake, "Maker");
  EXPECT_EQ(run.Params.TiffPageNumber, 2);
  EXPECT_EQ(run.Params.TiffPageCount, 9);
  EXPECT_EQ(run.Params.Orientation(), 6);
  EXPECT_EQ(run.Params.ExifOrientation, 6);
  EXPECT_EQ(run.Params.ExifPresent, 1);
  EXPECT_DOUBLE_EQ(run.Params.ExifExposureTime, 1.0 / 250);
  EXPECT_EQ(run.Params.ExifISOSpeedRatings[1], 400);
  EXPECT_EQ(run.Params.ExifUserCommentCode, std::string("ASCII\0\0\0", 8));
  EXPECT_EQ(run.Params.ExifUserComment, "hi");
}

TEST(TiffReader, AutoRotateTurnsByOrientation) {
  TPage p = Basic(2, 1, 8, 1, 1);
  p.Tags.push_back(Short(274, {6}));
  p.Strips = {{10, 20}};
  TRun run;
  run.Params.TiffAutoRotate = 1;
  run.Params.NativePixelFormat = 1;
  run.Read(TTiffWriter().Build({p}));
  ASSERT_FALSE(run.Aborted);
  ASSERT_EQ(run.Bitmap.Width(), 1);
  ASSERT_EQ(run.Bitmap.Height(), 2);
  EXPECT_EQ(run.Bitmap.ByteAt(0, 0), 10);  // a quarter turn clockwise: the left pixel on top
  EXPECT_EQ(run.Bitmap.ByteAt(0, 1), 20);
}

// The EXIF step of the JPEG reader: directory 0 holds the values (no
// picture), directory 1 the thumbnail, turned by directory 0's orientation.
TEST(TiffReader, ExifBlockGivesValuesAndTurnedThumbnail) {
  TPage values;
  values.Tags = {Ascii(271, "Cam"), Short(274, {6}), {282, kRational, {72, 1}, {}}, {283, kRational, {72, 1}, {}}};
  TPage thumb = Basic(2, 1, 8, 3, 2);
  thumb.Strips = {{255, 0, 0, 0, 0, 255}};  // red, blue
  const TBytes block = TTiffWriter().Build({values, thumb});
  TIOParamsVals params;
  ASSERT_TRUE(ReadExifTiff(block.data(), int64_t(block.size()), params, TiffJpegDecoder()));
  EXPECT_EQ(params.ExifPresent, 1);
  EXPECT_EQ(params.ExifMake, "Cam");
  EXPECT_EQ(params.ExifOrientation, 6);
  EXPECT_EQ(params.DpiX(), 72);
  ASSERT_TRUE(params.HasExifThumbnail());
  TPxBitmap& t = params.ExifThumbnail();
  ASSERT_EQ(t.Width(), 1);
  ASSERT_EQ(t.Height(), 2);
  EXPECT_EQ(t.PixelBGR(0, 0), MakeBGR(255, 0, 0));  // the left pixel on top after a quarter turn clockwise
  EXPECT_EQ(t.PixelBGR(0, 1), MakeBGR(0, 0, 255));
}

TEST(TiffReader, ExifBlockThatIsNoTiffFindsNothing) {
  const TBytes junk = {'X', 'X', 42, 0, 8, 0, 0, 0, 0, 0};
  TIOParamsVals params;
  EXPECT_FALSE(ReadExifTiff(junk.data(), int64_t(junk.size()), params, TiffJpegDecoder()));
  EXPECT_EQ(params.ExifPresent, 0);
}

// ------------------------------------------------------------ bad input

struct TBadCase {
  const char* Name;
  std::function<TBytes()> Make;
  bool Fails;
};

TBytes Gray(std::function<void(TPage&)> change, bool be = false, bool loop = false) {
  TPage p = Basic(4, 2, 8, 1, 1, 1, 1);
  p.Strips = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  change(p);
  TTiffWriter w(be);
  w.Loop = loop;
  return w.Build({p});
}

class TiffBadInput : public testing::TestWithParam<TBadCase> {};

TEST_P(TiffBadInput, FailsCleanlyOrLoadsWhatIsThere) {
  const TBadCase& c = GetParam();
  const TBytes file = c.Make();
  TRun run;
  run.Bitmap.AllocatePixels(3, 3, pxRGB24);
  run.Read(file);
  EXPECT_EQ(run.Aborted, c.Fails) << run.Progress.AbortReason;
  if (c.Fails) {
    EXPECT_FALSE(run.Progress.AbortReason.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, TiffBadInput,
    testing::Values(
        TBadCase{"NotTiff", [] { return TBytes{'X', 'X', 42, 0, 8, 0, 0, 0}; }, true},
        TBadCase{"NoFirstDirectory", [] { return TBytes{'I', 'I', 42, 0, 0, 0, 0, 0}; }, true},
        TBadCase{"FirstDirectoryPastTheEnd", [] { return TBytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0}; }, true},
        TBadCase{"UnequalBitsPerSample", [] { return Gray([](TPage& p) {
                                                TagOf(p, 258) = Short(258, {8, 16});
                                              }); },
                 true},
        TBadCase{"ZeroBits", [] { return Gray([](TPage& p) { TagOf(p, 258) = Short(258, {0}); }); }, true},
        TBadCase{"HugeSampleCount", [] { return Gray([](TPage& p) { TagOf(p, 277) = Short(277, {60000}); }); }, true},
        TBadCase{"ZeroWidth", [] { return Gray([](TPage& p) { TagOf(p, 256) = Long(256, {0}); }); }, true},
        TBadCase{"HugePicture", [] { return Gray([](TPage& p) { TagOf(p, 256) = Long(256, {4000000}); }); }, true},
        TBadCase{"Deflate", [] { return Gray([](TPage& p) { TagOf(p, 259) = Short(259, {8}); }); }, true},
        TBadCase{"FloatSamples", [] { return Gray([](TPage& p) { p.Tags.push_back(Short(339, {3})); }); }, true},
        TBadCase{"FewerOffsetsThanStrips", [] { return Gray([](TPage& p) { p.Strips.pop_back(); }); }, true},
        // Uncompressed data without byte counts: the rows' size is read.
        TBadCase{"MissingByteCounts", [] { return Gray([](TPage& p) { p.NoByteCounts = true; }); }, false},
        TBadCase{"CompressedWithoutByteCounts",
                 [] {
                   return Gray([](TPage& p) {
                     p.NoByteCounts = true;
                     TagOf(p, 259) = Short(259, {32773});
                   });
                 },
                 true},
        // A byte count past the end of the file: the bytes there are used.
        TBadCase{"ByteCountPastTheEnd",
                 [] {
                   return Gray([](TPage& p) {
                     p.Tags.push_back(Long(279, {4, 0x7FFFFFFF}));
                     p.NoByteCounts = true;
                   });
                 },
                 false},
        // A strip offset past the end: its rows stay white, the rest loads.
        TBadCase{"OffsetPastTheEnd",
                 [] {
                   TBytes f = Gray([](TPage&) {});
                   return f;
                 },
                 false},
        TBadCase{"DirectoryLoop", [] { return Gray([](TPage&) {}, false, true); }, false},
        TBadCase{"HugeTagCount",
                 [] {
                   return Gray([](TPage& p) {
                     TTag t = Short(320, {1, 2, 3});
                     t.ForcedCount = 0xFFFFFFF0u;
                     p.Tags.push_back(t);
                   });
                 },
                 false},
        TBadCase{"HugeStripOffsetCount",
                 [] {
                   return Gray([](TPage& p) {
                     TagOf(p, 278) = Long(278, {1});
                     TagOf(p, 257) = Long(257, {2});
                     p.Tags.push_back(Long(273, {8}));
                     p.Tags.back().ForcedCount = 0x40000000u;
                     p.Strips.clear();
                   });
                 },
                 true},
        TBadCase{"PaletteWithoutColourMap", [] { return Gray([](TPage& p) { TagOf(p, 262) = Short(262, {3}); }); },
                 true},
        // PackBits runs that pass the row and the strip are clamped.
        TBadCase{"PackBitsRunPastTheRow",
                 [] {
                   return Gray([](TPage& p) {
                     TagOf(p, 259) = Short(259, {32773});
                     p.Strips = {{0x81, 9, 0x81, 9, 0x81, 9}, {0x7F, 1, 2}};
                   });
                 },
                 false},
        TBadCase{"BadLzw",
                 [] {
                   return Gray([](TPage& p) {
                     TagOf(p, 259) = Short(259, {5});
                     p.Strips = {{0x80, 0x7F, 0xFF, 0xFF}, {0x80, 0x00}};
                   });
                 },
                 true},
        TBadCase{"JpegStripOfTheWrongSize",
                 [] {
                   return Gray([](TPage& p) {
                     TagOf(p, 259) = Short(259, {7});
                     p.Strips = {{0xFF, 0xD8, 0xFF, 0xD9}, {0xFF, 0xD8, 0xFF, 0xD9}};
                   });
                 },
                 true}),
    [](const testing::TestParamInfo<TBadCase>& info) { return std::string(info.param.Name); });

// A strip whose offset lies past the end of the file leaves its rows white.
TEST(TiffReader, StripPastTheEndLeavesItsRowsWhite) {
  TPage p = Basic(2, 2, 8, 1, 1, 1, 1);
  p.NoByteCounts = true;
  TBytes file = TTiffWriter().Build({p});
  // Strips written by hand: the first at 8 (inside the header's directory
  // pointer area is not used: put the data at the end), the second far away.
  p.Strips.clear();
  p.Tags.push_back(Long(273, {0, 0}));
  file = TTiffWriter().Build({p});
  const uint32_t dataAt = uint32_t(file.size());
  file.push_back(40);
  file.push_back(41);
  // Patch the offsets in the out-of-line value (the only {0, 0} LONG pair).
  for (size_t i = 8; i + 8 <= dataAt; ++i) {
    if (std::all_of(file.begin() + long(i), file.begin() + long(i + 8), [](uint8_t v) { return v == 0; })) {
      file[i] = uint8_t(dataAt);
      file[i + 1] = uint8_t(dataAt >> 8);
      file[i + 4] = 0xFF;
      file[i + 5] = 0xFF;
      file[i + 6] = 0xFF;
      break;
    }
  }
  TRun run;
  run.Params.NativePixelFormat = 1;
  run.Read(file);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Bitmap.ByteAt(0, 0), 40);
  EXPECT_EQ(run.Bitmap.ByteAt(1, 0), 41);
  EXPECT_EQ(run.Bitmap.ByteAt(0, 1), 0);
}

std::vector<uint32_t> GrayRampColorMap() {
  std::vector<uint32_t> map;
  for (int channel = 0; channel < 3; ++channel)
    for (uint32_t i = 0; i < 256; ++i) map.push_back(i * 257);
  return map;
}

// Native layouts in a bitmap held in a platform bitmap, which holds 8-bit
// rows: 16-bit gray gives its high bytes, a palette whose colours form a gray
// ramp (so the platform bitmap reads as gray) keeps its indexes.
TEST(TiffReader, NativeLayoutsInAPlatformBitmap) {
  struct TCase {
    const char* Name;
    TPage Page;
    uint8_t First, Second;
  };
  TPage gray16 = Basic(2, 1, 16, 1, 1);
  gray16.Strips = {{0x34, 0x12, 0xCD, 0xAB}};
  TPage palette = Basic(2, 1, 8, 1, 3);
  palette.Tags.push_back(Short(320, GrayRampColorMap()));
  palette.Strips = {{7, 200}};
  for (const TCase& c : {TCase{"16-bit gray", gray16, 0x12, 0xAB}, TCase{"gray-ramp palette", palette, 7, 200}}) {
    SCOPED_TRACE(c.Name);
    TRun run;
    run.Params.NativePixelFormat = 1;
    run.Bitmap.SetLocation(pxTBitmap);
    run.Read(TTiffWriter().Build({c.Page}));
    ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
    ASSERT_EQ(run.Bitmap.BitsPerPixel(), 8);
    EXPECT_EQ(run.Bitmap.ByteAt(0, 0), c.First);
    EXPECT_EQ(run.Bitmap.ByteAt(1, 0), c.Second);
  }
}

}  // namespace
}  // namespace rv
