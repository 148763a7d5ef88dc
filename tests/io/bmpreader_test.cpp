// The BMP reader on tiny files made here: every header form, depth and
// compression it reads, and every class of malformed input it must survive.
// Files are written by MakeBmp from a TBmpSpec so each case reads as a recipe.
#include "io/readers/bmpreader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bmpfile.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/pictureio.h"
#include "io/progress.h"
#include "readertest.h"

namespace rv {
namespace {

using namespace testing_support;
using namespace testing_support::bmp;

class BmpReaderTest : public testing::Test {
 protected:
  void Read(const Bytes& file, bool paramsOnly = false, bool ignoreAlpha = false, bool noFileHeader = false,
            int32_t dataSize = 0) {
    TPxMemStream stream(file.data(), int64_t(file.size()));
    aborted_ = false;
    progress_.Aborted = &aborted_;
    progress_.AbortReason.clear();
    TReadContext ctx{.Stream = stream,
                     .Bitmap = bitmap_,
                     .Params = params_,
                     .Progress = progress_,
                     .ParamsOnly = paramsOnly,
                     .MaskOut = &mask_};
    ReadBmp(ctx, {.DataSize = dataSize, .IgnoreAlpha = ignoreAlpha, .NoFileHeader = noFileHeader});
  }
  // A 2x1 picture the reader must leave alone when it refuses a file.
  void PlantPreviousPicture() {
    bitmap_.AllocatePixels(2, 1, pxRGB24);
    bitmap_.SetPixelBGR(0, 0, TColorBGR{1, 2, 3});
    bitmap_.SetPixelBGR(1, 0, TColorBGR{4, 5, 6});
  }
  void ExpectPreviousPicture() {
    ASSERT_EQ(bitmap_.Width(), 2);
    ASSERT_EQ(bitmap_.Height(), 1);
    EXPECT_EQ(bitmap_.ColorAt(1, 0), (TColorBGR{4, 5, 6}));
  }

  TPxBitmap bitmap_;
  TIOParamsVals params_;
  TProgressRecord progress_;
  bool aborted_ = false;
  std::unique_ptr<TPxMask> mask_;
};

// ------------------------------------------------------------ main paths

// Both row orders into both bitmap stores: the in-memory store takes the
// whole-block read, the file-backed store the row-by-row one.
struct TStoreCase {
  bool topDown;
  bool fileBacked;
};

class BmpRows24Test : public BmpReaderTest, public testing::WithParamInterface<TStoreCase> {};

TEST_P(BmpRows24Test, EveryPixelLandsInItsRow) {
  const auto [topDown, fileBacked] = GetParam();
  if (fileBacked) bitmap_.SetMemoryThreshold(0);
  TBmpSpec s;
  s.width = 5;  // 15 bytes a row: one byte of padding
  s.height = topDown ? -4 : 4;
  s.pixels = Rows24(5, 4, topDown);
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(bitmap_.Location(), fileBacked ? pxTempFile : pxInMemory);
  ASSERT_EQ(bitmap_.Format(), pxRGB24);
  ASSERT_EQ(bitmap_.Width(), 5);
  ASSERT_EQ(bitmap_.Height(), 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), Colour24(x, y)) << x << "," << y;
  EXPECT_EQ(params_.Width, 5);
  EXPECT_EQ(params_.Height, 4);
  EXPECT_EQ(params_.BitsPerSample, 8);
  EXPECT_EQ(params_.SamplesPerPixel, 3);
  EXPECT_EQ(params_.BmpVersion, 1);
  EXPECT_FALSE(mask_);
}

INSTANTIATE_TEST_SUITE_P(Stores, BmpRows24Test,
                         testing::Values(TStoreCase{false, false}, TStoreCase{true, false}, TStoreCase{false, true},
                                         TStoreCase{true, true}));

TEST_F(BmpReaderTest, ResolutionBecomesDpiRoundedAndZeroMeans300) {
  TBmpSpec s;
  s.xppm = 3780;  // 96.012 dpi
  s.yppm = 0;
  s.pixels = Rows24(1, 1, false);
  Read(MakeBmp(s));
  EXPECT_EQ(params_.DpiX(), 96);
  EXPECT_EQ(params_.DpiY(), 300);
}

struct TAlphaCase {
  const char* name;
  std::function<uint8_t(int x, int y)> alpha;
  bool ignoreAlpha;
  bool maskExpected;
};

class BmpAlpha32Test : public BmpReaderTest, public testing::WithParamInterface<TAlphaCase> {};

TEST_P(BmpAlpha32Test, FourthByteIsAlphaUnlessUniform) {
  const TAlphaCase& c = GetParam();
  TBmpSpec s;
  s.width = 3;
  s.height = 2;
  s.bitCount = 32;
  s.pixels = StoredRows(3, 2, 32, false, [&](int x, int y, uint8_t* row) {
    const TColorBGR col = Colour24(x, y);
    std::memcpy(row + 4 * x, &col, 3);
    row[4 * x + 3] = c.alpha(x, y);
  });
  Read(MakeBmp(s), false, c.ignoreAlpha);
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(params_.SamplesPerPixel, 4);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), Colour24(x, y));
  ASSERT_EQ(bool(mask_), c.maskExpected);
  if (mask_) {
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(mask_->MaskPixel(x, y), c.alpha(x, y)) << x << "," << y;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BmpAlpha32Test,
    testing::Values(TAlphaCase{"Varied", [](int x, int y) { return uint8_t(40 * x + 100 * y); }, false, true},
                    TAlphaCase{"OneNonZero", [](int x, int y) { return uint8_t(x == 2 && y == 1 ? 7 : 0); }, false,
                               true},
                    TAlphaCase{"AllZero", [](int, int) { return uint8_t(0); }, false, false},
                    TAlphaCase{"AllOpaque", [](int, int) { return uint8_t(255); }, false, false},
                    TAlphaCase{"Ignored", [](int x, int) { return uint8_t(x); }, true, false}),
    [](const testing::TestParamInfo<TAlphaCase>& i) { return std::string(i.param.name); });

// Bit fields: the channels wherever the masks put them, widened to 8 bits
// with rounding (5-bit 31 is 255).
struct TFieldCase {
  const char* name;
  uint32_t headerSize;
  uint16_t bitCount;
  uint32_t compression;
  std::vector<uint32_t> masks;  // red, green, blue[, alpha]
  uint32_t pixel;
  TColorBGR expected;
  int expectedAlpha;  // -1: no mask
};

class BmpBitFieldsTest : public BmpReaderTest, public testing::WithParamInterface<TFieldCase> {};

TEST_P(BmpBitFieldsTest, ChannelsComeFromTheirMasks) {
  const TFieldCase& c = GetParam();
  TBmpSpec s;
  s.headerSize = c.headerSize;
  s.width = 2;
  s.bitCount = c.bitCount;
  s.compression = c.compression;
  s.masks = c.masks;
  // Pixel 0 is the case's value; pixel 1 is 0, so alpha is not uniform.
  s.pixels = StoredRows(2, 1, c.bitCount, false, [&](int x, int, uint8_t* row) {
    const uint32_t v = x == 0 ? c.pixel : 0;
    for (int i = 0; i < c.bitCount / 8; ++i) row[x * c.bitCount / 8 + i] = uint8_t(v >> (8 * i));
  });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(bitmap_.ColorAt(0, 0), c.expected);
  EXPECT_EQ(bitmap_.ColorAt(1, 0), (TColorBGR{0, 0, 0}));
  ASSERT_EQ(bool(mask_), c.expectedAlpha >= 0);
  if (mask_) {
    EXPECT_EQ(mask_->MaskPixel(0, 0), c.expectedAlpha);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BmpBitFieldsTest,
    testing::Values(
        // No bit fields: 5-5-5.
        TFieldCase{"Default555White", 40, 16, 0, {}, 0x7FFF, {255, 255, 255}, -1},
        TFieldCase{"Default555Red", 40, 16, 0, {}, 0x7C00, {0, 0, 255}, -1},
        TFieldCase{"Rgb565", 40, 16, 3, {0xF800, 0x07E0, 0x001F}, 0x07E0, {0, 255, 0}, -1},
        TFieldCase{"Rgb565Mid", 40, 16, 3, {0xF800, 0x07E0, 0x001F}, 0x0010, {132, 0, 0}, -1},
        TFieldCase{"Argb4444", 40, 16, 6, {0x0F00, 0x00F0, 0x000F, 0xF000}, 0x8F00, {0, 0, 255}, 136},
        TFieldCase{"Xbgr32", 40, 32, 3, {0x000000FF, 0x0000FF00, 0x00FF0000}, 0x00332211, {0x33, 0x22, 0x11}, -1},
        TFieldCase{"Top1BitRed32", 40, 32, 3, {0x80000000, 0x0000FF00, 0x000000FF}, 0x80000000, {0, 0, 255}, -1},
        TFieldCase{"MasksInsideV5Header",
                   124,
                   32,
                   3,
                   {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000},
                   0x80102030,
                   {0x30, 0x20, 0x10},
                   0x80},
        TFieldCase{"MasksInside52ByteHeader",
                   52,
                   32,
                   3,
                   {0xFF000000, 0x0000FF00, 0x000000FF},
                   0xAA0000BB,
                   {0xBB, 0, 0xAA},
                   -1}),
    [](const testing::TestParamInfo<TFieldCase>& i) { return std::string(i.param.name); });

// Large 16-bit pictures go through a table of all 65536 values; each of
// their rows must decode as the same row does alone (computed per pixel).
TEST_F(BmpReaderTest, LargeSixteenBitPictureMatchesItsRowsDecodedAlone) {
  const int w = 300, h = 250;
  auto value = [](int x, int y) { return uint16_t(x * 131 + y * 1009 + (x * y) % 7); };
  auto make = [&](int height, int firstRow) {
    TBmpSpec s;
    s.width = w;
    s.height = -height;
    s.bitCount = 16;
    s.compression = 6;
    s.masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    s.pixels = StoredRows(w, height, 16, true, [&](int x, int y, uint8_t* row) {
      const uint16_t v = value(x, firstRow + y);
      row[2 * x] = uint8_t(v);
      row[2 * x + 1] = uint8_t(v >> 8);
    });
    return MakeBmp(s);
  };
  Read(make(h, 0));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  ASSERT_TRUE(mask_);
  TPxBitmap whole;
  bitmap_.MoveStorageTo(whole);
  const std::unique_ptr<TPxMask> wholeMask = std::move(mask_);
  for (int y = 0; y < h; y += 37) {
    Read(make(1, y));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    for (int x = 0; x < w; ++x) {
      ASSERT_EQ(whole.ColorAt(x, y), bitmap_.ColorAt(x, 0)) << x << "," << y;
      ASSERT_EQ(wholeMask->MaskPixel(x, y), mask_ ? mask_->MaskPixel(x, 0) : 255) << x << "," << y;
    }
  }
}

TEST_F(BmpReaderTest, OneBitBlackWhiteStaysMonoAndWhiteBlackIsInverted) {
  for (const bool whiteFirst : {false, true}) {
    SCOPED_TRACE(whiteFirst ? "white, black" : "black, white");
    TBmpSpec s;
    s.width = 10;
    s.height = 2;
    s.bitCount = 1;
    s.palette = whiteFirst ? std::vector<TColorBGR>{{255, 255, 255}, {0, 0, 0}}
                           : std::vector<TColorBGR>{{0, 0, 0}, {255, 255, 255}};
    s.pixels = IndexRows(10, 2, 1, [](int x, int y) { return (x + y) % 3 == 0 ? 1 : 0; });
    Read(MakeBmp(s));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    ASSERT_EQ(bitmap_.Format(), pxMono1);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 10; ++x) {
        const bool indexOne = (x + y) % 3 == 0;
        const uint8_t v = (indexOne != whiteFirst) ? 255 : 0;  // shown colour of the index
        EXPECT_EQ(bitmap_.ColorAt(x, y), (TColorBGR{v, v, v})) << x << "," << y;
      }
    EXPECT_EQ(params_.ColorMapCount(), 2);
  }
}

// Palettes other than black and white are applied (a mono bitmap would lose them).
TEST_F(BmpReaderTest, OneBitColourPaletteIsApplied) {
  TBmpSpec s;
  s.width = 9;
  s.bitCount = 1;
  s.palette = {{0, 0, 200}, {0, 200, 0}};
  s.pixels = IndexRows(9, 1, 1, [](int x, int) { return x & 1; });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  for (int x = 0; x < 9; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 0), s.palette[size_t(x & 1)]);
}

struct TIndexedCase {
  uint16_t bitCount;
  bool native;
  bool fileBacked;
};

class BmpIndexedTest : public BmpReaderTest, public testing::WithParamInterface<TIndexedCase> {};

TEST_P(BmpIndexedTest, IndexesGoThroughTheColourTable) {
  const auto [bits, native, fileBacked] = GetParam();
  if (fileBacked) bitmap_.SetMemoryThreshold(0);
  params_.NativePixelFormat = native ? 1 : 0;
  const int colours = 1 << bits;
  auto index = [colours](int x, int y) { return (x * 3 + y * 5) % colours; };
  TBmpSpec s;
  s.width = 7;
  s.height = 3;
  s.bitCount = bits;
  s.palette = Ramp(colours);
  s.pixels = IndexRows(7, 3, bits, index);
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(bitmap_.Format(), native ? pxPalette8 : pxRGB24);
  if (native) {
    EXPECT_EQ(bitmap_.QuantizeColors(), colours);
  }
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), s.palette[size_t(index(x, y))]) << x << "," << y;
  EXPECT_EQ(params_.BitsPerSample, bits);
  EXPECT_EQ(params_.SamplesPerPixel, 1);
  ASSERT_EQ(params_.ColorMapCount(), colours);
  EXPECT_EQ(params_.ColorMap()[colours - 1], s.palette.back());
}

INSTANTIATE_TEST_SUITE_P(Depths, BmpIndexedTest,
                         testing::Values(TIndexedCase{2, false, false}, TIndexedCase{4, false, false},
                                         TIndexedCase{4, true, false}, TIndexedCase{8, false, false},
                                         TIndexedCase{8, true, false}, TIndexedCase{8, false, true}));

TEST_F(BmpReaderTest, CoreHeaderHasThreeByteEntriesAndDefaultDpi) {
  TBmpSpec s;
  s.headerSize = 12;
  s.width = 4;
  s.height = 2;
  s.bitCount = 8;
  s.palette = Ramp(256);
  s.pixels = IndexRows(4, 2, 8, [](int x, int y) { return 250 + x + y; });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(params_.BmpVersion, 2);
  EXPECT_EQ(params_.DpiX(), 300);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), s.palette[size_t(250 + x + y)]);
}

TEST_F(BmpReaderTest, V4HeaderColourTableFollowsTheHeader) {
  TBmpSpec s;
  s.headerSize = 108;
  s.width = 3;
  s.bitCount = 8;
  s.palette = Ramp(256);
  s.pixels = IndexRows(3, 1, 8, [](int x, int) { return 100 + x; });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(params_.BmpVersion, 0);
  for (int x = 0; x < 3; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 0), s.palette[size_t(100 + x)]);
}

// The masks of a 40-byte bit-field header come before the colour table.
TEST_F(BmpReaderTest, BitFieldMasksPrecedeTheColourTable) {
  TBmpSpec s;
  s.width = 1;
  s.bitCount = 16;
  s.compression = 3;
  s.masks = {0xF800, 0x07E0, 0x001F};
  s.colorsUsed = 2;
  s.palette = Ramp(2);
  s.pixels = {0x00, 0xF8, 0, 0};  // pure red
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(bitmap_.ColorAt(0, 0), (TColorBGR{0, 0, 255}));
  EXPECT_EQ(params_.ColorMapCount(), 2);
}

// ------------------------------------------------------------ run-length

// The expected indexes, top row first; -1 never written (black).
const int kRle8Expected[4][6] = {
    {6, 7, 8, 9, -1, -1}, {-1, -1, 5, 5, 5, 5}, {-1, -1, -1, -1, -1, -1}, {1, 1, 1, 2, 3, 4}};

TEST_F(BmpReaderTest, Rle8RunsAbsoluteRunsDeltasAndEndOfBitmap) {
  for (const bool fileBacked : {false, true}) {
    SCOPED_TRACE(fileBacked ? "file-backed" : "in memory");
    bitmap_.SetMemoryThreshold(fileBacked ? 0 : int64_t(1) << 30);
    TBmpSpec s;
    s.width = 6;
    s.height = 4;
    s.bitCount = 8;
    s.compression = 1;
    s.palette = Ramp(16);
    s.pixels = kRle8Data;
    Read(MakeBmp(s));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    EXPECT_EQ(params_.BmpRunLength, 1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) {
        const int i = kRle8Expected[y][x];
        EXPECT_EQ(bitmap_.ColorAt(x, y), i < 0 ? TColorBGR{} : s.palette[size_t(i)]) << x << "," << y;
      }
  }
}

TEST_F(BmpReaderTest, Rle4AlternatesNibblesAndPacksAbsoluteRuns) {
  TBmpSpec s;
  s.width = 8;
  s.height = 2;
  s.bitCount = 4;
  s.compression = 2;
  s.palette = Ramp(16);
  s.pixels = kRle4Data;
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  const int bottom[8] = {0xA, 0xB, 0xA, 0xB, 0xA, 0xC, 0xD, 0xE};
  for (int x = 0; x < 8; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 1), s.palette[size_t(bottom[x])]) << x;
  for (int x = 0; x < 6; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 0), s.palette[size_t(x + 1)]) << x;
  for (int x = 6; x < 8; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 0), TColorBGR{}) << x;
}

// ------------------------------------------------------------ other modes

TEST_F(BmpReaderTest, ParametersOnlyFillsTheRecordAndAllocatesNothing) {
  TBmpSpec s;
  s.width = 30;
  s.height = -20;
  s.bitCount = 4;
  s.xppm = 2835;
  s.palette = Ramp(16);
  s.pixels = Bytes(16 * 20, 0);
  Read(MakeBmp(s), true);
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_TRUE(bitmap_.IsEmpty());
  EXPECT_EQ(params_.Width, 30);
  EXPECT_EQ(params_.Height, 20);
  EXPECT_EQ(params_.BitsPerSample, 4);
  EXPECT_EQ(params_.DpiX(), 72);
  EXPECT_EQ(params_.ColorMapCount(), 16);
}

// Icons hold the information header without a file header; dataSize bounds
// what may be read.
TEST_F(BmpReaderTest, WithoutFileHeaderDataFollowsTheColourTable) {
  TBmpSpec s;
  s.fileHeader = false;
  s.width = 2;
  s.height = 2;
  s.bitCount = 8;
  s.colorsUsed = 4;
  s.palette = Ramp(4);
  s.pixels = IndexRows(2, 2, 8, [](int x, int y) { return x + 2 * y; });
  Bytes data = MakeBmp(s);
  const int32_t size = int32_t(data.size());
  data.resize(data.size() + 100, 0xEE);  // what follows the entry is not this picture's
  Read(data, false, false, true, size);
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), s.palette[size_t(x + 2 * y)]);
}

// Inside an icon the stored height counts the picture and the AND bitmap
// below it: the picture is half of it, and the layout says where the AND
// bitmap starts (-1 after compressed data) and which bit count was used.
struct TIconCase {
  const char* name;
  int32_t storedHeight;
  uint16_t bitCount;  // 0: the fallback's
  uint32_t compression;
  int fallbackBitCount;
  int64_t andStart;  // from the start of the data
  bool topDown;
};

void PrintTo(const TIconCase& c, std::ostream* os) {
  *os << c.name;
}

class BmpIconLayoutTest : public BmpReaderTest, public testing::WithParamInterface<TIconCase> {};

TEST_P(BmpIconLayoutTest, HalvesTheHeightAndFindsTheAndBitmap) {
  const TIconCase& c = GetParam();
  TBmpSpec s;
  s.fileHeader = false;
  s.width = 3;
  s.height = c.storedHeight;
  s.bitCount = c.bitCount;
  s.compression = c.compression;
  s.colorsUsed = 4;
  s.palette = Ramp(4);
  // Picture rows of 3 indexes (4 bytes a row); the AND bytes after them are 0xFF.
  s.pixels = c.compression == 1 ? Bytes{3, 2, 0, 0, 3, 3, 0, 1} : Bytes{1, 2, 3, 0, 3, 2, 1, 0};
  s.pixels.resize(s.pixels.size() + 8, 0xFF);
  const Bytes data = MakeBmp(s);
  TPxMemStream stream(data.data(), int64_t(data.size()));
  progress_.Aborted = &aborted_;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap_, .Params = params_, .Progress = progress_, .MaskOut = &mask_};
  const TBmpIconLayout layout =
      ReadBmp(ctx, {.DataSize = int32_t(data.size()), .IconEntry = true, .IconFallbackBitCount = c.fallbackBitCount})
          .IconLayout;
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(layout.Width, 3);
  EXPECT_EQ(layout.Height, 2);
  EXPECT_EQ(layout.TopDown, c.topDown);
  EXPECT_EQ(layout.BitCount, 8);
  EXPECT_EQ(layout.AndStart, c.andStart);
  EXPECT_EQ(layout.AndRowBytes, 4);
  ASSERT_EQ(bitmap_.Height(), 2);
  EXPECT_EQ(params_.Height, 2);
  // The bottom stored row is the first in the file unless top-down.
  EXPECT_EQ(bitmap_.ColorAt(1, c.topDown ? 0 : 1), s.palette[2]);
  EXPECT_EQ(bitmap_.ColorAt(0, c.topDown ? 1 : 0), s.palette[3]);
}

const TIconCase kIconCases[] = {
    {"BottomUp", 4, 8, 0, 0, 40 + 16 + 8, false},
    {"TopDown", -4, 8, 0, 0, 40 + 16 + 8, true},
    {"OddStoredHeight", 5, 8, 0, 0, 40 + 16 + 8, false},
    {"BitCountFromTheEntry", 4, 0, 0, 8, 40 + 16 + 8, false},
    {"CompressedHasNoKnownAndStart", 4, 8, 1, 0, -1, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, BmpIconLayoutTest, testing::ValuesIn(kIconCases),
                         [](const testing::TestParamInfo<TIconCase>& i) { return std::string(i.param.name); });

TEST_F(BmpReaderTest, FormatEntryHandsBackTheAlphaMask) {
  TBmpSpec s;
  s.width = 2;
  s.bitCount = 32;
  s.pixels = {1, 2, 3, 0, 4, 5, 6, 90};
  const Bytes file = MakeBmp(s);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  progress_.Aborted = &aborted_;
  std::unique_ptr<TPxMask> mask;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap_, .Params = params_, .Progress = progress_, .MaskOut = &mask};
  ReadBmp(ctx);
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  ASSERT_TRUE(mask);
  EXPECT_EQ(mask->MaskPixel(0, 0), 0);
  EXPECT_EQ(mask->MaskPixel(1, 0), 90);
}

// The input component reaches this reader through the registry, and copies
// the mask into the picture's alpha channel.
TEST(BmpRegistry, InputComponentLoadsBmpWithAlpha) {
  const TFileFormatInfo* info = FindFormatByType(ffBMP);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ReadFunction, &WithDefaultOptions<ReadBmp>);
  TBmpSpec s;
  s.width = 2;
  s.bitCount = 32;
  s.pixels = {1, 2, 3, 0, 4, 5, 6, 90};
  const Bytes file = MakeBmp(s);
  TPictureIO io;
  io.LoadBuffer(file.data(), int64_t(file.size()), 0);
  ASSERT_FALSE(io.Aborted()) << io.AbortReason();
  EXPECT_EQ(io.ImageParams().FileType, ffBMP);
  TPxBitmap& b = *io.TargetBitmap();
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaAt(1, 0), 90);
  EXPECT_EQ(b.ColorAt(1, 0), (TColorBGR{4, 5, 6}));
}

// The caller aborts at the first progress report (after the bottom row):
// decoding stops there and the rows above stay unwritten (black).
TEST_F(BmpReaderTest, AbortFromTheProgressCallbackStopsAtTheNextRow) {
  TBmpSpec s;
  s.width = 4;
  s.height = 50;
  s.bitCount = 8;
  s.compression = 1;
  s.palette = Ramp(16);
  for (int row = 0; row < 50; ++row) s.pixels.insert(s.pixels.end(), {4, 9, 0, 0});
  progress_.Callback = [&](void*, int) { aborted_ = true; };
  Read(MakeBmp(s));
  ASSERT_EQ(bitmap_.Height(), 50);
  EXPECT_EQ(bitmap_.ColorAt(3, 49), s.palette[9]);
  EXPECT_EQ(bitmap_.ColorAt(0, 48), TColorBGR{});
  EXPECT_EQ(bitmap_.ColorAt(0, 0), TColorBGR{});
}

// ------------------------------------------------------------ bad input

// Headers that cannot be right: refused before anything is allocated.
struct TRefusedCase {
  const char* name;
  std::function<Bytes()> make;
  const char* reason;  // part of the reason text
};

class BmpRefusedTest : public BmpReaderTest, public testing::WithParamInterface<TRefusedCase> {};

TEST_P(BmpRefusedTest, AbortsAndKeepsThePreviousPicture) {
  const TRefusedCase& c = GetParam();
  PlantPreviousPicture();
  Read(c.make());
  EXPECT_TRUE(aborted_);
  EXPECT_NE(progress_.AbortReason.find(c.reason), std::string::npos) << progress_.AbortReason;
  EXPECT_EQ(progress_.AbortReason.rfind("BMP: ", 0), 0u) << progress_.AbortReason;
  ExpectPreviousPicture();
  EXPECT_FALSE(mask_);
}

TBmpSpec Changed(const std::function<void(TBmpSpec&)>& change) {
  TBmpSpec s = GoodSpec();
  change(s);
  return s;
}

const TRefusedCase kRefusedCases[] = {
    {"NoSignature",
     [] {
       Bytes b = MakeBmp(GoodSpec());
       b[0] = 'X';
       return b;
     },
     "no \"BM\" signature"},
    {"ShorterThanFileHeader",
     [] {
       Bytes b = MakeBmp(GoodSpec());
       b.resize(10);
       return b;
     },
     "signature"},
    {"BitmapArray",
     [] {
       Bytes b = MakeBmp(GoodSpec());
       b[0] = 'B';
       b[1] = 'A';
       return b;
     },
     "signature"},
    {"HeaderSize66", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.headerSize = 66; })); }, "header size 66"},
    {"HeaderSize200", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.headerSize = 200; })); }, "header size 200"},
    {"HeaderSize0",
     [] {
       Bytes b = MakeBmp(GoodSpec());
       Put32(b, 14, 0);
       return b;
     },
     "header size 0"},
    {"HeaderCutShort",
     [] {
       Bytes b = MakeBmp(GoodSpec());
       b.resize(30);
       return b;
     },
     "ends inside"},
    {"PlanesZero", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.planes = 0; })); }, "planes 0"},
    {"BitCount0", [] { return MakeBmp(WithBits(0, 0)); }, "bit count 0"},
    {"BitCount3", [] { return MakeBmp(WithBits(3, 0)); }, "bit count 3"},
    {"BitCount30000", [] { return MakeBmp(WithBits(30000, 0)); }, "bit count 30000"},
    {"BitCount64", [] { return MakeBmp(WithBits(64, 0)); }, "bit count 64"},
    {"Rle8WithFourBits", [] { return MakeBmp(WithBits(4, 1)); }, "compression 1"},
    {"Rle4WithEightBits", [] { return MakeBmp(WithBits(8, 2)); }, "compression 2"},
    // Plain 24-bit masks load (see BmpIrregularTest); others are no layout of 24-bit pixels.
    {"BitFieldsWith24BitsOtherMasks",
     [] {
       return MakeBmp(WithBits(24, 3, {0xFF, 0xFF00, 0xFF0000}));
     },
     "compression 3"},
    {"BitFieldsWith8Bits",
     [] {
       return MakeBmp(WithBits(8, 3, {0xE0, 0x1C, 0x03}));
     },
     "compression 3"},
    {"Compression7", [] { return MakeBmp(WithBits(24, 7)); }, "compression 7"},
    {"EmbeddedJpeg", [] { return MakeBmp(WithBits(0, 4)); }, "not supported"},
    {"Os2Huffman",
     [] {
       TBmpSpec s = WithBits(1, 3);
       s.headerSize = 64;
       return MakeBmp(s);
     },
     "not supported"},
    {"WidthZero", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.width = 0; })); }, "width 0"},
    {"WidthNegative", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.width = -4; })); }, "width -4"},
    {"CoreWidthZero",
     [] {
       return MakeBmp(Changed([](TBmpSpec& s) {
         s.headerSize = 12;
         s.width = 0;
       }));
     },
     "width 0"},
    {"HeightZero", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.height = 0; })); }, "height 0"},
    {"HeightMinInt",
     [] { return MakeBmp(Changed([](TBmpSpec& s) { s.height = std::numeric_limits<int32_t>::min(); })); },
     "-2147483648"},
    {"RedMaskEmpty",
     [] {
       return MakeBmp(WithBits(16, 3, {0, 0x03E0, 0x001F}));
     },
     "red mask 0 is empty"},
    {"MasksOverlap",
     [] {
       return MakeBmp(WithBits(16, 3, {0x7C00, 0x0FE0, 0x001F}));
     },
     "overlaps"},
    {"MaskNotOneRun",
     [] {
       return MakeBmp(WithBits(32, 3, {0xF0F00000, 0xFF00, 0xFF}));
     },
     "not one run"},
    {"MaskWiderThanPixel",
     [] {
       return MakeBmp(WithBits(16, 3, {0x1F0000, 0x03E0, 0x001F}));
     },
     "wider than 16"},
    {"AlphaMaskOverlapsRed",
     [] {
       return MakeBmp(WithBits(32, 6, {0xFF0000, 0xFF00, 0xFF, 0xFFFF0000}));
     },
     "alpha mask"},
    {"AllOnesMask",
     [] {
       return MakeBmp(WithBits(32, 3, {0xFFFFFFFF, 0xFF00, 0xFF}));
     },
     "overlaps"},
    {"OffsetPastEnd", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.dataOffset = 5000; })); }, "past the end"},
    {"OffsetInsideHeader", [] { return MakeBmp(Changed([](TBmpSpec& s) { s.dataOffset = 20; })); }, "inside"},
    // A header-only file may claim 64 MiB of pixels (72 million here), a cut one 64 times its data.
    {"HeaderOnlyClaimsTooMuch",
     [] {
       return MakeBmp(Changed([](TBmpSpec& s) {
         s.width = 9000;
         s.height = 8000;
         s.pixels.clear();
       }));
     },
     "claim far more"},
    {"CutFileClaimsTooMuch",
     [] {
       return MakeBmp(Changed([](TBmpSpec& s) {
         s.width = 9000;
         s.height = 8000;
         s.pixels.assign(9000 * 8000 / 64 - 9000, 1);
       }));
     },
     "claim far more"},
    {"HugeDimensions",
     [] {
       return MakeBmp(Changed([](TBmpSpec& s) {
         s.width = std::numeric_limits<int32_t>::max();
         s.height = std::numeric_limits<int32_t>::max();
       }));
     },
     "exceeds"},
    {"TinyRleClaimsHugePicture",
     [] {
       TBmpSpec s = WithBits(8, 1);
       s.width = 20000;
       s.height = 10000;
       s.palette = Ramp(4);
       s.pixels = {0, 0, 0, 1};
       return MakeBmp(s);
     },
     "cannot come from"},
};

INSTANTIATE_TEST_SUITE_P(Cases, BmpRefusedTest, testing::ValuesIn(kRefusedCases),
                         [](const testing::TestParamInfo<TRefusedCase>& i) { return std::string(i.param.name); });

// Irregular headers whose meaning is clear load as Pillow and ImageMagick
// load them: top-down run-length data, whose first row is the top one, and
// 24-bit pixels with bit fields that are the plain 24-bit layout.
struct TIrregularCase {
  const char* name;
  std::function<TBmpSpec()> spec;
  std::vector<int> top, bottom;  // expected indexes of the 4x2 picture (-1 black); empty: colours below
};

class BmpIrregularTest : public BmpReaderTest, public testing::WithParamInterface<TIrregularCase> {};

TEST_P(BmpIrregularTest, LoadsAsTheWidelyUsedDecodersDo) {
  const TIrregularCase& c = GetParam();
  const TBmpSpec s = c.spec();
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  ASSERT_EQ(bitmap_.Width(), 4);
  ASSERT_EQ(bitmap_.Height(), 2);
  for (int x = 0; x < 4; ++x) {
    for (int y = 0; y < 2; ++y) {
      if (c.top.empty()) {
        // 24-bit data: Colour24 at every pixel.
        EXPECT_EQ(bitmap_.ColorAt(x, y), Colour24(x, y)) << x << "," << y;
        continue;
      }
      const int i = (y == 0 ? c.top : c.bottom)[size_t(x)];
      EXPECT_EQ(bitmap_.ColorAt(x, y), i < 0 ? TColorBGR{} : s.palette[size_t(i)]) << x << "," << y;
    }
  }
}

void PrintTo(const TIrregularCase& c, std::ostream* os) {
  *os << c.name;
}

TBmpSpec TopDownRle(Bytes data) {
  TBmpSpec s = WithBits(8, 1);
  s.height = -2;
  s.palette = Ramp(4);
  s.pixels = std::move(data);
  return s;
}

const TIrregularCase kIrregularCases[] = {
    {"TopDownRle",
     [] {
       return TopDownRle({4, 1, 0, 0, 4, 1, 0, 1});
     },
     {1, 1, 1, 1},
     {1, 1, 1, 1}},
    {"TopDownRleFirstRowOnTop",
     [] {
       return TopDownRle({4, 1, 0, 0, 2, 2, 0, 1});
     },
     {1, 1, 1, 1},
     {2, 2, -1, -1}},
    {"BitFieldsWith24Bits",
     [] {
       TBmpSpec s = WithBits(24, 3, {0xFF0000, 0xFF00, 0xFF});
       s.pixels = Rows24(4, 2, false);
       return s;
     },
     {},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, BmpIrregularTest, testing::ValuesIn(kIrregularCases),
                         [](const testing::TestParamInfo<TIrregularCase>& i) { return std::string(i.param.name); });

// Pixel indexes past the colour table: the picture is decoded with those
// pixels black and the abort flag is set afterwards.
struct TFaultCase {
  const char* name;
  uint16_t bitCount;
  uint32_t compression;
  Bytes data;                  // pixel data of a 4x2 picture
  std::vector<int> bottomRow;  // expected indexes of the bottom row, -1 black
  const char* reason;
};

class BmpFaultTest : public BmpReaderTest, public testing::WithParamInterface<TFaultCase> {};

TEST_P(BmpFaultTest, ClipsStopsAndAborts) {
  const TFaultCase& c = GetParam();
  TBmpSpec s = GoodSpec();
  s.bitCount = c.bitCount;
  s.compression = c.compression;
  s.colorsUsed = 16;
  s.palette = Ramp(16);
  s.pixels = c.data;
  Read(MakeBmp(s));
  EXPECT_TRUE(aborted_);
  EXPECT_NE(progress_.AbortReason.find(c.reason), std::string::npos) << progress_.AbortReason;
  ASSERT_EQ(bitmap_.Width(), 4);
  ASSERT_EQ(bitmap_.Height(), 2);
  for (int x = 0; x < 4; ++x) {
    const int i = c.bottomRow[size_t(x)];
    EXPECT_EQ(bitmap_.ColorAt(x, 1), i < 0 ? TColorBGR{} : s.palette[size_t(i)]) << x;
  }
}

const TFaultCase kFaultCases[] = {
    // Index 20 is past the 16-entry table: black, and the file is reported.
    {"IndexPastColourTable", 8, 0, {1, 20, 3, 15, 0, 0, 0, 0}, {1, -1, 3, 15}, "pixel index 20 past the colour table"},
    {"Rle8IndexPastColourTable", 8, 1, {2, 200, 2, 4, 0, 1}, {-1, -1, 4, 4}, "pixel index 200"},
};

INSTANTIATE_TEST_SUITE_P(Cases, BmpFaultTest, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<TFaultCase>& i) { return std::string(i.param.name); });

// Runs, absolute runs and deltas that reach past the row end or the last
// row: what lies outside the picture is dropped, every write stays inside
// (the sanitizer build checks that), decoding goes on, and it is no error.
struct TClipCase {
  const char* name;
  uint16_t bitCount;
  uint32_t compression;
  Bytes data;                    // pixel data of a 4x2 picture
  std::vector<int> top, bottom;  // expected indexes, -1 never written (black)
};

void PrintTo(const TClipCase& c, std::ostream* os) {
  *os << c.name;
}

class BmpRleClipTest : public BmpReaderTest, public testing::WithParamInterface<TClipCase> {};

TEST_P(BmpRleClipTest, DropsWhatLiesOutsideAndGoesOn) {
  const TClipCase& c = GetParam();
  TBmpSpec s = GoodSpec();
  s.bitCount = c.bitCount;
  s.compression = c.compression;
  s.colorsUsed = 16;
  s.palette = Ramp(16);
  s.pixels = c.data;
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  ASSERT_EQ(bitmap_.Width(), 4);
  ASSERT_EQ(bitmap_.Height(), 2);
  for (int x = 0; x < 4; ++x) {
    for (int y = 0; y < 2; ++y) {
      const int i = (y == 0 ? c.top : c.bottom)[size_t(x)];
      EXPECT_EQ(bitmap_.ColorAt(x, y), i < 0 ? TColorBGR{} : s.palette[size_t(i)]) << x << "," << y;
    }
  }
}

const TClipCase kClipCases[] = {
    {"Rle8RunPastRowEnd", 8, 1, {2, 3, 6, 1, 0, 0, 4, 9, 0, 1}, {9, 9, 9, 9}, {3, 3, 1, 1}},
    {"Rle8AbsoluteRunPastRowEnd", 8, 1, {1, 3, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 2, 9, 0, 1}, {9, 9, -1, -1}, {3, 1, 2, 3}},
    {"Rle8DeltaPastRowEnd", 8, 1, {1, 3, 0, 2, 4, 0, 1, 5, 0, 0, 1, 9, 0, 1}, {9, -1, -1, -1}, {3, -1, -1, -1}},
    // Nothing below the last row can be drawn: the run after the delta is not.
    {"Rle8DeltaPastLastRow", 8, 1, {1, 3, 0, 2, 0, 2, 1, 5}, {-1, -1, -1, -1}, {3, -1, -1, -1}},
    {"Rle8RunAfterEndOfRow", 8, 1, {4, 3, 1, 7, 0, 0, 1, 9, 0, 1}, {9, -1, -1, -1}, {3, 3, 3, 3}},
    {"Rle4RunPastRowEnd", 4, 2, {3, 0x12, 9, 0x45, 0, 0, 4, 0x67, 0, 1}, {6, 7, 6, 7}, {1, 2, 1, 4}},
    {"Rle4AbsoluteRunPastRowEnd", 4, 2, {0, 6, 0x12, 0x34, 0x56, 0, 0, 0, 2, 0x89, 0, 1}, {8, 9, -1, -1}, {1, 2, 3, 4}},
};

INSTANTIATE_TEST_SUITE_P(Cases, BmpRleClipTest, testing::ValuesIn(kClipCases),
                         [](const testing::TestParamInfo<TClipCase>& i) { return std::string(i.param.name); });

// Odd widths as ImageMagick writes them: each row is encoded with its padding
// (5 pixels stored as 8), so runs start in the padding or cross into it. The
// picture must equal the same indexes stored uncompressed.
TEST_F(BmpReaderTest, RleRunsIntoTheRowPaddingDecodeAsTheUncompressedPicture) {
  // File rows, bottom first, padding (the last 3) included, and how each is
  // cut into runs: positive lengths are encoded runs, negative absolute runs.
  const std::vector<std::vector<int>> rows = {
      {1, 2, 3, 4, 4, 0, 0, 0}, {5, 6, 7, 0, 0, 0, 0, 0}, {8, 9, 10, 11, 12, 0, 0, 0}};
  const std::vector<std::vector<int>> cuts = {{-3, 2, 3}, {-3, 5}, {1, -7}};
  for (const int bits : {8, 4}) {
    SCOPED_TRACE(std::to_string(bits) + "-bit");
    Bytes rle, plain;
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::vector<int>& v = rows[r];
      for (size_t i = 0; i < v.size(); ++i) {
        if (bits == 8)
          plain.push_back(uint8_t(v[i]));
        else if (i % 2 == 0)
          plain.push_back(uint8_t(v[i] << 4 | v[i + 1]));
      }
      size_t at = 0;
      for (const int cut : cuts[r]) {
        const size_t n = size_t(cut < 0 ? -cut : cut);
        if (cut > 0) {
          // An encoded run: RLE4 alternates the two nibbles, here both the same value.
          rle.push_back(uint8_t(n));
          rle.push_back(uint8_t(bits == 8 ? v[at] : v[at] << 4 | v[at]));
        } else {
          rle.push_back(0);
          rle.push_back(uint8_t(n));
          Bytes run;
          for (size_t i = 0; i < n; ++i) {
            if (bits == 8)
              run.push_back(uint8_t(v[at + i]));
            else if (i % 2 == 0)
              run.push_back(uint8_t(v[at + i] << 4 | (i + 1 < n ? v[at + i + 1] : 0)));
          }
          if (run.size() % 2) run.push_back(0);
          rle.insert(rle.end(), run.begin(), run.end());
        }
        at += n;
      }
      rle.insert(rle.end(), {0, 0});
    }
    rle.insert(rle.end(), {0, 1});

    TBmpSpec s;
    s.width = 5;
    s.height = 3;
    s.bitCount = uint16_t(bits);
    s.palette = Ramp(16);
    s.pixels = plain;
    Read(MakeBmp(s));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    TPxBitmap uncompressed;
    bitmap_.MoveStorageTo(uncompressed);
    ASSERT_EQ(uncompressed.ColorAt(4, 1), s.palette[0]);  // file row 1, column 4
    ASSERT_EQ(uncompressed.ColorAt(3, 2), s.palette[4]);

    s.compression = bits == 8 ? 1 : 2;
    s.pixels = rle;
    Read(MakeBmp(s));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    ASSERT_EQ(bitmap_.Width(), 5);
    ASSERT_EQ(bitmap_.Height(), 3);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) EXPECT_EQ(bitmap_.ColorAt(x, y), uncompressed.ColorAt(x, y)) << x << "," << y;
  }
}

// Palette counts beyond 2^bits or beyond the file are clamped, not refused.
TEST_F(BmpReaderTest, PaletteCountAboveTwoToTheBitsUsesTheFirstEntries) {
  TBmpSpec s = GoodSpec();
  s.bitCount = 4;
  s.colorsUsed = 300;
  s.palette = Ramp(16);
  s.pixels = IndexRows(4, 2, 4, [](int x, int y) { return 15 - x - y; });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(params_.ColorMapCount(), 16);
  EXPECT_EQ(bitmap_.ColorAt(0, 0), s.palette[15]);
}

TEST_F(BmpReaderTest, ColourTableIsCutAtThePixelDataOffset) {
  TBmpSpec s = GoodSpec();
  s.colorsUsed = 256;  // but only 4 entries stored before the pixels
  s.palette = Ramp(4);
  s.pixels = IndexRows(4, 2, 8, [](int x, int) { return x; });
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(params_.ColorMapCount(), 4);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(bitmap_.ColorAt(x, 0), s.palette[size_t(x)]);
}

// A file that ends where its pixel data would start shows at the header's
// size, cleared: black in colour, palette index 0 when indexed, opaque. The
// pixel data offset may name that end or be left 0.
TEST_F(BmpReaderTest, HeaderOnlyFileShowsClearedAtTheHeadersSize) {
  struct TCase {
    const char* name;
    uint16_t bitCount;
    bool native;
    int64_t dataOffset;  // -1: the end of the file; 0: not given
  };
  for (const TCase& c : {TCase{"Pal8", 8, false, -1}, TCase{"Pal8NoOffset", 8, false, 0},
                         TCase{"Pal8Native", 8, true, -1}, TCase{"Rgba32", 32, false, -1}}) {
    SCOPED_TRACE(c.name);
    TBmpSpec s = c.bitCount == 8 ? GoodSpec() : WithBits(c.bitCount, 0);
    s.pixels.clear();
    s.dataOffset = c.dataOffset;
    params_.NativePixelFormat = c.native ? 1 : 0;
    PlantPreviousPicture();
    Read(MakeBmp(s));
    ASSERT_FALSE(aborted_) << progress_.AbortReason;
    ASSERT_EQ(bitmap_.Width(), 4);
    ASSERT_EQ(bitmap_.Height(), 2);
    EXPECT_EQ(bitmap_.Format(), c.native ? pxPalette8 : pxRGB24);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) {
        if (c.native)
          EXPECT_EQ(bitmap_.ByteAt(x, y), 0) << x << "," << y;
        else
          EXPECT_EQ(bitmap_.ColorAt(x, y), TColorBGR{}) << x << "," << y;
      }
    EXPECT_FALSE(mask_);
  }
}

TEST_F(BmpReaderTest, RleEndingWithoutEndOfBitmapIsNotAnError) {
  TBmpSpec s = GoodSpec();
  s.compression = 1;
  s.pixels = {4, 7, 0, 0, 2, 8};  // the data stops inside the second row
  Read(MakeBmp(s));
  ASSERT_FALSE(aborted_) << progress_.AbortReason;
  EXPECT_EQ(bitmap_.ColorAt(3, 1), s.palette[7]);
  EXPECT_EQ(bitmap_.ColorAt(1, 0), s.palette[8]);
  EXPECT_EQ(bitmap_.ColorAt(2, 0), TColorBGR{});
}

}  // namespace
}  // namespace rv
