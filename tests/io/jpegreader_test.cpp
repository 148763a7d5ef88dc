// The JPEG reader against libjpeg's own decoding of files the tests encode
// with libjpeg (recipes in EncodeJpeg), plus the edge cases that matter and
// malformed variants of those files.
#include "io/readers/jpegreader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmetadata.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/pictureio.h"
#include "io/progress.h"
#include "jpegfile.h"
#include "platform/stream.h"

namespace rv {
namespace {

using namespace testing_support::jpeg;

// libjpeg's own decoding of the same bytes with the same options.
struct TDirect {
  int Width = 0;
  int Height = 0;
  int Components = 0;
  TBytes Pixels;
};

TDirect DecodeDirect(const TBytes& bytes, J_COLOR_SPACE out, int denominator = 1) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = out;
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned>(denominator);
  jpeg_start_decompress(&cinfo);
  TDirect d;
  d.Width = static_cast<int>(cinfo.output_width);
  d.Height = static_cast<int>(cinfo.output_height);
  d.Components = cinfo.output_components;
  d.Pixels.resize(size_t(d.Width) * d.Height * d.Components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW p = d.Pixels.data() + size_t(cinfo.output_scanline) * d.Width * d.Components;
    jpeg_read_scanlines(&cinfo, &p, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return d;
}

// One ReadJpeg call as TPictureIO makes it, on its own abort flag.
struct TJpegRun {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborted = false;
  TProgressRecord Progress;
  std::vector<int> Percents;

  TJpegRun() {
    Progress.Aborted = &Aborted;
    Progress.Callback = [this](void*, int p) { Percents.push_back(p); };
  }
  void Read(const TBytes& bytes, bool paramsOnly = false) {
    TPxMemStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TReadContext ctx{.Stream = s, .Bitmap = Bitmap, .Params = Params, .Progress = Progress, .ParamsOnly = paramsOnly};
    ReadJpeg(ctx);
  }
};

// Positions of a marker (FF code) in a file, before the first scan.
size_t FindMarker(const TBytes& b, int code) {
  for (size_t i = 2; i + 3 < b.size();) {
    if (b[i] != 0xFF) return std::string::npos;
    if (b[i + 1] == code) return i;
    if (b[i + 1] == 0xDA) return std::string::npos;
    i += 2 + ((b[i + 2] << 8) | b[i + 3]);
  }
  return std::string::npos;
}

TBytes WithoutSegment(TBytes b, int code) {
  const size_t at = FindMarker(b, code);
  if (at == std::string::npos) return b;
  const size_t length = 2 + ((b[at + 2] << 8) | b[at + 3]);
  b.erase(b.begin() + long(at), b.begin() + long(at + length));
  return b;
}

// ------------------------------------------------------------ decoding

struct TColourCase {
  const char* Name;
  J_COLOR_SPACE Input;
  J_COLOR_SPACE File;
  bool Progressive;
  bool Native;
  TPxBitmapFormat Format;
  int ColorSpace;  // JpegColorSpace
  int Samples;
};

class JpegColourTest : public testing::TestWithParam<TColourCase> {};

// Every colour space decodes to the library's own output in the reader's
// pixel layout: BGR for colour, B = G = R for gray, the inverted-CMYK rule
// (red = C × K div 255 on the stored samples) for CMYK and YCCK.
TEST_P(JpegColourTest, MatchesTheLibrarysOwnDecoding) {
  const TColourCase& c = GetParam();
  TJpegSpec spec;
  spec.Input = c.Input;
  spec.File = c.File;
  spec.Progressive = c.Progressive;
  const TBytes bytes = EncodeJpeg(spec);
  TJpegRun run;
  run.Params.NativePixelFormat = c.Native ? 1 : 0;
  run.Read(bytes);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  ASSERT_EQ(run.Bitmap.Format(), c.Format);
  ASSERT_EQ(run.Bitmap.Width(), spec.Width);
  ASSERT_EQ(run.Bitmap.Height(), spec.Height);
  EXPECT_EQ(run.Params.JpegColorSpace, c.ColorSpace);
  EXPECT_EQ(run.Params.SamplesPerPixel, c.Samples);
  EXPECT_EQ(run.Params.BitsPerSample, 8);
  EXPECT_EQ(run.Params.JpegProgressive, c.Progressive ? 1 : 0);
  EXPECT_EQ(run.Params.JpegWarningCount, 0);

  const J_COLOR_SPACE out = c.File == JCS_GRAYSCALE                      ? JCS_GRAYSCALE
                            : (c.File == JCS_CMYK || c.File == JCS_YCCK) ? JCS_CMYK
                                                                         : JCS_RGB;
  const TDirect d = DecodeDirect(bytes, out);
  int worst = 0;
  for (int y = 0; y < d.Height; ++y) {
    const uint8_t* row = run.Bitmap.RowPointer(y);
    for (int x = 0; x < d.Width; ++x) {
      const uint8_t* s = d.Pixels.data() + (size_t(y) * d.Width + x) * d.Components;
      uint8_t want[4];
      int n = 3;
      if (c.Format == pxGray8) {
        want[0] = s[0];
        n = 1;
      } else if (c.Format == pxCMYK) {
        std::memcpy(want, s, 4);
        n = 4;
      } else if (out == JCS_GRAYSCALE) {
        want[0] = want[1] = want[2] = s[0];
      } else if (out == JCS_CMYK) {
        want[2] = static_cast<uint8_t>(s[0] * s[3] / 255);
        want[1] = static_cast<uint8_t>(s[1] * s[3] / 255);
        want[0] = static_cast<uint8_t>(s[2] * s[3] / 255);
      } else {
        want[0] = s[2];
        want[1] = s[1];
        want[2] = s[0];
      }
      for (int i = 0; i < n; ++i) worst = std::max(worst, std::abs(int(row[size_t(x) * n + i]) - int(want[i])));
    }
  }
  EXPECT_LE(worst, 1);
}

INSTANTIATE_TEST_SUITE_P(
    ColourSpaces, JpegColourTest,
    testing::Values(TColourCase{"YCbCr", JCS_RGB, JCS_YCbCr, false, false, pxRGB24, 2, 3},
                    TColourCase{"YCbCrProgressive", JCS_RGB, JCS_YCbCr, true, false, pxRGB24, 2, 3},
                    TColourCase{"RGB", JCS_RGB, JCS_RGB, false, false, pxRGB24, 0, 3},
                    TColourCase{"RGBNative", JCS_RGB, JCS_RGB, false, true, pxRGB24, 0, 3},
                    TColourCase{"Gray", JCS_GRAYSCALE, JCS_GRAYSCALE, false, false, pxRGB24, 1, 1},
                    TColourCase{"GrayProgressive", JCS_GRAYSCALE, JCS_GRAYSCALE, true, false, pxRGB24, 1, 1},
                    TColourCase{"GrayNative", JCS_GRAYSCALE, JCS_GRAYSCALE, false, true, pxGray8, 1, 1},
                    TColourCase{"Cmyk", JCS_CMYK, JCS_CMYK, false, false, pxRGB24, 3, 4},
                    TColourCase{"CmykNative", JCS_CMYK, JCS_CMYK, false, true, pxCMYK, 3, 4},
                    TColourCase{"Ycck", JCS_CMYK, JCS_YCCK, true, false, pxRGB24, 4, 4},
                    TColourCase{"YcckNative", JCS_CMYK, JCS_YCCK, false, true, pxCMYK, 4, 4}),
    [](const testing::TestParamInfo<TColourCase>& info) { return std::string(info.param.Name); });

TEST(JpegReader, GrayLoadsWithEqualBlueGreenRed) {
  TJpegSpec spec;
  spec.Input = spec.File = JCS_GRAYSCALE;
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_EQ(run.Bitmap.Format(), pxRGB24);
  for (int y = 0; y < spec.Height; y += 7)
    for (int x = 0; x < spec.Width; x += 5) {
      const TColorBGR c = run.Bitmap.PixelBGR(x, y);
      EXPECT_TRUE(c.b == c.g && c.g == c.r) << x << "," << y;
    }
}

TEST(JpegReader, ProgressRunsToOneHundred) {
  TJpegRun run;
  run.Read(EncodeJpeg(TJpegSpec{}));
  ASSERT_FALSE(run.Percents.empty());
  EXPECT_EQ(run.Percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(run.Percents.begin(), run.Percents.end()));
}

TEST(JpegReader, ParametersOnlyLeavesTheBitmapAlone) {
  TJpegRun run;
  run.Bitmap.AllocatePixels(3, 2, pxGray8);
  TJpegSpec spec;
  spec.Width = 100;
  spec.Height = 30;
  run.Read(EncodeJpeg(spec), true);
  EXPECT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.Width, 100);
  EXPECT_EQ(run.Params.Height, 30);
  EXPECT_EQ(run.Params.JpegHeaderWidth, 100);
  EXPECT_EQ(run.Bitmap.Width(), 3);
  EXPECT_EQ(run.Bitmap.Format(), pxGray8);
}

// ------------------------------------------------------------ start marker

struct TPrefixCase {
  int Junk;
  bool Loads;
};

class JpegPrefixTest : public testing::TestWithParam<TPrefixCase> {};

// The start marker is looked for among the first 100 positions only.
TEST_P(JpegPrefixTest, FindsTheStartMarkerWithinOneHundredBytes) {
  TBytes bytes(size_t(GetParam().Junk), 0x20);
  const TBytes jpeg = EncodeJpeg(TJpegSpec{});
  bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
  TJpegRun run;
  run.Bitmap.AllocatePixels(5, 5, pxGray8);
  run.Read(bytes);
  EXPECT_EQ(!run.Aborted, GetParam().Loads) << run.Progress.AbortReason;
  if (GetParam().Loads) {
    EXPECT_EQ(run.Bitmap.Width(), 64);
  } else {
    EXPECT_EQ(run.Bitmap.Width(), 5) << "the previous picture stays";
    EXPECT_NE(run.Progress.AbortReason.find("start marker"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Prefixes, JpegPrefixTest,
                         testing::Values(TPrefixCase{0, true}, TPrefixCase{50, true}, TPrefixCase{99, true},
                                         TPrefixCase{100, false}, TPrefixCase{150, false}));

// ------------------------------------------------------------ resolution

struct TDensityCase {
  int Unit;
  int X;
  int Y;
  int DpiX;  // after the load through TPictureIO (which makes < 2 into 300)
  int DpiY;
};

class JpegDensityTest : public testing::TestWithParam<TDensityCase> {};

TEST_P(JpegDensityTest, ResolutionComesFromTheJfifDensity) {
  const TDensityCase& c = GetParam();
  TJpegSpec spec;
  spec.DensityUnit = c.Unit;
  spec.XDensity = c.X;
  spec.YDensity = c.Y;
  const TBytes bytes = EncodeJpeg(spec);
  TPictureIO io;
  io.LoadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 3);
  ASSERT_FALSE(io.Aborted()) << io.AbortReason();
  EXPECT_EQ(io.ImageParams().DpiX(), c.DpiX);
  EXPECT_EQ(io.ImageParams().DpiY(), c.DpiY);
}

INSTANTIATE_TEST_SUITE_P(Densities, JpegDensityTest,
                         testing::Values(TDensityCase{2, 118, 118, 299, 299},  // 118 × 2.54 = 299.72, truncated
                                         TDensityCase{1, 96, 150, 96, 150}, TDensityCase{0, 1, 1, 300, 300}));

// ------------------------------------------------------------ scale

struct TScaleCase {
  int JpegScale;
  int WantWidth;
  int WantHeight;
  int Denominator;
};

class JpegScaleTest : public testing::TestWithParam<TScaleCase> {};

TEST_P(JpegScaleTest, ScalesByTheChosenDenominator) {
  const TScaleCase& c = GetParam();
  TJpegSpec spec;
  spec.Width = 1600;
  spec.Height = 1200;
  const TBytes bytes = EncodeJpeg(spec);
  TJpegRun run;
  run.Params.JpegScale = static_cast<uint8_t>(c.JpegScale);
  run.Params.Width = c.WantWidth;
  run.Params.Height = c.WantHeight;
  run.Read(bytes);
  ASSERT_FALSE(run.Aborted) << run.Progress.AbortReason;
  EXPECT_EQ(run.Params.JpegScaleUsed, c.Denominator);
  EXPECT_EQ(run.Bitmap.Width(), 1600 / c.Denominator);
  EXPECT_EQ(run.Bitmap.Height(), 1200 / c.Denominator);
  EXPECT_EQ(run.Params.Width, 1600 / c.Denominator);
  EXPECT_EQ(run.Params.JpegHeaderWidth, 1600);
  // The pixels are libjpeg's own scaled decoding.
  const TDirect d = DecodeDirect(bytes, JCS_RGB, c.Denominator);
  for (int y = 0; y < d.Height; y += 17)
    for (int x = 0; x < d.Width; x += 13) {
      const TColorBGR p = run.Bitmap.PixelBGR(x, y);
      const uint8_t* s = d.Pixels.data() + (size_t(y) * d.Width + x) * 3;
      EXPECT_EQ(p.r, s[0]);
      EXPECT_EQ(p.b, s[2]);
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, JpegScaleTest,
                         testing::Values(TScaleCase{1, 0, 0, 1}, TScaleCase{2, 0, 0, 2}, TScaleCase{3, 0, 0, 4},
                                         TScaleCase{4, 0, 0, 8}, TScaleCase{0, 200, 150, 8}, TScaleCase{0, 400, 300, 4},
                                         TScaleCase{0, 401, 300, 2}, TScaleCase{0, 1601, 10, 1},
                                         TScaleCase{0, 0, 150, 1}));

// ------------------------------------------------------------ markers and metadata

TBytes Text(const std::string& s) {
  return TBytes(s.begin(), s.end());
}

TEST(JpegReader, KeepsEveryMarkerButTheFirstApp0) {
  TJpegSpec spec;
  spec.Markers = {{JPEG_APP0, Text("second app0")}, {JPEG_COM, Text("a comment")}, {JPEG_APP0 + 5, Text("app5")}};
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_FALSE(run.Aborted);
  TPxMarkerList& list = run.Params.JpegMarkerList();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.MarkerType(0), JPEG_APP0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(list.MarkerData(0)), size_t(list.MarkerLength(0))), "second app0");
  EXPECT_EQ(list.MarkerType(1), JPEG_COM);
  EXPECT_EQ(list.MarkerType(2), JPEG_APP0 + 5);
}

TEST(JpegReader, ReadsIptcFromThePhotoshopBlock) {
  // Photoshop resources: "8BIM", id 0x0404, empty name (two bytes), size, data.
  const TBytes iptc = {0x1C, 2, 5, 0, 5, 'T', 'i', 't', 'l', 'e', 0x1C, 2, 120, 0, 3, 'C', 'a', 'p'};
  TBytes app13 = Text("Photoshop 3.0");
  app13.push_back(0);
  // A resource before the IPTC one whose data holds a 0x1C byte.
  const TBytes other = {'8', 'B', 'I', 'M', 0x03, 0xED, 0, 0, 0, 0, 0, 2, 0x1C, 0x1C};
  app13.insert(app13.end(), other.begin(), other.end());
  const TBytes head = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, 0, 0, 0, static_cast<uint8_t>(iptc.size())};
  app13.insert(app13.end(), head.begin(), head.end());
  app13.insert(app13.end(), iptc.begin(), iptc.end());
  TJpegSpec spec;
  spec.Markers = {{JPEG_APP0 + 13, app13}};
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_FALSE(run.Aborted);
  const TPxIPTCInfoList& list = run.Params.IPTC();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Info(0).Record, 2);
  EXPECT_EQ(list.Info(0).Dataset, 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.Data(0)), size_t(list.Info(0).Length)), "Title");
  EXPECT_EQ(list.Info(1).Dataset, 120);
}

TBytes IccChunk(int seq, int total, const std::string& data) {
  TBytes b = Text("ICC_PROFILE");
  b.push_back(0);
  b.push_back(static_cast<uint8_t>(seq));
  b.push_back(static_cast<uint8_t>(total));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

struct TIccCase {
  const char* Name;
  std::vector<TMarker> Markers;
  bool HasProfile;
  std::string Profile;
};

class JpegIccTest : public testing::TestWithParam<TIccCase> {};

TEST_P(JpegIccTest, JoinsCompleteProfilesInSequenceOrder) {
  TJpegSpec spec;
  spec.Markers = GetParam().Markers;
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_FALSE(run.Aborted);
  ASSERT_EQ(run.Params.HasInputProfile(), GetParam().HasProfile);
  if (GetParam().HasProfile) {
    const TBytes& d = run.Params.InputProfile().Data;
    EXPECT_EQ(std::string(d.begin(), d.end()), GetParam().Profile);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, JpegIccTest,
    testing::Values(TIccCase{"OneChunk", {{JPEG_APP0 + 2, IccChunk(1, 1, "whole")}}, true, "whole"},
                    TIccCase{"OutOfOrder",
                             {{JPEG_APP0 + 2, IccChunk(2, 2, "-second")}, {JPEG_APP0 + 2, IccChunk(1, 2, "first")}},
                             true,
                             "first-second"},
                    TIccCase{"MissingChunk", {{JPEG_APP0 + 2, IccChunk(1, 2, "first")}}, false, ""},
                    TIccCase{"SequenceZero", {{JPEG_APP0 + 2, IccChunk(0, 1, "bad")}}, false, ""},
                    TIccCase{"NotIcc", {{JPEG_APP0 + 2, Text("MPF\0something")}}, false, ""}),
    [](const testing::TestParamInfo<TIccCase>& info) { return std::string(info.param.Name); });

// A JFIF aspect ratio (1:1) gives way to the EXIF resolution (EXIF data is a
// TIFF structure, read by the TIFF reader).
TEST(JpegReader, ExifResolutionReplacesAJfifAspectRatio) {
  // "Exif\0\0", then a little-endian TIFF with XResolution = YResolution = 72/1, unit inches.
  const TBytes exif = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,  // header, IFD at 8
                       3,    0,                                                 // 3 entries
                       0x1A, 1,   5,   0,   1, 0, 0,   0,   50, 0, 0, 0,        // XResolution at 50
                       0x1B, 1,   5,   0,   1, 0, 0,   0,   58, 0, 0, 0,        // YResolution at 58
                       0x28, 1,   3,   0,   1, 0, 0,   0,   2,  0, 0, 0,        // unit: inches
                       0,    0,   0,   0,                                       // no next IFD
                       72,   0,   0,   0,   1, 0, 0,   0,   72, 0, 0, 0, 1, 0, 0, 0};
  TJpegSpec spec;
  spec.DensityUnit = 0;
  spec.XDensity = spec.YDensity = 1;
  spec.Markers = {{JPEG_APP0 + 1, exif}};
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  EXPECT_EQ(run.Params.ExifPresent, 1);
  EXPECT_EQ(run.Params.DpiX(), 72);
}

// An EXIF block whose TIFF structure has no directory changes nothing: the
// JFIF resolution stays and the EXIF fields keep their defaults.
TEST(JpegReader, ExifBlockLeavesTheJfifResolution) {
  const TBytes exif = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  TJpegSpec spec;
  spec.DensityUnit = 1;
  spec.XDensity = spec.YDensity = 96;
  spec.Markers = {{JPEG_APP0 + 1, exif}};
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.DpiX(), 96);
  EXPECT_EQ(run.Params.ExifPresent, 0);
  EXPECT_EQ(run.Params.JpegMarkerList().IndexOfType(JPEG_APP0 + 1), 0);
}

// A real JFIF resolution (96 dpi) stays; the EXIF values are still read.
TEST(JpegReader, ExifKeepsARealJfifResolution) {
  const TBytes exif = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42,  0,   8,   0, 0, 0,  // header, IFD at 8
                       2,    0,                                                      // 2 entries
                       0x1A, 1,   5,   0,   1, 0, 0,   0,   38,  0,   0,   0,        // XResolution at 38
                       0x0F, 1,   2,   0,   4, 0, 0,   0,   'A', 'c', 'm', 0,        // Make "Acm"
                       0,    0,   0,   0,                                            // no next IFD
                       72,   0,   0,   0,   1, 0, 0,   0};
  TJpegSpec spec;
  spec.DensityUnit = 1;
  spec.XDensity = spec.YDensity = 96;
  spec.Markers = {{JPEG_APP0 + 1, exif}};
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  ASSERT_FALSE(run.Aborted);
  EXPECT_EQ(run.Params.ExifPresent, 1);
  EXPECT_EQ(run.Params.ExifMake, "Acm");
  EXPECT_EQ(run.Params.DpiX(), 96);
}

// ------------------------------------------------------------ malformed files

struct TBadCase {
  const char* Name;
  TBytes (*Make)();
  bool Aborts;
  const char* Reason;  // part of the reason text when it aborts
  bool Warns = false;  // when it loads: libjpeg reported the damage
};

TBytes Baseline() {
  return EncodeJpeg(TJpegSpec{});
}

// The entropy-coded data starts after the SOS segment.
size_t ScanStart(const TBytes& b) {
  for (size_t i = 2; i + 3 < b.size();) {
    const size_t length = (b[i + 2] << 8) | b[i + 3];
    if (b[i + 1] == 0xDA) return i + 2 + length;
    i += 2 + length;
  }
  return b.size();
}

class JpegBadInputTest : public testing::TestWithParam<TBadCase> {};

TEST_P(JpegBadInputTest, FailsCleanlyOrLoads) {
  const TBadCase& c = GetParam();
  TJpegRun run;
  run.Bitmap.AllocatePixels(4, 4, pxRGB24);
  run.Bitmap.SetPixelBGR(1, 1, MakeBGR(1, 77, 3));
  run.Read(c.Make());
  EXPECT_EQ(run.Aborted, c.Aborts) << run.Progress.AbortReason;
  if (c.Aborts) {
    EXPECT_NE(run.Progress.AbortReason.find(c.Reason), std::string::npos) << run.Progress.AbortReason;
    EXPECT_EQ(run.Bitmap.Width(), 4) << "the previous picture stays";
    EXPECT_EQ(run.Bitmap.PixelBGR(1, 1).g, 77);
  } else {
    EXPECT_EQ(run.Bitmap.Width(), 64);
    EXPECT_EQ(run.Params.JpegWarningCount > 0, c.Warns);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, JpegBadInputTest,
    testing::Values(TBadCase{"Empty", [] { return TBytes{}; }, true, "start marker"},
                    TBadCase{"NoQuantTable", [] { return WithoutSegment(Baseline(), 0xDB); }, true,
                             "Quantization table"},
                    // Without DHT segments the library takes the standard tables, which the encoder used.
                    TBadCase{"NoHuffmanTables",
                             [] {
                               return WithoutSegment(
                                   WithoutSegment(WithoutSegment(WithoutSegment(Baseline(), 0xC4), 0xC4), 0xC4), 0xC4);
                             },
                             false, "", false},
                    TBadCase{"CorruptHuffmanData",
                             [] {
                               TBytes b = Baseline();
                               // A run of stuffed FF bytes: all-ones is no Huffman code.
                               for (size_t i = ScanStart(b) + 20; i + 1 < ScanStart(b) + 60; i += 2) {
                                 b[i] = 0xFF;
                                 b[i + 1] = 0x00;
                               }
                               return b;
                             },
                             false, "", true},
                    TBadCase{"UnknownMarkerInHeader",
                             [] {
                               TBytes b = Baseline();
                               const TBytes bad = {0xFF, 0x4F, 0x00, 0x04, 0x00, 0x00};
                               b.insert(b.begin() + 2, bad.begin(), bad.end());
                               return b;
                             },
                             true, "Unsupported marker"},
                    TBadCase{"ZeroWidth",
                             [] {
                               TBytes b = Baseline();
                               const size_t sof = FindMarker(b, 0xC0);
                               b[sof + 7] = b[sof + 8] = 0;
                               return b;
                             },
                             true, "Empty JPEG image"},
                    TBadCase{"LosslessProcess",
                             [] {
                               TBytes b = Baseline();
                               b[FindMarker(b, 0xC0) + 1] = 0xC3;
                               return b;
                             },
                             true, "JPEG: "},
                    TBadCase{"TwelveBitPrecision",
                             [] {
                               TBytes b = Baseline();
                               b[FindMarker(b, 0xC0) + 4] = 12;
                               return b;
                             },
                             true, "precision"},
                    TBadCase{"HeaderOnly",
                             [] {
                               TBytes b = Baseline();
                               b.resize(FindMarker(b, 0xC0));
                               return b;
                             },
                             true, "JPEG: "},
                    // A small file that claims 60000 × 60000 pixels is refused before anything is allocated.
                    TBadCase{"HugeClaim",
                             [] {
                               TBytes b = Baseline();
                               const size_t sof = FindMarker(b, 0xC0);
                               b[sof + 5] = b[sof + 7] = 0xEA;
                               b[sof + 6] = b[sof + 8] = 0x60;
                               return b;
                             },
                             true, "JPEG"}),
    [](const testing::TestParamInfo<TBadCase>& info) { return std::string(info.param.Name); });

// ------------------------------------------------------------ scan limit

// A progressive scan script with the given number of scans: one DC scan, then
// the 63 AC coefficients of each component split into bands.
std::vector<jpeg_scan_info> ScanScript(int scans, int components) {
  std::vector<jpeg_scan_info> script;
  jpeg_scan_info dc{};
  dc.comps_in_scan = components;
  for (int c = 0; c < components; ++c) dc.component_index[c] = c;
  script.push_back(dc);
  const int acScans = scans - 1;
  for (int c = 0; c < components; ++c) {
    const int bands = acScans / components + (c < acScans % components ? 1 : 0);
    int from = 1;
    for (int b = 0; b < bands; ++b) {
      const int size = 63 / bands + (b < 63 % bands ? 1 : 0);
      jpeg_scan_info s{};
      s.comps_in_scan = 1;
      s.component_index[0] = c;
      s.Ss = from;
      s.Se = from + size - 1;
      script.push_back(s);
      from += size;
    }
  }
  return script;
}

struct TScanCase {
  int Scans;
  bool Loads;
};

class JpegScanLimitTest : public testing::TestWithParam<TScanCase> {};

TEST_P(JpegScanLimitTest, RefusesMoreThanOneHundredScans) {
  TJpegSpec spec;
  spec.Scans = ScanScript(GetParam().Scans, 3);
  ASSERT_EQ(static_cast<int>(spec.Scans.size()), GetParam().Scans);
  TJpegRun run;
  run.Read(EncodeJpeg(spec));
  EXPECT_EQ(!run.Aborted, GetParam().Loads) << run.Progress.AbortReason;
  if (!GetParam().Loads) {
    EXPECT_NE(run.Progress.AbortReason.find("more than 100 scans"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Scans, JpegScanLimitTest,
                         testing::Values(TScanCase{10, true}, TScanCase{100, true}, TScanCase{101, false},
                                         TScanCase{190, false}));

// ------------------------------------------------------------ through the component

// A wrong-reader load: a PNG signature is no JPEG, the previous picture stays.
TEST(JpegReader, ThroughTPictureIOAFailureKeepsThePicture) {
  const TBytes good = EncodeJpeg(TJpegSpec{});
  TPictureIO io;
  io.LoadBuffer(good.data(), static_cast<int64_t>(good.size()), 3);
  ASSERT_FALSE(io.Aborted());
  const TColorBGR before = io.TargetBitmap()->PixelBGR(10, 10);
  const TBytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
  io.LoadBuffer(png.data(), static_cast<int64_t>(png.size()), 3);
  EXPECT_TRUE(io.Aborted());
  EXPECT_EQ(io.ImageParams().FileType, 3);
  EXPECT_EQ(io.TargetBitmap()->Width(), 64);
  EXPECT_EQ(io.TargetBitmap()->PixelBGR(10, 10).g, before.g);
}

}  // namespace
}  // namespace rv
