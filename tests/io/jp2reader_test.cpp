// The JPEG 2000 reader on files of the conformance corpus and on variants
// made from them: code streams with absurd size, tile and component fields,
// and a JP2 wrapper written here around a code stream.
#include "io/readers/jp2reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxstreams.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/progress.h"

namespace rv {
namespace {

// The corpus lives beside the repository; without it these tests skip.
#define REQUIRE_CORPUS()                                                                        \
  do {                                                                                          \
    if (!std::filesystem::is_directory(std::string(REVIMORA_SOURCE_DIR) + "/../shared/corpus")) \
      GTEST_SKIP() << "../shared/corpus is absent: corpus test skipped";                        \
  } while (0)

using TBytes = std::vector<uint8_t>;

std::string Corpus(const std::string& name) {
  return std::string(REVIMORA_SOURCE_DIR) + "/../shared/corpus/jp2/" + name;
}

TBytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TJp2Run {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborted = false;
  TProgressRecord Progress;

  TJp2Run() { Progress.Aborted = &Aborted; }
  void Read(const TBytes& bytes, int32_t fileType = ffJ2K, bool paramsOnly = false) {
    TPxMemStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TReadContext ctx{.Stream = s, .Bitmap = Bitmap, .Params = Params, .Progress = Progress, .ParamsOnly = paramsOnly};
    ReadJpeg2000(ctx, {.FileType = fileType});
  }
};

// ------------------------------------------------------------ what each kind of file gives

struct TKindCase {
  const char* File;
  bool Native;
  TPxBitmapFormat Format;
  bool Alpha;
  int Width;
  int Height;
  int Bits;
  int Samples;
};

class Jp2KindTest : public testing::TestWithParam<TKindCase> {};

TEST_P(Jp2KindTest, LoadsInTheExpectedFormat) {
  REQUIRE_CORPUS();
  const TKindCase& c = GetParam();
  const TBytes bytes = ReadFile(Corpus(c.File));
  ASSERT_FALSE(bytes.empty()) << c.File;
  TJp2Run run;
  run.Params.NativePixelFormat = c.Native ? 1 : 0;
  run.Read(bytes);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Bitmap.Format(), c.Format);
  EXPECT_EQ(run.Bitmap.HasAlphaChannel(), c.Alpha);
  EXPECT_EQ(run.Bitmap.Width(), c.Width);
  EXPECT_EQ(run.Bitmap.Height(), c.Height);
  EXPECT_EQ(run.Params.Width, c.Width);
  EXPECT_EQ(run.Params.BitsPerSample, c.Bits);
  EXPECT_EQ(run.Params.SamplesPerPixel, c.Samples);
  EXPECT_EQ(run.Params.ColorMapCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, Jp2KindTest,
    testing::Values(TKindCase{"openjpeg-conformance/file1.jp2", false, pxRGB24, false, 768, 512, 8, 3},
                    TKindCase{"openjpeg-conformance/file2.jp2", false, pxRGB24, false, 480, 640, 8, 3},  // sYCC 4:2:0
                    TKindCase{"openjpeg-conformance/file4.jp2", false, pxGray8, false, 768, 512, 8, 1},
                    TKindCase{"openjpeg-conformance/file6.jp2", false, pxGray8, false, 768, 512, 12, 1},
                    TKindCase{"openjpeg-conformance/file6.jp2", true, pxGray16, false, 768, 512, 12, 1},
                    TKindCase{"openjpeg-conformance/file9.jp2", false, pxRGB24, false, 768, 512, 8, 1},  // palette
                    TKindCase{"openjpeg-conformance/p1_07.j2k", false, pxGray8, true, 8, 12, 8, 2},
                    TKindCase{"pillow/rgb_trns_ycbc.jp2", false, pxRGB24, true, 64, 64, 8, 4},
                    TKindCase{"pillow/rgb_trns_ycbc.j2k", false, pxRGB24, true, 64, 64, 8, 4},
                    TKindCase{"pillow/16bit.cropped.j2k", true, pxGray16, false, 64, 64, 16, 1},
                    TKindCase{"openjpeg-conformance/p0_06.j2k", true, pxRGB48, true, 513, 129, 12, 4}));

// The signed 16-bit sample at (5, 5) of issue_6194.j2k is 31; as a native
// 16-bit gray picture it shows offset by half the range.
TEST(Jp2Reader, SixteenBitSamplesKeepTheirValue) {
  REQUIRE_CORPUS();
  TJp2Run run;
  run.Params.NativePixelFormat = 1;
  run.Read(ReadFile(Corpus("pillow/issue_6194.j2k")));
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Format(), pxGray16);
  EXPECT_EQ(run.Bitmap.WordAt(5, 5), 31);
}

TEST(Jp2Reader, CodeStreamLoadsWhateverFormatWasAsked) {
  REQUIRE_CORPUS();
  const TBytes bytes = ReadFile(Corpus("openjpeg-conformance/p0_01.j2k"));
  TJp2Run asJp2;
  asJp2.Read(bytes, ffJP2);
  EXPECT_FALSE(asJp2.Aborted) << asJp2.Progress.AbortReason;
  EXPECT_EQ(asJp2.Bitmap.Width(), 128);
}

// A tile part whose length field claims nearly 4 GB (OpenJPEG would reserve
// it all) is refused; the same file with a length inside the data loads.
TEST(Jp2Reader, TilePartClaimingGigabytesIsRefused) {
  REQUIRE_CORPUS();
  TBytes bytes = ReadFile(Corpus("openjpeg-conformance/p0_01.j2k"));
  size_t sot = 0;
  while (sot + 1 < bytes.size() && !(bytes[sot] == 0xFF && bytes[sot + 1] == 0x90)) ++sot;
  ASSERT_LT(sot + 12, bytes.size());
  for (uint32_t psot : {0xFFFFFF7Bu, 0u}) {
    for (int i = 0; i < 4; ++i) bytes[sot + 6 + size_t(i)] = uint8_t(psot >> (24 - 8 * i));
    TJp2Run run;
    run.Read(bytes);
    if (psot == 0) {
      EXPECT_FALSE(run.Aborted) << run.Progress.AbortReason;
    } else {
      EXPECT_TRUE(run.Aborted);
      EXPECT_NE(run.Progress.AbortReason.find("tile part claims more bytes"), std::string::npos)
          << run.Progress.AbortReason;
    }
  }
}

TEST(Jp2Reader, ParametersOnlyLeavesTheBitmapAlone) {
  REQUIRE_CORPUS();
  TJp2Run run;
  run.Bitmap.AllocatePixels(2, 2, pxGray8);
  run.Read(ReadFile(Corpus("openjpeg-conformance/file1.jp2")), ffJP2, true);
  EXPECT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.Width, 768);
  EXPECT_EQ(run.Params.SamplesPerPixel, 3);
  EXPECT_EQ(run.Bitmap.Width(), 2);
}

// ------------------------------------------------------------ resolution box

void Put32(TBytes& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(TBytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
TBytes Box(const char* type, const TBytes& payload) {
  TBytes b(8 + payload.size());
  const uint32_t length = static_cast<uint32_t>(b.size());
  for (int i = 0; i < 4; ++i) {
    b[size_t(i)] = static_cast<uint8_t>(length >> (24 - 8 * i));
    b[size_t(4 + i)] = static_cast<uint8_t>(type[i]);
  }
  std::copy(payload.begin(), payload.end(), b.begin() + 8);
  return b;
}
TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes out;
  for (const TBytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A JP2 file around p0_01's 128 × 128 gray code stream, with a resolution box.
TBytes Jp2WithResolution(const char* resType, uint16_t num, uint16_t den, int8_t exponent) {
  const TBytes codestream = ReadFile(Corpus("openjpeg-conformance/p0_01.j2k"));
  TBytes ihdr;
  Put32(ihdr, 128);                            // height
  Put32(ihdr, 128);                            // width
  Put16(ihdr, 1);                              // components
  ihdr.insert(ihdr.end(), {7, 7, 0, 0});       // 8 bits, compression 7, colour space known, no IPR
  const TBytes colr = {1, 0, 0, 0, 0, 0, 17};  // enumerated: gray
  TBytes res;
  for (int i = 0; i < 2; ++i) {  // vertical, then horizontal
    Put16(res, num);
    Put16(res, den);
  }
  res.push_back(static_cast<uint8_t>(exponent));
  res.push_back(static_cast<uint8_t>(exponent));
  const TBytes signature = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  TBytes ftyp = {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '};
  return Cat({signature, Box("ftyp", ftyp),
              Box("jp2h", Cat({Box("ihdr", ihdr), Box("colr", colr), Box("res ", Box(resType, res))})),
              Box("jp2c", codestream)});
}

struct TResCase {
  const char* Type;
  uint16_t Num;
  uint16_t Den;
  int8_t Exponent;
  int Dpi;
};

class Jp2ResolutionTest : public testing::TestWithParam<TResCase> {};

TEST_P(Jp2ResolutionTest, ResolutionFromTheResolutionBox) {
  REQUIRE_CORPUS();
  const TResCase& c = GetParam();
  TJp2Run run;
  run.Read(Jp2WithResolution(c.Type, c.Num, c.Den, c.Exponent), ffJP2);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Bitmap.Width(), 128);
  EXPECT_EQ(run.Params.DpiX(), c.Dpi);
  EXPECT_EQ(run.Params.DpiY(), c.Dpi);
}

INSTANTIATE_TEST_SUITE_P(Boxes, Jp2ResolutionTest,
                         testing::Values(TResCase{"resd", 2835, 1, 0, 72},  // 2835 per metre = 72.009 per inch
                                         TResCase{"resc", 11811, 1, 0, 300},
                                         TResCase{"resd", 3780, 100, 2, 96},  // 37.8 × 10^2
                                         TResCase{"resd", 0, 1, 0, 300},      // unusable: the default
                                         TResCase{"resd", 1, 0, 0, 300}));

// ------------------------------------------------------------ absurd code streams

// p0_01.j2k's SIZ segment starts at byte 2: FF51, Lsiz, Rsiz, Xsiz, Ysiz,
// XOsiz, YOsiz, XTsiz, YTsiz, XTOsiz, YTOsiz, Csiz, then Ssiz XRsiz YRsiz per component.
constexpr size_t kXsiz = 8, kYsiz = 12, kXTsiz = 24, kYTsiz = 28, kCsiz = 40, kSsiz = 42, kXRsiz = 43;

TBytes PatchedP0_01(std::initializer_list<std::pair<size_t, TBytes>> patches) {
  TBytes b = ReadFile(Corpus("openjpeg-conformance/p0_01.j2k"));
  for (const auto& [at, bytes] : patches) std::copy(bytes.begin(), bytes.end(), b.begin() + long(at));
  return b;
}

TBytes Be32(uint32_t v) {
  TBytes b;
  Put32(b, v);
  return b;
}

struct TBadCase {
  const char* Name;
  TBytes (*Make)();
};

class Jp2BadInputTest : public testing::TestWithParam<TBadCase> {};

TEST_P(Jp2BadInputTest, FailsCleanlyKeepingThePicture) {
  REQUIRE_CORPUS();
  TJp2Run run;
  run.Bitmap.AllocatePixels(3, 3, pxRGB24);
  run.Bitmap.SetPixelBGR(1, 1, MakeBGR(9, 8, 7));
  run.Read(GetParam().Make());
  EXPECT_TRUE(run.Aborted);
  EXPECT_FALSE(run.Progress.AbortReason.empty());
  EXPECT_EQ(run.Bitmap.Width(), 3);
  EXPECT_EQ(run.Bitmap.PixelBGR(1, 1).g, 8);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, Jp2BadInputTest,
    testing::Values(
        TBadCase{"Empty", [] { return TBytes{}; }}, TBadCase{"NotJpeg2000", [] { return TBytes(64, 0x41); }},
        // 60000 × 60000 tiles of 1 × 1: far more tiles than a code stream can number.
        TBadCase{
            "OneByOneTiles",
            [] {
              return PatchedP0_01({{kXsiz, Be32(60000)}, {kYsiz, Be32(60000)}, {kXTsiz, Be32(1)}, {kYTsiz, Be32(1)}});
            }},
        TBadCase{"HugePicture",
                 [] {
                   return PatchedP0_01({{kXsiz, Be32(0xFFFFFFF0u)},
                                        {kYsiz, Be32(0xFFFFFFF0u)},
                                        {kXTsiz, Be32(0xFFFFFFF0u)},
                                        {kYTsiz, Be32(0xFFFFFFF0u)}});
                 }},
        // 40000 × 40000 in one tile: within the syntax, beyond the size limits.
        TBadCase{"TinyFileClaimingAHugePicture",
                 [] {
                   return PatchedP0_01(
                       {{kXsiz, Be32(40000)}, {kYsiz, Be32(40000)}, {kXTsiz, Be32(40000)}, {kYTsiz, Be32(40000)}});
                 }},
        TBadCase{"ZeroComponents",
                 [] {
                   return PatchedP0_01({{kCsiz, TBytes{0, 0}}});
                 }},
        TBadCase{"ManyComponentsClaimed",
                 [] {
                   return PatchedP0_01({{kCsiz, TBytes{0x40, 0x00}}});
                 }},
        TBadCase{"FortyBitSamples",
                 [] {
                   return PatchedP0_01({{kSsiz, TBytes{39}}});
                 }},
        TBadCase{"ZeroSubsampling",
                 [] {
                   return PatchedP0_01({{kXRsiz, TBytes{0}}});
                 }},
        TBadCase{"HeaderOnly",
                 [] {
                   TBytes b = ReadFile(Corpus("openjpeg-conformance/p0_01.j2k"));
                   b.resize(60);
                   return b;
                 }}),
    [](const testing::TestParamInfo<TBadCase>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace rv
