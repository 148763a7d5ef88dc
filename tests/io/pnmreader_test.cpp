// The PNM reader on tiny files written here as text: every magic, 8- and
// 16-bit samples, maxval scaling and clamping, header comments, and every
// class of malformed header it must survive.
#include "io/readers/pnmreader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/pictureio.h"
#include "io/progress.h"
#include "readertest.h"

namespace rv {
namespace {

using namespace testing_support;

class PnmReaderTest : public TReaderTest {
 protected:
  PnmReaderTest() : TReaderTest(ffPNM) {}
  static TColorBGR Gray(uint8_t v) { return MakeBGR(v, v, v); }
};

TEST_F(PnmReaderTest, BinaryGrayWithSmallMaxvalIsScaled) {
  Load(Pnm("P5\n3 1\n15\n", {15, 7, 0}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Format(), pxRGB24);
  EXPECT_EQ(Pixel(0, 0), Gray(255));
  EXPECT_EQ(Pixel(1, 0), Gray(119));
  EXPECT_EQ(Pixel(2, 0), Gray(0));
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 8);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 1);
}

TEST_F(PnmReaderTest, SamplesAboveMaxvalAreMaxval) {
  Load(Pnm("P5 2 1 100 ", {200, 100}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Gray(255));
  EXPECT_EQ(Pixel(1, 0), Gray(255));
}

TEST_F(PnmReaderTest, BinaryBitmapSetBitsAreBlack) {
  Load(Pnm("P4\n10 2\n", {0b10100000, 0b01000000, 0xFF, 0xC0}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Format(), pxMono1);
  EXPECT_EQ(Pixel(0, 0), Gray(0));
  EXPECT_EQ(Pixel(1, 0), Gray(255));
  EXPECT_EQ(Pixel(9, 0), Gray(0));
  EXPECT_EQ(Pixel(8, 0), Gray(255));
  EXPECT_EQ(Pixel(9, 1), Gray(0));
  // A clear bit of the bitmap is a black pixel.
  EXPECT_EQ(Bitmap().RowPointer(0)[0] & 0x80, 0);
}

TEST_F(PnmReaderTest, PlainBitmapZeroIsWhite) {
  Load(Pnm("P1\n# a comment\n3 2\n1 0 1\n001"));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Format(), pxMono1);
  EXPECT_EQ(Pixel(0, 0), Gray(0));
  EXPECT_EQ(Pixel(1, 0), Gray(255));
  EXPECT_EQ(Pixel(0, 1), Gray(255));
  EXPECT_EQ(Pixel(2, 1), Gray(0));
}

TEST_F(PnmReaderTest, PlainSamplesAreScaledByMaxval) {
  Load(Pnm("P3 2 1 10  10 0 5   3 7 1"));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 0, 127));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(76, 178, 25));
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 3);
}

TEST_F(PnmReaderTest, PlainSamplesOverflowingAnyIntegerAreMaxval) {
  Load(Pnm("P2 2 1 255  99999999999999999999999999 12"));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Gray(255));
  EXPECT_EQ(Pixel(1, 0), Gray(12));
}

TEST_F(PnmReaderTest, BinaryPixmapIsRedGreenBlue) {
  Load(Pnm("P6\n2 1\n255\n", {10, 20, 30, 40, 50, 60}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(10, 20, 30));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(40, 50, 60));
}

TEST_F(PnmReaderTest, BinaryPixmapWithSmallMaxvalIsScaledLikeThePlainOne) {
  Load(Pnm("P6\n1 1\n100\n", {100, 50, 10}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  TColorBGR binary = Pixel(0, 0);
  Load(Pnm("P3 1 1 100 100 50 10"));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(binary, Pixel(0, 0));
  EXPECT_EQ(binary, MakeBGR(255, 127, 25));
}

TEST_F(PnmReaderTest, SixteenBitSamplesGiveTheirUpperByte) {
  Load(Pnm("P6\n1 1\n65535\n", {0x12, 0x34, 0xAB, 0xCD, 0xFF, 0xFF}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(0x12, 0xAB, 0xFF));
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 16);
  Load(Pnm("P5\n2 1\n65535\n", {0x80, 0x01, 0x00, 0xFF}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Gray(0x80));
  EXPECT_EQ(Pixel(1, 0), Gray(0));
}

TEST_F(PnmReaderTest, SixteenBitSamplesBelowA16BitMaxvalAreScaled) {
  // maxval 1023: 1023 is white, 512 about half, 2000 clamped.
  Load(Pnm("P5 3 1 1023\n", {0x03, 0xFF, 0x02, 0x00, 0x07, 0xD0}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Gray(255));
  EXPECT_EQ(Pixel(1, 0), Gray(127));
  EXPECT_EQ(Pixel(2, 0), Gray(255));
}

TEST_F(PnmReaderTest, NativePixelFormatKeepsSixteenBitSamples) {
  io_.SetNativePixelFormat(true);
  Load(Pnm("P6\n1 1\n1000\n", {0x01, 0x02, 0x03, 0xE8, 0xFF, 0xFF}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Format(), pxRGB48);
  uint16_t rgb[3];
  Bitmap().RGB48At(0, 0, rgb);
  EXPECT_EQ(rgb[0], 0x0102);
  EXPECT_EQ(rgb[1], 1000);
  EXPECT_EQ(rgb[2], 1000);  // above maxval: maxval
  Load(Pnm("P5\n1 1\n65535\n", {0xAB, 0xCD}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Format(), pxGray16);
  EXPECT_EQ(Bitmap().WordAt(0, 0), 0xABCD);
}

TEST_F(PnmReaderTest, CommentsAreCollectedWithoutTheirMark) {
  Load(Pnm("P5\n# first one\n2 #second\n1\n#  third  \n255# last\n", {1, 2}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().PnmComments, (std::vector<std::string>{"first one", "second", "third", "last"}));
  EXPECT_EQ(Pixel(1, 0), Gray(2));
}

TEST_F(PnmReaderTest, ARawByteThatLooksLikeWhitespaceIsData) {
  Load(Pnm("P5 2 1 255\n", {'\n', ' '}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Gray('\n'));
  EXPECT_EQ(Pixel(1, 0), Gray(' '));
}

TEST_F(PnmReaderTest, PlainDataEndingEarlyLeavesTheRestBlack) {
  Load(Pnm("P2 2 2 255 7 8 9"));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Height(), 2);
  EXPECT_EQ(Pixel(0, 1), Gray(9));
  EXPECT_EQ(Pixel(1, 1), Gray(0));
}

TEST_F(PnmReaderTest, PlainSampleThatIsNoNumberStopsWithTheRowsBefore) {
  Load(Pnm("P2 2 2 255 7 8 9x 10"));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find("\"9x\""), std::string::npos) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Height(), 2);
  EXPECT_EQ(Pixel(1, 0), Gray(8));
}

TEST_F(PnmReaderTest, ParametersOnlyLeaveThePicture) {
  const Bytes file = Pnm("P6 7 9 255\n");
  TPxMemStream stream(file.data(), int64_t(file.size()));
  io_.ReadStreamParamsAsFormat(stream, ffPNM);
  EXPECT_EQ(io_.ImageParams().FileType, ffPNM);
  EXPECT_EQ(io_.ImageParams().Width, 7);
  EXPECT_EQ(io_.ImageParams().Height, 9);
  ExpectPreviousPicture();
}

// ------------------------------------------------------------ malformed headers

struct TBadPnm {
  const char* name;
  std::string header;
  const char* reason;     // a piece of the abort reason
  size_t dataBytes = 64;  // bytes after the header
};

class PnmBadHeaderTest : public PnmReaderTest, public testing::WithParamInterface<TBadPnm> {};

TEST_P(PnmBadHeaderTest, FailsBeforeAllocating) {
  Load(Pnm(GetParam().header, Bytes(GetParam().dataBytes, 0x41)));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

const TBadPnm kBadPnm[] = {
    {"MagicP7", "P7\n2 2 255\n", "magic \"P7\""},
    {"MagicPX", "PX\n2 2 255\n", "magic \"PX\""},
    {"MagicGlued", "P62 2 255\n", "magic \"P62\""},
    {"NoMagic", "2 2 255\n", "magic \"2\""},
    {"ZeroWidth", "P5 0 2 255\n", "not positive"},
    {"ZeroHeight", "P4 2 0\n", "not positive"},
    {"MaxvalZero", "P5 2 2 0\n", "maxval 0"},
    {"MaxvalTooLarge", "P5 2 2 65536\n", "maxval 65536"},
    {"WidthOverflowing", "P5 99999999999 2 255\n", "width \"99999999999\""},
    {"HeightAbove2To31", "P5 2 2147483648 255\n", "height \"2147483648\""},
    {"WidthWithLetters", "P5 12a 2 255\n", "width \"12a\""},
    {"HugeToken", "P5 " + std::string(100, '1') + " 2 255\n", "not a number"},
    {"EndlessComment", "P5 #" + std::string(70000, 'c'), "header longer than"},
    {"EndlessWhitespace", "P5 " + std::string(70000, ' ') + "2 2 255\n", "header longer than"},
    {"HugePicture", "P6 100000 100000 255\n", "exceed"},
    // A header-only file may claim 64 MiB of pixels, not 72 million.
    {"HeaderOnlyClaimsTooMuch", "P5 9000 8000 255\n", "claim far more", 0},
    {"TinyPlainDataHugePicture", "P2 10000 10000 255\n", "cannot come from"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, PnmBadHeaderTest, testing::ValuesIn(kBadPnm),
                         [](const testing::TestParamInfo<TBadPnm>& i) { return std::string(i.param.name); });

TEST_F(PnmReaderTest, HeaderCutShortFails) {
  for (const char* header : {"", "P", "P6", "P6 10", "P6 10 10", "P5 # open comment"}) {
    SCOPED_TRACE(header);
    Load(Pnm(header));
    EXPECT_TRUE(io_.Aborted());
    ExpectPreviousPicture();
  }
}

}  // namespace
}  // namespace rv
