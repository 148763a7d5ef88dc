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
#include "tgafile.h"

namespace rv {
namespace {

using namespace testing_support;
using namespace testing_support::tga;

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

}  // namespace
}  // namespace rv
