// The WBMP reader on tiny files made here: multi-byte sizes, bit order,
// truncation, and every class of malformed header it must survive.
#include "io/readers/wbmpreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/pictureio.h"
#include "readertest.h"

namespace rv {
namespace {

using namespace testing_support;

// A WBMP multi-byte integer: 7 bits a byte, most significant first.
Bytes MultiByte(uint32_t v) {
  Bytes b{uint8_t(v & 0x7F)};
  for (v >>= 7; v != 0; v >>= 7) b.insert(b.begin(), uint8_t(0x80 | (v & 0x7F)));
  return b;
}

Bytes Wbmp(uint32_t width, uint32_t height, const Bytes& rows, uint32_t type = 0, uint32_t fixed = 0) {
  Bytes b = MultiByte(type);
  for (uint32_t v : {fixed, width, height}) {
    const Bytes m = MultiByte(v);
    b.insert(b.end(), m.begin(), m.end());
  }
  b.insert(b.end(), rows.begin(), rows.end());
  return b;
}

class WbmpReaderTest : public TReaderTest {
 protected:
  WbmpReaderTest() : TReaderTest(ffWBMP) {}
};

TEST_F(WbmpReaderTest, ThreeHundredByTwoHundredLoadsAtThatSize) {
  Bytes rows(38 * 200, 0);
  rows[0] = 0x80;              // top-left white
  rows[38 * 199 + 37] = 0x10;  // pixel 299 of the last row: the fourth bit of byte 37
  Load(Wbmp(300, 200, rows));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Width(), 300);
  EXPECT_EQ(Bitmap().Height(), 200);
  EXPECT_EQ(Bitmap().Format(), pxMono1);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(1, 0), MakeBGR(0, 0, 0));
  EXPECT_EQ(Pixel(299, 199), MakeBGR(255, 255, 255));
  const TIOParamsVals& p = io_.ImageParams();
  EXPECT_EQ(p.Width, 300);
  EXPECT_EQ(p.Height, 200);
  EXPECT_EQ(p.BitsPerSample, 1);
  EXPECT_EQ(p.SamplesPerPixel, 1);
  EXPECT_EQ(p.DpiX(), 300);
}

// Leading 0x80 bytes add nothing to a multi-byte integer; ImageMagick reads
// them, so a writer that pads its sizes is read too.
TEST_F(WbmpReaderTest, ZeroGroupsInFrontOfAnIntegerAreSkipped) {
  Load({0, 0x80, 0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x8, 0x80, 0x81, 0x00, 0xF0, 0x0F, 0xAA, 0x55});
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(Bitmap().Width(), 8);
  ASSERT_EQ(Bitmap().Height(), 128);
  EXPECT_EQ(Pixel(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(0, 1), MakeBGR(0, 0, 0));
  EXPECT_EQ(Pixel(7, 1), MakeBGR(255, 255, 255));
  EXPECT_EQ(Pixel(0, 4), MakeBGR(0, 0, 0));  // past the data
}

TEST_F(WbmpReaderTest, TrailingBytesAreIgnored) {
  Load(Wbmp(8, 1, {0x81, 0x0A, 0x0A}));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(Bitmap().Height(), 1);
  EXPECT_EQ(Pixel(7, 0), MakeBGR(255, 255, 255));
}

TEST_F(WbmpReaderTest, ParametersOnlyLeaveThePicture) {
  const Bytes file = Wbmp(640, 426, {});
  TPxMemStream stream(file.data(), int64_t(file.size()));
  io_.ReadStreamParamsAsFormat(stream, ffWBMP);
  EXPECT_EQ(io_.ImageParams().FileType, ffWBMP);
  EXPECT_EQ(io_.ImageParams().Width, 640);
  EXPECT_EQ(io_.ImageParams().Height, 426);
  ExpectPreviousPicture();
}

struct TBadWbmp {
  const char* name;
  Bytes file;
  const char* reason;  // a piece of the abort reason
};

class WbmpBadHeaderTest : public WbmpReaderTest, public testing::WithParamInterface<TBadWbmp> {};

TEST_P(WbmpBadHeaderTest, FailsBeforeAllocating) {
  Load(GetParam().file);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find(GetParam().reason), std::string::npos) << io_.AbortReason();
  ExpectPreviousPicture();
}

const TBadWbmp kBadWbmp[] = {
    {"TypeOne", Wbmp(8, 1, {0}, 1), "type 1"},
    {"FixedHeaderNotZero", Wbmp(8, 1, {0}, 0, 0x40), "fixed header 64"},
    {"IntegerThatNeverEnds", {0, 0, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x01, 0xFF}, "longer than 4 bytes"},
    {"IntegerCutByTheEnd", {0, 0, 0x81}, "cut off"},
    {"Empty", {}, "cut off"},
    {"ZeroWidth", Wbmp(0, 4, {0, 0, 0, 0}), "is empty"},
    {"ZeroHeight", Wbmp(4, 0, {0}), "is empty"},
    // A header-only file may claim 64 MiB (counted a byte a pixel), not 72 million pixels.
    {"HeaderOnlyClaimsTooMuch", Wbmp(9000, 8000, {}), "claim far more"},
    {"HugePicture", Wbmp(0xFFFFFFF, 0xFFFFFFF, {0, 0, 0}), "exceed"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, WbmpBadHeaderTest, testing::ValuesIn(kBadWbmp),
                         [](const testing::TestParamInfo<TBadWbmp>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace rv
