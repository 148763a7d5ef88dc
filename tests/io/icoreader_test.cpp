// The icon and cursor readers on tiny files made here: entry choice, AND
// masks over every depth, 32-bit alpha, cursors' hot spots and colour counts,
// PNG images, and every class of malformed directory or entry they must
// survive. Files are written by MakeIcon from TEntrySpec and TDibSpec recipes.
#include "io/readers/icoreader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "icofile.h"
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
using namespace testing_support::ico;

class IcoReaderTest : public TReaderTest {
 protected:
  IcoReaderTest() : TReaderTest(ffICO) {}
};

TEST_F(IcoReaderTest, AndBitsMakeTwentyFourBitPixelsTransparentWithTheBackground) {
  io_.ImageParams().IcoBackground = MakeBGR(9, 8, 7);
  Load(MakeIcon(1, {Entry(Dib24())}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(9, 8, 7));
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{2, 2, 2}));
  EXPECT_EQ(Alpha(1, 0), 255);
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{3, 3, 3}));
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 8);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 3);
}

TEST_F(IcoReaderTest, FourBitTransparentPixelsAreTheBackgroundWithMaskZero) {
  TDibSpec d;
  d.bitCount = 4;
  d.palette = {MakeBGR(0, 0, 0), MakeBGR(200, 0, 0), MakeBGR(0, 200, 0)};
  d.colorsUsed = 3;
  d.xorRows = {0x12, 0, 0, 0, 0x21, 0, 0, 0};  // bottom row 1, 2; top row 2, 1
  d.andRows = AndRow(0);
  const Bytes top = AndRow(0x40000000u);  // top-right transparent
  d.andRows.insert(d.andRows.end(), top.begin(), top.end());
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 0), MakeBGR(0, 200, 0));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(255, 255, 255));  // IcoBackground's default: white
  EXPECT_EQ(Alpha(1, 0), 0);
  EXPECT_EQ(Pixel(0, 1), MakeBGR(200, 0, 0));
  EXPECT_EQ(Alpha(0, 1), 255);
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 4);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 1);
  EXPECT_EQ(io_.ImageParams().ColorMapCount(), 3);
}

TEST_F(IcoReaderTest, ThirtyTwoBitIconsTakeTheirAlphaNotTheAndBitmap) {
  TDibSpec d;
  d.bitCount = 32;
  d.xorRows = {1, 1, 1, 10, 2, 2, 2, 255, 3, 3, 3, 0, 4, 4, 4, 128};
  d.andRows = Bytes(8, 0xFF);  // every AND bit set: not used
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(0, 1), (TColorBGR{1, 1, 1}));
  EXPECT_EQ(Alpha(0, 1), 10);
  EXPECT_EQ(Alpha(1, 1), 255);
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{4, 4, 4}));
  EXPECT_EQ(Alpha(1, 0), 128);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 4);
}

TEST_F(IcoReaderTest, ThirtyTwoBitIconsWithoutAlphaUseTheAndBitmap) {
  TDibSpec d = Dib24();
  d.bitCount = 32;
  d.xorRows = {3, 3, 3, 0, 4, 4, 4, 0, 1, 1, 1, 0, 2, 2, 2, 0};
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Alpha(1, 0), 255);
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 4, 4}));
}

TEST_F(IcoReaderTest, OneBitTransparentPixelsShowTheirXorBitInvertedOverWhite) {
  for (bool white : {true, false}) {
    SCOPED_TRACE(white ? "white background" : "black background");
    io_.ImageParams().IcoBackground = white ? MakeBGR(255, 255, 255) : MakeBGR(0, 0, 0);
    TDibSpec d;
    d.bitCount = 1;
    d.palette = {MakeBGR(0, 0, 0), MakeBGR(255, 255, 255)};
    d.xorRows = {0x40, 0, 0, 0, 0x40, 0, 0, 0};  // pixel 0 black, pixel 1 white, both rows
    d.andRows = {0xC0, 0, 0, 0, 0x00, 0, 0, 0};  // bottom row transparent
    Load(MakeIcon(1, {Entry(d)}));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(Bitmap().Format(), pxMono1);
    EXPECT_EQ(Pixel(0, 0), MakeBGR(0, 0, 0));
    EXPECT_EQ(Pixel(1, 0), MakeBGR(255, 255, 255));
    EXPECT_EQ(Pixel(0, 1), white ? MakeBGR(255, 255, 255) : MakeBGR(0, 0, 0));
    EXPECT_EQ(Pixel(1, 1), white ? MakeBGR(0, 0, 0) : MakeBGR(255, 255, 255));
    EXPECT_EQ(Alpha(0, 1), 0);
    EXPECT_EQ(Alpha(0, 0), 255);
  }
}

TEST_F(IcoReaderTest, OpaqueIconsLoadWithoutAlpha) {
  TDibSpec d = Dib24();
  d.andRows = Bytes(8, 0);
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_FALSE(Bitmap().HasAlphaChannel());
}

TEST_F(IcoReaderTest, ImageIndexChoosesTheEntryAndTheDirectoryIsReported) {
  TDibSpec small = Dib24();
  TDibSpec big = Dib24();
  big.width = 3;
  big.height = 1;
  big.xorRows = {7, 7, 7, 8, 8, 8, 9, 9, 9, 0, 0, 0};
  big.andRows = Bytes(4, 0);
  TEntrySpec third = Entry(small);
  third.width = 0;  // 256 wide by the directory
  third.bitCountOrHotY = 0;
  third.colors = 16;
  TEntrySpec fourth = Entry(small);
  fourth.bitCountOrHotY = 0;
  const Bytes icon = MakeIcon(1, {Entry(small), Entry(big), third, fourth});
  io_.ImageParams().SetImageIndex(1);
  Load(icon);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Width(), 3);
  EXPECT_EQ(Pixel(2, 0), (TColorBGR{9, 9, 9}));
  const TIOParamsVals& p = io_.ImageParams();
  EXPECT_EQ(p.ImageCount, 4);
  EXPECT_EQ(p.IcoSizes[0], (TIcoSize{2, 2}));
  EXPECT_EQ(p.IcoSizes[1], (TIcoSize{3, 1}));
  EXPECT_EQ(p.IcoSizes[2], (TIcoSize{256, 2}));
  EXPECT_EQ(p.IcoSizes[4], (TIcoSize{0, 0}));
  EXPECT_EQ(p.IcoBitCounts[0], 24);
  EXPECT_EQ(p.IcoBitCounts[2], 4);   // from 16 colours
  EXPECT_EQ(p.IcoBitCounts[3], 24);  // neither bit count nor colours
}

TEST_F(IcoReaderTest, ImageIndexPastTheImagesChangesNothingAndIsNoError) {
  for (int index : {2, 3, -1}) {
    SCOPED_TRACE(index);
    io_.ImageParams().SetImageIndex(index);
    Load(MakeIcon(1, {Entry(Dib24()), Entry(Dib24())}));
    EXPECT_FALSE(io_.Aborted());
    ExpectPreviousPicture();
    // Not even the directory fields change.
    EXPECT_EQ(io_.ImageParams().IcoSizes[0], (TIcoSize{64, 64}));
    EXPECT_EQ(io_.ImageParams().ImageCount, 0);
  }
}

TEST_F(IcoReaderTest, IconThatIsReallyABmpLoadsThroughTheBmpReader) {
  Bytes bmp(14, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  TDibSpec d = Dib24();
  d.storedHeight = 2;
  d.andRows.clear();
  const Bytes dib = MakeDib(d);
  bmp.insert(bmp.end(), dib.begin(), dib.end());
  Put32(bmp, 2, uint32_t(bmp.size()));
  Put32(bmp, 10, 54);
  Load(bmp);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().FileType, ffICO);
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{1, 1, 1}));
  EXPECT_FALSE(Bitmap().HasAlphaChannel());
}

TEST_F(IcoReaderTest, HeaderDecidesTheSizeWhenTheEntryDisagrees) {
  TEntrySpec e = Entry(Dib24());
  e.width = 16;
  e.height = 32;
  Load(MakeIcon(1, {e}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Width(), 2);
  EXPECT_EQ(Bitmap().Height(), 2);
  EXPECT_EQ(io_.ImageParams().Width, 2);
  EXPECT_EQ(io_.ImageParams().Height, 2);
}

TEST_F(IcoReaderTest, EntrySizeTooSmallForAnyHeaderIsNotTrusted) {
  TEntrySpec e = Entry(Dib24());
  e.size = 8;
  Load(MakeIcon(1, {e}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 4, 4}));
}

TEST_F(IcoReaderTest, MissingAndBitmapMeansOpaque) {
  TDibSpec d = Dib24();
  d.andRows.clear();
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_FALSE(Bitmap().HasAlphaChannel());
  EXPECT_EQ(Pixel(0, 0), (TColorBGR{1, 1, 1}));
}

TEST_F(IcoReaderTest, CountLargerThanTheFileIsCappedToTheEntriesItCanHold) {
  const Bytes icon = MakeIcon(1, {Entry(Dib24())}, 65535);
  Load(icon);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().ImageCount, int32_t((icon.size() - 6) / 16));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 4, 4}));
}

TEST_F(IcoReaderTest, ResolutionIsConvertedFromPixelsPerMetre) {
  TDibSpec d = Dib24();
  d.xppm = 3780;  // 96 dpi
  d.yppm = 0;
  Load(MakeIcon(1, {Entry(d)}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().DpiX(), 96);
  EXPECT_EQ(io_.ImageParams().DpiY(), 300);
}

TEST_F(IcoReaderTest, ParametersOnlyLeaveThePicture) {
  const Bytes icon = MakeIcon(1, {Entry(Dib24())});
  TPxMemStream stream(icon.data(), int64_t(icon.size()));
  io_.ReadStreamParamsAsFormat(stream, ffICO);
  EXPECT_EQ(io_.ImageParams().FileType, ffICO);
  EXPECT_EQ(io_.ImageParams().Width, 2);
  EXPECT_EQ(io_.ImageParams().Height, 2);
  ExpectPreviousPicture();
}

TEST(IcoReader, IgnoreAlphaStillShowsTheBackground) {
  const Bytes icon = MakeIcon(1, {Entry(Dib24())});
  TPxMemStream stream(icon.data(), int64_t(icon.size()));
  TPxBitmap bitmap;
  TIOParamsVals params;
  params.IcoBackground = MakeBGR(5, 6, 7);
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  std::unique_ptr<TPxMask> mask;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
  ReadIco(ctx, {.IgnoreAlpha = true});
  ASSERT_FALSE(aborted) << progress.AbortReason;
  EXPECT_FALSE(mask);
  EXPECT_EQ(bitmap.ColorAt(0, 0), MakeBGR(5, 6, 7));
}

// ------------------------------------------------------------ cursors

TEST_F(IcoReaderTest, CursorColourCount255ReadsA256EntryTable) {
  TDibSpec d;
  d.width = 1;
  d.height = 1;
  d.bitCount = 8;
  for (int i = 0; i < 256; ++i) d.palette.push_back(MakeBGR(uint8_t(i), 0, uint8_t(255 - i)));
  d.xorRows = {255, 0, 0, 0};
  d.andRows = AndRow(0);
  TEntrySpec e = Entry(d);
  e.colors = 255;
  e.planesOrHotX = 3;
  e.bitCountOrHotY = 4;
  Load(MakeIcon(2, {e}), ffCUR);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.ImageParams().ColorMapCount(), 256);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 0, 0));
  EXPECT_EQ(io_.ImageParams().CurHotSpotX, 3);
  EXPECT_EQ(io_.ImageParams().CurHotSpotY, 4);
  EXPECT_EQ(io_.ImageParams().BitsPerSample, 8);
  EXPECT_EQ(io_.ImageParams().SamplesPerPixel, 1);
  // Cursors come with their mask even when it is opaque.
  EXPECT_EQ(Alpha(0, 0), 255);
}

TEST_F(IcoReaderTest, CursorBitCountComesFromTheHeaderNotTheHotSpot) {
  TEntrySpec e = Entry(Dib24());
  e.planesOrHotX = 0;
  e.bitCountOrHotY = 1;  // a hot spot, not a bit count
  io_.ImageParams().CurBackground = MakeBGR(0, 0, 9);
  Load(MakeIcon(2, {e}), ffCUR);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 4, 4}));
  EXPECT_EQ(Pixel(0, 0), MakeBGR(0, 0, 9));
  EXPECT_EQ(io_.ImageParams().CurImageIndex, 0);
}

// ------------------------------------------------------------ malformed files

struct TBadIcon {
  const char* name;
  std::function<Bytes()> make;
  const char* reason;  // a piece of the abort reason
};

class IcoBadTest : public IcoReaderTest, public testing::WithParamInterface<TBadIcon> {};

TEST_P(IcoBadTest, FailsBeforeAllocating) {
  Load(GetParam().make());
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

Bytes WithWord(Bytes b, size_t at, uint32_t v) {
  Put16(b, at, v);
  return b;
}
Bytes WithLong(Bytes b, size_t at, uint32_t v) {
  Put32(b, at, v);
  return b;
}
Bytes Good() {
  return MakeIcon(1, {Entry(Dib24())});
}
// The entry's data starts at 22; its header fields lie at 22 + their offset.
constexpr size_t kDib = 22;

const TBadIcon kBadIcons[] = {
    {"ReservedWord", [] { return WithWord(Good(), 0, 1); }, "reserved word 1"},
    {"TypeThree", [] { return WithWord(Good(), 2, 3); }, "type 3"},
    {"NoImages", [] { return WithWord(Good(), 4, 0); }, "lists no image"},
    {"DirectoryCut",
     [] {
       Bytes b = Good();
       b.resize(12);
       return b;
     },
     "first directory entry"},
    {"EmptyFile", [] { return Bytes{}; }, "directory header"},
    {"DataInsideTheDirectory", [] { return WithLong(Good(), 18, 10); }, "inside the directory"},
    {"DataPastTheEnd", [] { return WithLong(Good(), 18, 100000); }, "past the end of the file"},
    {"UnknownHeaderSize", [] { return WithLong(Good(), kDib, 7); }, "header size 7"},
    {"HeightOfOneRow", [] { return WithLong(Good(), kDib + 8, 1); }, "leaves no rows"},
    {"NoBitCountAnywhere",
     [] {
       TEntrySpec e = Entry(Dib24());
       e.bitCountOrHotY = 0;
       Bytes b = MakeIcon(1, {e});
       Put16(b, kDib + 14, 0);
       return b;
     },
     "no bit count"},
    {"HugePicture",
     [] {
       // 30000 x 30000 one-bit pixels, with an entry size that does not contradict them.
       Bytes b = WithLong(Good(), kDib + 4, 30000);
       Put32(b, kDib + 8, 60000);
       Put16(b, kDib + 14, 1);
       Put32(b, 14, 0x7FFFFFFF);
       return b;
     },
     "exceed"},
    {"ZeroWidth", [] { return WithLong(Good(), kDib + 4, 0); }, "width 0"},
    {"MinimumHeight", [] { return WithLong(Good(), kDib + 8, 0x80000000u); }, "-2147483648"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, IcoBadTest, testing::ValuesIn(kBadIcons),
                         [](const testing::TestParamInfo<TBadIcon>& i) { return std::string(i.param.name); });

// Entries Pillow and ImageMagick read although their directory or header
// fields are off: an entry size of 0 or too small for the bitmap its header
// describes (the header decides), planes that are not 1.
struct TOddIcon {
  const char* name;
  std::function<Bytes()> make;
};

class IcoOddEntryTest : public IcoReaderTest, public testing::WithParamInterface<TOddIcon> {};

TEST_P(IcoOddEntryTest, LoadsAsAWellFormedEntry) {
  Load(GetParam().make());
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Width(), 2);
  ASSERT_EQ(Bitmap().Height(), 2);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 255, 255));  // under the AND bit: IcoBackground
  EXPECT_EQ(Alpha(0, 0), 0);
  EXPECT_EQ(Pixel(1, 0), (TColorBGR{2, 2, 2}));
  EXPECT_EQ(Pixel(1, 1), (TColorBGR{4, 4, 4}));
  EXPECT_EQ(Alpha(1, 1), 255);
}

void PrintTo(const TOddIcon& c, std::ostream* os) {
  *os << c.name;
}

const TOddIcon kOddIcons[] = {
    {"EntrySizeZero", [] { return WithLong(Good(), 14, 0); }},
    {"EntrySizeShorterThanItsPixels", [] { return WithLong(Good(), 14, 48); }},
    {"PlanesZero", [] { return WithWord(Good(), kDib + 12, 0); }},
    {"PlanesFour", [] { return WithWord(Good(), kDib + 12, 4); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, IcoOddEntryTest, testing::ValuesIn(kOddIcons),
                         [](const testing::TestParamInfo<TOddIcon>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ corpus files

std::string Corpus(const std::string& relative) {
  return std::string(REVIMORA_SOURCE_DIR) + "/../shared/corpus/" + relative;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(IcoReaderTest, PngImagesBringTheirAlpha) {
  const std::string path = Corpus("pngsuite/basn6a08.png");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus file " << path;
  TEntrySpec e;
  e.width = 32;
  e.height = 32;
  e.bitCountOrHotY = 32;
  e.data = ReadFile(path);
  Load(MakeIcon(1, {Entry(Dib24()), e}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Width(), 2);  // index 0 is the bitmap entry

  TPictureIO png;
  png.LoadFileByContent(path);
  ASSERT_FALSE(png.Aborted()) << png.AbortReason();
  io_.ImageParams().SetImageIndex(1);
  Load(MakeIcon(1, {Entry(Dib24()), e}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Width(), 32);
  ASSERT_TRUE(Bitmap().HasAlphaChannel());
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      ASSERT_EQ(Pixel(x, y), png.TargetBitmap()->ColorAt(x, y));
      ASSERT_EQ(Alpha(x, y), png.TargetBitmap()->AlphaChannel()->ByteAt(x, y));
    }
  }
}

// Pillow's cursor tests: rows of AND/XOR combinations as gray and alpha.
TEST_F(IcoReaderTest, CorpusCursorMasksCombineAsOnScreen) {
  for (const char* name : {"cur/pillow/mask_1.cur", "cur/pillow/mask_L.cur"}) {
    SCOPED_TRACE(name);
    const std::string path = Corpus(name);
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus file " << path;
    io_.ImageParams().CurBackground = MakeBGR(0, 0, 0);
    io_.LoadFromFile(path);
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    ASSERT_EQ(Bitmap().Height(), 4);
    EXPECT_EQ(Pixel(0, 0), MakeBGR(0, 0, 0));
    EXPECT_EQ(Alpha(0, 0), 255);
    EXPECT_EQ(Pixel(0, 1), MakeBGR(255, 255, 255));
    EXPECT_EQ(Alpha(0, 1), 255);
    EXPECT_EQ(Alpha(0, 2), 0);
    EXPECT_EQ(Alpha(0, 3), 0);
  }
}

TEST_F(IcoReaderTest, CorpusThirtyTwoBitCursorKeepsItsAlpha) {
  const std::string path = Corpus("cur/pillow/deerstalker.cur");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus file " << path;
  io_.LoadFromFile(path);
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Alpha(10, 1), 0);
  EXPECT_EQ(Pixel(11, 1), MakeBGR(253, 254, 254));
  EXPECT_EQ(Alpha(11, 1), 1);
  EXPECT_EQ(Pixel(16, 16), MakeBGR(84, 87, 86));
  EXPECT_EQ(Alpha(16, 16), 255);
  EXPECT_EQ(io_.ImageParams().CurHotSpotX, 0);
  EXPECT_EQ(io_.ImageParams().CurHotSpotY, 0);
}

}  // namespace
}  // namespace rv
