// The PCX and DCX readers on tiny files made here: the layouts they decode,
// runs across lines, the 256-colour table, DCX page tables, and every class of
// malformed input they must survive. Files are written by MakePcx from a
// TPcxSpec so each case reads as a recipe.
#include "io/readers/pcxreader.h"

#include <gtest/gtest.h>

#include <array>
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
#include "pcxfile.h"
#include "readertest.h"

namespace rv {
namespace {

using namespace testing_support;
using namespace testing_support::pcx;

class PcxReaderTest : public TReaderTest {
 protected:
  PcxReaderTest() : TReaderTest(ffPCX) {}
};

TEST_F(PcxReaderTest, TrueColourPlanesGiveRedGreenBlue) {
  TPcxSpec s;
  // Row 0: red line, green line, blue line; then row 1.
  s.lines = {10, 11, 20, 21, 30, 31, 40, 41, 50, 51, 60, 61};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.TargetBitmap()->Format(), pxRGB24);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(10, 20, 30));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(11, 21, 31));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(40, 50, 60));
  EXPECT_EQ(Pixel(1, 1), MakeBGR(41, 51, 61));
  const TIOParamsVals& p = io_.ImageParams();
  EXPECT_EQ(p.Width, 2);
  EXPECT_EQ(p.Height, 2);
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.PcxVersion, 5);
  EXPECT_EQ(p.ColorMapCount(), 0);
}

TEST_F(PcxReaderTest, RunSpanningTwoLinesAndTwoRowsDecodesBoth) {
  TPcxSpec s;
  // The blue line of row 0 and the red line of row 1 are one run of four 200s.
  s.lines = {1, 2, 3, 4, 200, 200, 200, 200, 5, 6, 7, 8};
  const Bytes file = MakePcx(s);
  ASSERT_EQ(file[128 + 4], 0xC4) << "the encoder was to make one run of four";
  Load(file);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(1, 3, 200));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(2, 4, 200));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(200, 5, 7));
  EXPECT_EQ(Pixel(1, 1), MakeBGR(200, 6, 8));
}

TEST_F(PcxReaderTest, PaddedLinesSkipTheirPadding) {
  TPcxSpec s;
  s.bytesPerLine = 3;  // one pad byte after each 2-pixel line
  s.lines = {10, 11, 99, 20, 21, 99, 30, 31, 99, 40, 41, 99, 50, 51, 99, 60, 61, 99};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 0), MakeBGR(11, 21, 31));
  EXPECT_EQ(Pixel(1, 1), MakeBGR(41, 51, 61));
}

TEST_F(PcxReaderTest, StoredDataIsCopied) {
  TPcxSpec s;
  s.encoding = 0;
  s.encode = false;
  s.lines = {10, 11, 20, 21, 30, 31, 40, 41, 50, 51, 0xC5, 61};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), MakeBGR(41, 51, 61));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(40, 50, 0xC5));
}

TEST_F(PcxReaderTest, EightBitIndexesUseTheTableAtTheEnd) {
  TPcxSpec s;
  s.planes = 1;
  s.lines = {0, 1, 254, 255};
  s.palette = Ramp(256, 1);
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), s.palette[0]);
  EXPECT_EQ(Pixel(1, 0), s.palette[1]);
  EXPECT_EQ(Pixel(0, 1), s.palette[254]);
  EXPECT_EQ(Pixel(1, 1), s.palette[255]);
  ASSERT_EQ(io_.ImageParams().ColorMapCount(), 256);
  EXPECT_EQ(io_.ImageParams().ColorMap()[254], s.palette[254]);
}

TEST_F(PcxReaderTest, WithoutTheTableMarkerIndexesAreGray) {
  TPcxSpec s;
  s.planes = 1;
  s.lines = {0, 7, 128, 255};
  Bytes file = MakePcx(s);
  // 769 more bytes of anything but the marker: no table.
  file.insert(file.end(), 769, 0x55);
  Load(file);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 0), MakeBGR(7, 7, 7));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(128, 128, 128));
}

TEST_F(PcxReaderTest, ShortDataGivesGrayInsteadOfReadingATable) {
  TPcxSpec s;
  s.planes = 1;
  s.lines = {0, 7, 128, 255};
  Load(MakePcx(s));  // far fewer than 769 bytes after the header
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), MakeBGR(255, 255, 255));
}

TEST(PcxReader, TableIsTakenBeforeTheGivenEndOfTheData) {
  TPcxSpec s;
  s.planes = 1;
  s.lines = {3, 3, 3, 3};
  s.palette = Ramp(256, 1);
  Bytes file = MakePcx(s);
  const int64_t dataSize = int64_t(file.size());
  // Bytes after the given size (a wrong table) must not be used.
  file.push_back(0x0C);
  file.insert(file.end(), 768, 0xEE);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress};
  ReadPcx(ctx, {.DataSize = dataSize});
  ASSERT_FALSE(aborted) << progress.AbortReason;
  EXPECT_EQ(bitmap.ColorAt(0, 0), s.palette[3]);
}

TEST_F(PcxReaderTest, OneBitPictureIsMonochromeWithSetBitsWhite) {
  TPcxSpec s;
  s.bits = 1;
  s.planes = 1;
  s.xmax = 9;  // 10 pixels: 2 bytes a line
  s.ymax = 0;
  s.bytesPerLine = 2;
  s.lines = {0b10100000, 0b01000000};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.TargetBitmap()->Format(), pxMono1);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(0, 0, 0));
  EXPECT_EQ(Pixel(2, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(9, 0), MakeBGR(255, 255, 255));
}

TEST_F(PcxReaderTest, FourOneBitPlanesIndexTheHeaderTable) {
  TPcxSpec s;
  s.bits = 1;
  s.planes = 4;
  s.xmax = 1;
  s.ymax = 0;
  s.bytesPerLine = 1;
  for (int i = 0; i < 16; ++i) s.table[size_t(i)] = MakeBGR(uint8_t(i * 16), 0, uint8_t(i));
  // Pixel 0: planes 0 and 2 set = index 5; pixel 1: plane 3 = index 8.
  s.lines = {0x80, 0x00, 0x80, 0x40};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), s.table[5]);
  EXPECT_EQ(Pixel(1, 0), s.table[8]);
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 4);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 1);
  EXPECT_EQ(io_.ImageParams().ColorMapCount(), 16);
}

TEST_F(PcxReaderTest, PackedTwoAndFourBitPixelsIndexTheHeaderTable) {
  for (int bits : {2, 4}) {
    SCOPED_TRACE(bits);
    TPcxSpec s;
    s.bits = uint8_t(bits);
    s.planes = 1;
    s.xmax = 3;
    s.ymax = 0;
    s.bytesPerLine = 2;
    for (int i = 0; i < 16; ++i) s.table[size_t(i)] = MakeBGR(uint8_t(i * 16), uint8_t(i), 7);
    // Indexes 1, 2, 3, 0 packed from the most significant bits.
    s.lines = bits == 2 ? Bytes{0b01101100, 0} : Bytes{0x12, 0x30};
    Load(MakePcx(s));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(Pixel(0, 0), s.table[1]);
    EXPECT_EQ(Pixel(1, 0), s.table[2]);
    EXPECT_EQ(Pixel(2, 0), s.table[3]);
    EXPECT_EQ(Pixel(3, 0), s.table[0]);
    EXPECT_EQ(io_.ImageParams().ColorMapCount(), 1 << bits);
  }
}

TEST_F(PcxReaderTest, ResolutionZeroGivesThreeHundredBothWays) {
  TPcxSpec s;
  s.hres = 0;
  s.vres = 72;
  s.lines = Bytes(12, 9);
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().DpiX(), 300);
  EXPECT_EQ(io_.ImageParams().DpiY(), 300);
}

TEST_F(PcxReaderTest, WindowOffsetsDoNotChangeTheSize) {
  TPcxSpec s;
  s.xmin = 100;
  s.xmax = 101;
  s.ymin = 7;
  s.ymax = 8;
  s.lines = Bytes(12, 9);
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.TargetBitmap()->Width(), 2);
  EXPECT_EQ(io_.TargetBitmap()->Height(), 2);
}

TEST_F(PcxReaderTest, RunPastTheLastRowStopsAtTheBuffer) {
  TPcxSpec s;
  s.encode = false;
  // Twelve bytes needed; one run claims 63 and then more runs follow.
  s.lines = {0xFF, 77, 0xFF, 78, 0xFF, 79};
  Load(MakePcx(s));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), MakeBGR(77, 77, 77));
}

TEST_F(PcxReaderTest, ParametersOnlyLeaveThePicture) {
  TPcxSpec s;
  s.xmax = 4;
  s.ymax = 5;
  s.bytesPerLine = 6;
  const Bytes file = MakePcx(s);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  io_.ReadStreamParamsAsFormat(stream, ffPCX);
  EXPECT_EQ(io_.ImageParams().FileType, ffPCX);
  EXPECT_EQ(io_.ImageParams().Width, 5);
  EXPECT_EQ(io_.ImageParams().Height, 6);
  ExpectPreviousPicture();
}

// ------------------------------------------------------------ malformed headers

struct TBadPcx {
  const char* name;
  std::function<void(TPcxSpec&)> change;
  const char* reason;  // a piece of the abort reason
};

class PcxBadHeaderTest : public PcxReaderTest, public testing::WithParamInterface<TBadPcx> {};

TEST_P(PcxBadHeaderTest, FailsBeforeAllocating) {
  TPcxSpec s;
  s.lines = Bytes(12, 9);
  GetParam().change(s);
  Load(MakePcx(s));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

const TBadPcx kBadPcx[] = {
    {"Manufacturer", [](TPcxSpec& s) { s.manufacturer = 11; }, "manufacturer"},
    {"Encoding", [](TPcxSpec& s) { s.encoding = 2; }, "encoding 2"},
    {"ZeroBits", [](TPcxSpec& s) { s.bits = 0; }, "0 bits per plane"},
    {"ThreeBits", [](TPcxSpec& s) { s.bits = 3; }, "3 bits per plane"},
    {"SixteenBits", [](TPcxSpec& s) { s.bits = 16; }, "16 bits per plane"},
    {"NoPlanes", [](TPcxSpec& s) { s.planes = 0; }, "0 planes"},
    {"FivePlanes", [](TPcxSpec& s) { s.planes = 5; }, "5 planes"},
    {"XmaxBelowXmin", [](TPcxSpec& s) { s.xmin = 10, s.xmax = 3; }, "is empty"},
    {"YmaxBelowYmin", [](TPcxSpec& s) { s.ymin = 1, s.ymax = 0; }, "is empty"},
    {"BytesPerLineTooSmall", [](TPcxSpec& s) { s.bytesPerLine = 1; }, "bytes per line 1 < 2"},
    {"BytesPerLineZero", [](TPcxSpec& s) { s.bytesPerLine = 0; }, "bytes per line 0"},
    {"HugeWindow", [](TPcxSpec& s) { s.xmax = 65534, s.ymax = 65535, s.bytesPerLine = 65535; }, "exceed"},
    // 16000 x 16000 pixels cannot come from a dozen bytes of runs.
    {"TinyDataHugePicture", [](TPcxSpec& s) { s.xmax = 15999, s.ymax = 15999, s.bytesPerLine = 16000; },
     "cannot come from"},
    // A header-only file may claim 64 MiB of pixels (counted a byte each), not 256 million.
    {"StoredHeaderOnlyClaimsTooMuch",
     [](TPcxSpec& s) {
       s.encoding = 0, s.encode = false, s.lines.clear(), s.xmax = 15999, s.ymax = 15999, s.bytesPerLine = 16000;
     },
     "claim far more"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, PcxBadHeaderTest, testing::ValuesIn(kBadPcx),
                         [](const testing::TestParamInfo<TBadPcx>& i) { return std::string(i.param.name); });

TEST_F(PcxReaderTest, HeaderCutShortFails) {
  TPcxSpec s;
  s.lines = Bytes(12, 9);
  Bytes file = MakePcx(s);
  file.resize(100);
  Load(file);
  EXPECT_TRUE(io_.Aborted());
  ExpectPreviousPicture();
}

// ------------------------------------------------------------ DCX

TPcxSpec GrayPage(uint8_t value) {
  TPcxSpec s;
  s.planes = 1;
  s.lines = Bytes(4, value);
  s.palette = Ramp(256, 1);
  return s;
}

TEST_F(PcxReaderTest, DcxReadsTheChosenPage) {
  const Bytes dcx = MakeDcx({MakePcx(GrayPage(10)), MakePcx(GrayPage(20)), MakePcx(GrayPage(30))}, {0, 1, 2});
  for (int page = 0; page < 3; ++page) {
    io_.ImageParams().SetImageIndex(page);
    Load(dcx, ffDCX);
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(Pixel(1, 1), Ramp(256, 1)[size_t(10 * (page + 1))]);
    EXPECT_EQ(io_.ImageParams().ImageCount, 3);
  }
}

TEST_F(PcxReaderTest, DcxIndexPastTheLastPageReadsTheLastAndSetsEveryIndex) {
  const Bytes dcx = MakeDcx({MakePcx(GrayPage(10)), MakePcx(GrayPage(20))}, {0, 1});
  io_.ImageParams().SetImageIndex(5);
  Load(dcx, ffDCX);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), Ramp(256, 1)[20]);
  const TIOParamsVals& p = io_.ImageParams();
  for (int32_t v : {p.ImageIndex, p.TiffImageIndex, p.DcxImageIndex, p.GifImageIndex, p.IcoImageIndex, p.CurImageIndex})
    EXPECT_EQ(v, 1);
}

TEST_F(PcxReaderTest, UnsortedDcxTableStillGivesEachPageItsOwnBytes) {
  // Page 0 is stored after page 1: page 1 ends where page 0 starts, and its
  // 256-colour table is found there.
  const Bytes dcx = MakeDcx({MakePcx(GrayPage(10)), MakePcx(GrayPage(20))}, {1, 0});
  for (int page = 0; page < 2; ++page) {
    io_.ImageParams().SetImageIndex(page);
    Load(dcx, ffDCX);
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(Pixel(1, 0), Ramp(256, 1)[size_t(10 * (page + 1))]);
  }
}

TEST_F(PcxReaderTest, DcxWithATableOfMoreThan1023PagesKeeps1023) {
  const Bytes page = MakePcx(GrayPage(10));
  Bytes dcx(4 + 4 * 1100, 0);
  Put32(dcx, 0, 987654321u);
  for (int i = 0; i < 1100; ++i) Put32(dcx, 4 + 4 * size_t(i), uint32_t(dcx.size()));
  dcx.insert(dcx.end(), page.begin(), page.end());
  io_.ImageParams().SetImageIndex(5000);
  Load(dcx, ffDCX);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().ImageCount, 1023);
  EXPECT_EQ(io_.ImageParams().DcxImageIndex, 1022);
}

struct TBadDcx {
  const char* name;
  std::function<Bytes()> make;
  const char* reason;
};

class DcxBadTest : public PcxReaderTest, public testing::WithParamInterface<TBadDcx> {};

TEST_P(DcxBadTest, FailsCleanly) {
  Load(GetParam().make(), ffDCX);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

const TBadDcx kBadDcx[] = {
    {"NoMagic", [] { return MakePcx(GrayPage(1)); }, "no DCX magic"},
    {"Empty", [] { return Bytes{}; }, "no DCX magic"},
    {"NoPages",
     [] {
       Bytes b = MakeDcx({}, {});
       b.insert(b.end(), 200, 0);
       return b;
     },
     "lists no page"},
    {"PagePastTheEnd",
     [] {
       Bytes b = MakeDcx({MakePcx(GrayPage(1))}, {0});
       Put32(b, 4, 1000000);
       return b;
     },
     "past the end"},
    {"PageLeavingNoRoomForAHeader",
     [] {
       Bytes b = MakeDcx({MakePcx(GrayPage(1))}, {0});
       Put32(b, 4, uint32_t(b.size() - 100));
       return b;
     },
     "past the end"},
    {"PageThatIsNoPcx",
     [] {
       Bytes b = MakeDcx({Bytes(200, 0x55)}, {0});
       return b;
     },
     "PCX: manufacturer"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, DcxBadTest, testing::ValuesIn(kBadDcx),
                         [](const testing::TestParamInfo<TBadDcx>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace rv
