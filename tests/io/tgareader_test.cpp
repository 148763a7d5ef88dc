// The TGA reader on tiny files made here: every pixel kind and origin, colour
// maps, run-length packets, the TGA 2.0 extension area, and every class of
// malformed input it must survive. Files are written by MakeTga from a
// TTgaSpec so each case reads as a recipe.
#include "io/readers/tgareader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/pictureio.h"
#include "io/progress.h"
#include "readertest.h"

namespace rv {
namespace {

using namespace testing_support;

// The TGA 2.0 extension area fields this reader takes.
struct TTgaExtension {
  std::string author = "An Author";
  std::string job = "A Job";
  uint16_t month = 2, day = 29, year = 2024, hour = 10, minute = 20, second = 30;
  uint8_t keyB = 1, keyG = 2, keyR = 3;
  uint16_t aspectNum = 3, aspectDen = 2;
  uint16_t gammaNum = 22, gammaDen = 10;
};

// What a test TGA holds. Fields left alone give a valid 2 x 2 24-bit file.
struct TTgaSpec {
  uint8_t imageType = 2;
  uint8_t mapType = 0;
  uint16_t mapFirst = 0, mapLength = 0;
  uint8_t mapEntryBits = 0;
  uint16_t xOrigin = 0, yOrigin = 0;
  uint16_t width = 2, height = 2;
  uint8_t depth = 24;
  uint8_t descriptor = 0;
  std::string id;
  Bytes map;   // colour-map entries as stored
  Bytes data;  // pixel data as stored
  bool extension = false;
  TTgaExtension ext;
  int64_t extensionOffset = -1;  // -1: where the extension area is written
};

Bytes MakeTga(const TTgaSpec& s) {
  Bytes b(18, 0);
  b[0] = uint8_t(s.id.size());
  b[1] = s.mapType;
  b[2] = s.imageType;
  Put16(b, 3, s.mapFirst);
  Put16(b, 5, s.mapLength);
  b[7] = s.mapEntryBits;
  Put16(b, 8, s.xOrigin);
  Put16(b, 10, s.yOrigin);
  Put16(b, 12, s.width);
  Put16(b, 14, s.height);
  b[16] = s.depth;
  b[17] = s.descriptor;
  for (char c : s.id) b.push_back(uint8_t(c));
  b.insert(b.end(), s.map.begin(), s.map.end());
  b.insert(b.end(), s.data.begin(), s.data.end());
  if (s.extension) {
    const size_t at = b.size();
    Bytes x(495, 0);
    Put16(x, 0, 495);
    std::copy(s.ext.author.begin(), s.ext.author.end(), x.begin() + 2);
    Put16(x, 367, s.ext.month);
    Put16(x, 369, s.ext.day);
    Put16(x, 371, s.ext.year);
    Put16(x, 373, s.ext.hour);
    Put16(x, 375, s.ext.minute);
    Put16(x, 377, s.ext.second);
    std::copy(s.ext.job.begin(), s.ext.job.end(), x.begin() + 379);
    x[470] = s.ext.keyB;
    x[471] = s.ext.keyG;
    x[472] = s.ext.keyR;
    Put16(x, 474, s.ext.aspectNum);
    Put16(x, 476, s.ext.aspectDen);
    Put16(x, 478, s.ext.gammaNum);
    Put16(x, 480, s.ext.gammaDen);
    b.insert(b.end(), x.begin(), x.end());
    Bytes footer(26, 0);
    Put32(footer, 0, uint32_t(s.extensionOffset >= 0 ? s.extensionOffset : int64_t(at)));
    const std::string sig = "TRUEVISION-XFILE.";
    std::copy(sig.begin(), sig.end(), footer.begin() + 8);
    b.insert(b.end(), footer.begin(), footer.end());
  }
  return b;
}

class TgaReaderTest : public TReaderTest {
 protected:
  TgaReaderTest() : TReaderTest(ffTGA) {}
};

// Four 24-bit pixels in file order: blue, green, red each.
const Bytes kFour24 = {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42};

TEST_F(TgaReaderTest, FirstStoredRowIsTheBottomOne) {
  TTgaSpec s;
  s.data = kFour24;
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{10, 11, 12}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{20, 21, 22}));
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{30, 31, 32}));
  EXPECT_EQ(Alpha(0, 0), -1);
}

TEST_F(TgaReaderTest, TopDownDescriptorPutsTheFirstStoredRowAtTheTop) {
  TTgaSpec s;
  s.descriptor = 0x20;
  s.data = kFour24;
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{10, 11, 12}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{40, 41, 42}));
}

TEST_F(TgaReaderTest, RightToLeftDescriptorMirrorsPixelsAndAlpha) {
  TTgaSpec s;
  s.width = 3;
  s.height = 1;
  s.depth = 32;
  s.descriptor = 0x10 | 8;
  s.data = {1, 1, 1, 10, 2, 2, 2, 20, 3, 3, 3, 30};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{3, 3, 3}));
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{2, 2, 2}));
  EXPECT_EQ(Pixel(2, 0), (TColorBGR{1, 1, 1}));
  EXPECT_EQ(Alpha(0, 0), 30);
  EXPECT_EQ(Alpha(2, 0), 10);
}

TEST_F(TgaReaderTest, ThirtyTwoBitAlphaBecomesTheAlphaChannel) {
  TTgaSpec s;
  s.depth = 32;
  s.descriptor = 8;
  s.data = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 1};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 5, 6}));
  EXPECT_EQ(Alpha(0, 1), 0);
  EXPECT_EQ(Alpha(1, 1), 128);
  EXPECT_EQ(Alpha(0, 0), 255);
  EXPECT_EQ(Alpha(1, 0), 1);
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 8);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 4);
}

TEST_F(TgaReaderTest, ThirtyTwoBitWithoutTransparencyLoadsOpaque) {
  struct {
    const char* name;
    uint8_t descriptor;
    uint8_t alpha[4];
  } cases[] = {
      {"alpha bits, every alpha 0", 8, {0, 0, 0, 0}},
      {"alpha bits, every alpha 255", 8, {255, 255, 255, 255}},
      {"no alpha bits in the descriptor", 0, {0, 9, 99, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTgaSpec s;
    s.depth = 32;
    s.descriptor = c.descriptor;
    for (int i = 0; i < 4; ++i) s.data.insert(s.data.end(), {7, 8, 9, c.alpha[i]});
    Load(MakeTga(s));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_FALSE(Bitmap().HasAlphaChannel());
    EXPECT_EQ(Pixel(1, 0), (TColorBGR{7, 8, 9}));
  }
}

TEST_F(TgaReaderTest, SixteenBitPixelsAreFiveFiveFiveTimesEight) {
  TTgaSpec s;
  s.depth = 16;
  s.width = 2;
  s.height = 1;
  // 0x7FFF: every channel 31; 0x0443: red 1, green 2, blue 3.
  s.data = {0xFF, 0x7F, 0x43, 0x04};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(248, 248, 248));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(8, 16, 24));
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 5);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 3);
}

TEST_F(TgaReaderTest, GrayPicturesAreGray) {
  TTgaSpec s;
  s.imageType = 3;
  s.depth = 8;
  s.data = {0, 50, 100, 255};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), MakeBGR(50, 50, 50));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(io_.ImageParams().TgaGrayscale, 1);
}

TEST_F(TgaReaderTest, SixteenBitGrayIsGrayAndAlpha) {
  TTgaSpec s;
  s.imageType = 3;
  s.depth = 16;
  s.descriptor = 8;
  s.data = {10, 0, 20, 100, 30, 200, 40, 255};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), MakeBGR(20, 20, 20));
  EXPECT_EQ(Alpha(0, 1), 0);
  EXPECT_EQ(Alpha(1, 1), 100);
  EXPECT_EQ(Alpha(1, 0), 255);
}

TEST_F(TgaReaderTest, ColourMapEntriesStartAtTheFirstIndex) {
  TTgaSpec s;
  s.imageType = 1;
  s.mapType = 1;
  s.mapFirst = 2;
  s.mapLength = 2;
  s.mapEntryBits = 24;
  s.map = {10, 20, 30, 40, 50, 60};
  s.depth = 8;
  s.descriptor = 0x20;
  // Values 2 and 3 have entries; 0 and 200 have none.
  s.data = {2, 3, 0, 200};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{10, 20, 30}));
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{40, 50, 60}));
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{0, 0, 0}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{0, 0, 0}));
  EXPECT_EQ(io_.ImageParams().ColorMapCount(), 2);
  EXPECT_EQ(io_.ImageParams().TgaGrayscale, 0);
}

TEST_F(TgaReaderTest, ColourMapWithAlphaGivesTransparency) {
  TTgaSpec s;
  s.imageType = 1;
  s.mapType = 1;
  s.mapLength = 2;
  s.mapEntryBits = 32;
  s.map = {1, 2, 3, 0, 4, 5, 6, 255};
  s.depth = 8;
  s.descriptor = 0x20;
  s.data = {0, 1, 1, 0};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{4, 5, 6}));
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Alpha(1, 0), 255);
}

TEST_F(TgaReaderTest, SixteenBitColourMapEntries) {
  TTgaSpec s;
  s.imageType = 1;
  s.mapType = 1;
  s.mapLength = 1;
  s.mapEntryBits = 16;
  s.map = {0x43, 0x04};
  s.depth = 8;
  s.data = {0, 0, 0, 0};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(8, 16, 24));
}

TEST_F(TgaReaderTest, MapEntriesPastIndex255AreNotKept) {
  TTgaSpec s;
  s.imageType = 1;
  s.mapType = 1;
  s.mapFirst = 250;
  s.mapLength = 300;
  s.mapEntryBits = 24;
  for (int i = 0; i < 300; ++i) s.map.insert(s.map.end(), {uint8_t(i), uint8_t(i >> 8), 7});
  s.depth = 8;
  s.descriptor = 0x20;
  s.data = {250, 255, 0, 1};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{0, 0, 7}));
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{5, 0, 7}));
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{0, 0, 0}));
}

TEST_F(TgaReaderTest, RunLengthPacketsCrossRows) {
  TTgaSpec s;
  s.imageType = 10;
  s.width = 3;
  s.descriptor = 0x20;
  // A run of 4 (three in row 0, one in row 1), then two raw pixels.
  s.data = {0x83, 9, 8, 7, 0x01, 1, 2, 3, 4, 5, 6};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(2, 0), (TColorBGR{9, 8, 7}));
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{9, 8, 7}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{1, 2, 3}));
  EXPECT_EQ(Pixel(2, 1), (TColorBGR{4, 5, 6}));
  EXPECT_EQ(io_.ImageParams().TgaRunLength, 1);
}

TEST_F(TgaReaderTest, PacketPassingTheEndOfThePictureIsClipped) {
  TTgaSpec s;
  s.imageType = 10;
  s.descriptor = 0x20;
  // A run of 128 pixels for a picture of 4, then a raw packet of 128.
  s.data = {0xFF, 9, 8, 7, 0x7F};
  s.data.insert(s.data.end(), 128 * 3, 5);
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{9, 8, 7}));
}

TEST_F(TgaReaderTest, RunLengthDataEndingInsideAPacketLeavesTheRestBlack) {
  TTgaSpec s;
  s.imageType = 10;
  s.descriptor = 0x20;
  s.data = {0x03, 1, 2, 3, 4, 5};  // a raw packet of four, cut in its second pixel
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{1, 2, 3}));
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{0, 0, 0}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{0, 0, 0}));
}

// Plain data that ends early keeps the header's size, as browsers show a cut
// picture: every pixel whose bytes are there equals the whole file's, every
// pixel past the data is black and opaque; a header-only file is all black.
struct TCutTga {
  const char* name;
  std::function<TTgaSpec()> spec;
  size_t present;  // bytes of pixel data the cut file keeps
};

class TgaCutTest : public TgaReaderTest, public testing::WithParamInterface<TCutTga> {};

TEST_P(TgaCutTest, KeepsTheHeadersSizeAndBlackensWhatIsMissing) {
  const TCutTga& c = GetParam();
  TTgaSpec s = c.spec();
  TPictureIO whole;
  const Bytes wholeFile = MakeTga(s);
  whole.LoadBuffer(wholeFile.data(), int64_t(wholeFile.size()), ffTGA);
  ASSERT_FALSE(whole.Aborted()) << whole.AbortReason();
  TPxBitmap& full = *whole.TargetBitmap();
  const int pixelBytes = (s.depth + 7) / 8;
  s.data.resize(c.present);
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Width(), s.width);
  ASSERT_EQ(Bitmap().Height(), s.height);
  EXPECT_EQ(io_.ImageParams().Height, s.height);
  const bool topDown = (s.descriptor & 0x20) != 0;
  for (int fileRow = 0; fileRow < s.height; ++fileRow) {
    const int y = topDown ? fileRow : s.height - 1 - fileRow;
    for (int x = 0; x < s.width; ++x) {
      const size_t first = size_t((fileRow * s.width + x) * pixelBytes);
      if (first + size_t(pixelBytes) <= c.present) {
        EXPECT_EQ(Pixel(x, y), full.ColorAt(x, y)) << x << "," << y;
        EXPECT_EQ(Alpha(x, y), full.HasAlphaChannel() ? full.AlphaChannel()->ByteAt(x, y) : -1) << x << "," << y;
      } else if (first >= c.present) {
        EXPECT_EQ(Pixel(x, y), MakeBGR(0, 0, 0)) << x << "," << y;
        EXPECT_TRUE(Alpha(x, y) == -1 || Alpha(x, y) == 255) << x << "," << y;
      }
    }
  }
}

void PrintTo(const TCutTga& c, std::ostream* os) {
  *os << c.name;
}

TTgaSpec Rows24(uint8_t descriptor) {
  TTgaSpec s;
  s.height = 3;
  s.descriptor = descriptor;
  s.data = {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
  return s;
}

// 8-bit values through a map of 32-bit entries with alpha; value 0's entry is not black.
TTgaSpec MappedWithAlpha() {
  TTgaSpec s;
  s.mapType = 1;
  s.mapLength = 3;
  s.mapEntryBits = 32;
  s.map = {1, 2, 3, 40, 4, 5, 6, 255, 7, 8, 9, 120};
  s.depth = 8;
  s.width = 3;
  s.height = 3;
  s.data = {0, 1, 2, 2, 1, 0, 1, 1, 1};
  return s;
}

const TCutTga kCutTga[] = {
    {"BottomUp", [] { return Rows24(0); }, 9},  // one and a half rows
    {"TopDown", [] { return Rows24(0x20); }, 9}, {"PartialPixel", [] { return Rows24(0); }, 8},
    {"MappedWithAlpha", MappedWithAlpha, 4},     {"HeaderOnly", [] { return Rows24(0); }, 0},
    {"HeaderOnlyMapped", MappedWithAlpha, 0},
};

INSTANTIATE_TEST_SUITE_P(Cuts, TgaCutTest, testing::ValuesIn(kCutTga),
                         [](const testing::TestParamInfo<TCutTga>& i) { return std::string(i.param.name); });

// 8-bit colour-map entries are gray levels, as Pillow and ImageMagick read them.
TEST_F(TgaReaderTest, EightBitMapEntriesAreGrayLevels) {
  TTgaSpec s;
  s.imageType = 1;
  s.mapType = 1, s.mapLength = 4, s.mapEntryBits = 8, s.map = {1, 2, 3, 4};
  s.depth = 8;
  s.descriptor = 0x20;
  s.data = {3, 0, 2, 1};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(4, 4, 4));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(1, 1, 1));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(3, 3, 3));
  EXPECT_EQ(Pixel(1, 1), MakeBGR(2, 2, 2));
  EXPECT_EQ(io_.ImageParams().ColorMapCount(), 4);
  EXPECT_FALSE(Bitmap().HasAlphaChannel());
}

TEST_F(TgaReaderTest, OneBitPixelsAreMonochrome) {
  TTgaSpec s;
  s.imageType = 3;
  s.depth = 1;
  s.width = 9;
  s.height = 1;
  s.data = {0b10000001, 0b10000000};
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Format(), pxMono1);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(0, 0, 0));
  EXPECT_EQ(Pixel(8, 0), MakeBGR(255, 255, 255));
}

TEST_F(TgaReaderTest, ExtensionAreaFillsTheTgaFields) {
  TTgaSpec s;
  s.data = kFour24;
  s.id = "picture id";
  s.xOrigin = 5;
  s.yOrigin = 6;
  s.extension = true;
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  const TIOParamsVals& p = io_.ImageParams();
  EXPECT_DOUBLE_EQ(p.TgaGamma, 2.2);
  EXPECT_DOUBLE_EQ(p.TgaAspectRatio, 1.5);
  EXPECT_EQ(p.TgaAuthor, "An Author");
  EXPECT_EQ(p.TgaJobName, "A Job");
  EXPECT_EQ(p.TgaImageName, "picture id");
  EXPECT_EQ(p.TgaKeyColor, (TColorBGR{1, 2, 3}));
  EXPECT_EQ(p.TgaXOrigin, 5);
  EXPECT_EQ(p.TgaYOrigin, 6);
  EXPECT_EQ(p.TgaRunLength, 0);
  using namespace std::chrono;
  EXPECT_EQ(p.TgaDate, sys_days(year(2024) / February / 29) + hours(10) + minutes(20) + seconds(30));
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{10, 11, 12}));
}

TEST_F(TgaReaderTest, UnusableExtensionValuesGiveTheDefaults) {
  // A month past December, and a year the clock cannot hold.
  for (auto [month, year] : {std::pair<uint16_t, uint16_t>{13, 2024}, {1, 0}, {1, 65535}}) {
    TTgaSpec s;
    s.data = kFour24;
    s.extension = true;
    s.ext.month = month;
    s.ext.year = year;
    s.ext.gammaDen = 0;
    s.ext.aspectNum = 0;
    const auto before = std::chrono::system_clock::now();
    Load(MakeTga(s));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    const TIOParamsVals& p = io_.ImageParams();
    EXPECT_DOUBLE_EQ(p.TgaGamma, 2.2);
    EXPECT_DOUBLE_EQ(p.TgaAspectRatio, 1.0);
    EXPECT_GE(p.TgaDate, before) << month << "/" << year;
    EXPECT_EQ(p.TgaAuthor, "An Author");
  }
}

TEST_F(TgaReaderTest, ExtensionOffsetPastTheEndIsIgnored) {
  TTgaSpec s;
  s.data = kFour24;
  s.extension = true;
  s.extensionOffset = 0x7FFFFFF0;
  Load(MakeTga(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().TgaAuthor, "");
  EXPECT_DOUBLE_EQ(io_.ImageParams().TgaGamma, 2.2);
}

TEST_F(TgaReaderTest, ParametersOnlyLeaveThePicture) {
  TTgaSpec s;
  s.width = 7;
  s.height = 9;
  const Bytes file = MakeTga(s);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  io_.ReadStreamParamsAsFormat(stream, ffTGA);
  EXPECT_EQ(io_.ImageParams().FileType, ffTGA);
  EXPECT_EQ(io_.ImageParams().Width, 7);
  EXPECT_EQ(io_.ImageParams().Height, 9);
  ExpectPreviousPicture();
}

TEST(TgaReader, IgnoreAlphaGivesNoMask) {
  TTgaSpec s;
  s.depth = 32;
  s.descriptor = 8;
  s.data = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 1};
  const Bytes file = MakeTga(s);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  std::unique_ptr<TPxMask> mask;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
  ReadTga(ctx, {.IgnoreAlpha = true});
  ASSERT_FALSE(aborted) << progress.AbortReason;
  EXPECT_FALSE(mask);
  EXPECT_EQ(bitmap.ColorAt(1, 1), (TColorBGR{4, 5, 6}));
}

// ------------------------------------------------------------ malformed headers

struct TBadTga {
  const char* name;
  std::function<void(TTgaSpec&)> change;
  const char* reason;  // a piece of the abort reason
};

class TgaBadHeaderTest : public TgaReaderTest, public testing::WithParamInterface<TBadTga> {};

TEST_P(TgaBadHeaderTest, FailsBeforeAllocating) {
  TTgaSpec s;
  s.data = kFour24;
  GetParam().change(s);
  Load(MakeTga(s));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

const TBadTga kBadTga[] = {
    {"NoImageData", [](TTgaSpec& s) { s.imageType = 0; }, "image type 0"},
    {"ImageType4", [](TTgaSpec& s) { s.imageType = 4; }, "image type 4"},
    {"ImageType32", [](TTgaSpec& s) { s.imageType = 32; }, "image type 32"},
    {"DepthZero", [](TTgaSpec& s) { s.depth = 0; }, "pixel depth 0"},
    {"Depth7", [](TTgaSpec& s) { s.depth = 7; }, "pixel depth 7"},
    {"Depth64", [](TTgaSpec& s) { s.depth = 64; }, "pixel depth 64"},
    {"ColourMapType2", [](TTgaSpec& s) { s.mapType = 2; }, "colour-map type 2"},
    {"MapEntriesOf17Bits", [](TTgaSpec& s) { s.mapType = 1, s.mapLength = 1, s.mapEntryBits = 17; }, "entry size 17"},
    {"RunLengthOneBit", [](TTgaSpec& s) { s.imageType = 11, s.depth = 1; }, "run-length data of 1-bit"},
    {"ZeroWidth", [](TTgaSpec& s) { s.width = 0; }, "not positive"},
    {"ZeroHeight", [](TTgaSpec& s) { s.height = 0; }, "not positive"},
    // A header-only file may claim 64 MiB of pixels, not 800 MB.
    {"HeaderOnlyClaimsTooMuch", [](TTgaSpec& s) { s.width = 65535, s.height = 4096, s.data.clear(); },
     "claim far more"},
    {"HugePlainPicture", [](TTgaSpec& s) { s.width = 65535, s.height = 65535; }, "exceed"},
    // 10000 x 10000 pixels cannot come from a dozen bytes of packets.
    {"TinyRunLengthDataHugePicture", [](TTgaSpec& s) { s.imageType = 10, s.width = 10000, s.height = 10000; },
     "cannot come from"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, TgaBadHeaderTest, testing::ValuesIn(kBadTga),
                         [](const testing::TestParamInfo<TBadTga>& i) { return std::string(i.param.name); });

TEST_F(TgaReaderTest, HeaderCutShortFails) {
  TTgaSpec s;
  s.data = kFour24;
  Bytes file = MakeTga(s);
  file.resize(12);
  Load(file);
  EXPECT_TRUE(io_.Aborted());
  ExpectPreviousPicture();
}

// Every cut of a good run-length file loads or fails cleanly, the same way twice.
TEST(TgaReader, EveryTruncationLoadsOrFailsCleanly) {
  TTgaSpec s;
  s.imageType = 9;
  s.mapType = 1;
  s.mapLength = 3;
  s.mapEntryBits = 32;
  s.map = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  s.depth = 8;
  s.width = 5;
  s.height = 4;
  s.data = {0x84, 1, 0x02, 0, 2, 1, 0x8B, 2, 0x00, 2};
  s.extension = true;
  const Bytes file = MakeTga(s);
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE(cut);
    TPictureIO a, b;
    a.LoadBuffer(file.data(), int64_t(cut), ffTGA);
    b.LoadBuffer(file.data(), int64_t(cut), ffTGA);
    ASSERT_EQ(a.Aborted(), b.Aborted());
    if (a.Aborted()) continue;
    TPxBitmap& x = *a.TargetBitmap();
    TPxBitmap& y = *b.TargetBitmap();
    ASSERT_EQ(x.Height(), y.Height());
    ASSERT_EQ(x.HasAlphaChannel(), y.HasAlphaChannel());
    for (int r = 0; r < x.Height(); ++r)
      for (int c = 0; c < x.Width(); ++c) {
        ASSERT_EQ(x.ColorAt(c, r), y.ColorAt(c, r));
        if (x.HasAlphaChannel()) {
          ASSERT_EQ(x.AlphaChannel()->ByteAt(c, r), y.AlphaChannel()->ByteAt(c, r));
        }
      }
  }
}

}  // namespace
}  // namespace rv
