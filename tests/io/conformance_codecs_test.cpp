// Conformance of the JPEG, PNG and JPEG 2000 readers on the shared corpus,
// every file loaded through TPictureIO by its extension, as the application
// loads it:
//   - PngSuite: every file decodes to libpng's own decoding (tests/io/pngref)
//     as 8-bit blue, green, red and alpha, with alpha exactly where libpng
//     expands to it (alpha samples or tRNS); the x* files fail cleanly.
//   - JPEG: every file decodes within ±1 of libjpeg-turbo's own output with
//     the same options; 12-bit and lossless files fail cleanly.
//   - JPEG 2000: files with class-1 references of ISO/IEC 15444-4 match them
//     per component within the peak error and mean squared error the suite
//     states; the Pillow test card matches its PNG.
//   - corrupt/: no file of these formats crashes; a failure gives a reason.
#include <gtest/gtest.h>
#include <openjpeg.h>

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "conformance.h"
#include "imaging/pxbitmap.h"
#include "io/pictureio.h"
#include "pngref.h"

namespace rv {
namespace {

// The corpus lives beside the repository; without it these tests skip.
#define REQUIRE_CORPUS()                                                 \
  do {                                                                   \
    if (!std::filesystem::is_directory(test::CorpusRoot()))              \
      GTEST_SKIP() << "../shared/corpus is absent: corpus test skipped"; \
  } while (0)

namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

// The corpus root with its trailing slash, to which corpus-relative paths are appended.
std::string CorpusRoot() {
  return test::CorpusRoot() + "/";
}

TBytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files under folder (corpus relative) whose extension is one of exts, corpus relative and sorted.
std::vector<std::string> Files(const std::string& folder, std::initializer_list<const char*> exts,
                               bool recursive = true) {
  std::vector<std::string> out;
  const fs::path root = CorpusRoot() + folder;
  if (!fs::exists(root)) return out;
  auto consider = [&](const fs::directory_entry& e) {
    if (!e.is_regular_file()) return;
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* x : exts)
      if (ext == x) out.push_back(fs::relative(e.path(), CorpusRoot()).string());
  };
  if (recursive) {
    for (const auto& e : fs::recursive_directory_iterator(root)) consider(e);
  } else {
    for (const auto& e : fs::directory_iterator(root)) consider(e);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string TestName(const testing::TestParamInfo<std::string>& info) {
  std::string n = info.param;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

struct TLoaded {
  TPictureIO Io;
  explicit TLoaded(const std::string& relative, bool native = false) {
    Io.SetNativePixelFormat(native);
    Io.LoadFileByExtension(CorpusRoot() + relative);
  }
  TPxBitmap& Bitmap() { return *Io.TargetBitmap(); }
};

// ------------------------------------------------------------ PngSuite

class PngSuiteTest : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PngSuiteTest);  // no corpus, no cases

TEST_P(PngSuiteTest, MatchesLibpngsOwnDecoding) {
  const std::string& file = GetParam();
  const std::string name = fs::path(file).filename().string();
  TLoaded load(file);
  if (name[0] == 'x') {
    EXPECT_TRUE(load.Io.Aborted()) << "must fail";
    EXPECT_FALSE(load.Io.AbortReason().empty());
    return;
  }
  ASSERT_FALSE(load.Io.Aborted()) << load.Io.AbortReason();
  test::TRefImage ref;
  std::string error;
  ASSERT_TRUE(test::ReadPngReference(CorpusRoot() + file, ref, &error)) << error;
  TPxBitmap& b = load.Bitmap();
  ASSERT_EQ(b.Width(), ref.Width);
  ASSERT_EQ(b.Height(), ref.Height);
  const TBytes bytes = ReadFile(CorpusRoot() + file);
  const int bitDepth = bytes[24];
  // The reader keeps the high byte of 16-bit samples; the reference rounds.
  const int tolerance = bitDepth == 16 ? 1 : 0;
  // Any tRNS chunk gives alpha, colour keys of gray and truecolour pictures included.
  const bool alpha = b.HasAlphaChannel();
  ASSERT_EQ(alpha, ref.HasAlpha) << (alpha ? "alpha where the file has none" : "alpha missing");
  int worst = 0;
  for (int y = 0; y < ref.Height; ++y)
    for (int x = 0; x < ref.Width; ++x) {
      const uint8_t* r = ref.Pixel(x, y);
      const TColorBGR c = b.ColorAt(x, y);
      worst = std::max({worst, std::abs(c.b - r[0]), std::abs(c.g - r[1]), std::abs(c.r - r[2])});
      if (alpha) worst = std::max(worst, std::abs(b.AlphaChannel()->ByteAt(x, y) - r[3]));
    }
  EXPECT_LE(worst, tolerance);
}

INSTANTIATE_TEST_SUITE_P(PngSuite, PngSuiteTest, testing::ValuesIn(Files("pngsuite", {".png"})), TestName);

// ------------------------------------------------------------ JPEG

struct TJpegRef {
  int Width = 0, Height = 0, Components = 0;
  J_COLOR_SPACE Space = JCS_UNKNOWN;
  std::vector<uint8_t> Pixels;
  char Message[JMSG_LENGTH_MAX] = {};
};

struct TRefError {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
};

void OnRefError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TRefError*>(cinfo->err);
  std::longjmp(err->Jump, 1);
}

// libjpeg-turbo's own decoding: colour as RGB, gray as gray, CMYK as CMYK.
// Holds no C++ object across the jump.
bool DecodeJpegReference(const uint8_t* data, size_t size, TJpegRef* ref) {
  jpeg_decompress_struct cinfo{};
  TRefError err{};
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = OnRefError;
  err.Pub.output_message = [](j_common_ptr) {};
  if (setjmp(err.Jump) != 0) {
    err.Pub.format_message(reinterpret_cast<j_common_ptr>(&cinfo), ref->Message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  ref->Space = cinfo.jpeg_color_space;
  cinfo.out_color_space = cinfo.jpeg_color_space == JCS_GRAYSCALE                                      ? JCS_GRAYSCALE
                          : (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) ? JCS_CMYK
                                                                                                       : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  ref->Width = static_cast<int>(cinfo.output_width);
  ref->Height = static_cast<int>(cinfo.output_height);
  ref->Components = cinfo.output_components;
  ref->Pixels.resize(size_t(ref->Width) * ref->Height * ref->Components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = ref->Pixels.data() + size_t(cinfo.output_scanline) * ref->Width * ref->Components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// Files libjpeg (8-bit, no lossless process) cannot decode.
const std::map<std::string, std::string>& JpegFailures() {
  static const std::map<std::string, std::string> m = {
      {"monkey12.jpg", "12-bit samples"},
      {"jpeg_lossless_sel1.jpg", "lossless process (SOF3)"},
  };
  return m;
}

class JpegSuiteTest : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(JpegSuiteTest);  // no corpus, no cases

TEST_P(JpegSuiteTest, MatchesLibjpegTurbosOwnDecoding) {
  const std::string& file = GetParam();
  const std::string name = fs::path(file).filename().string();
  TLoaded load(file);
  if (JpegFailures().count(name)) {
    EXPECT_TRUE(load.Io.Aborted()) << "must fail: " << JpegFailures().at(name);
    EXPECT_FALSE(load.Io.AbortReason().empty());
    return;
  }
  ASSERT_FALSE(load.Io.Aborted()) << load.Io.AbortReason();
  const TBytes bytes = ReadFile(CorpusRoot() + file);
  size_t start = 0;  // the reader finds the start marker behind junk bytes
  while (start + 2 < bytes.size() && !(bytes[start] == 0xFF && bytes[start + 1] == 0xD8 && bytes[start + 2] == 0xFF))
    ++start;
  // Arithmetic-coded files (testimgari.jpg) decode too: libjpeg-turbo has the decoder.
  TJpegRef ref;
  ASSERT_TRUE(DecodeJpegReference(bytes.data() + start, bytes.size() - start, &ref)) << ref.Message;
  TPxBitmap& b = load.Bitmap();
  ASSERT_EQ(b.Format(), pxRGB24);
  ASSERT_EQ(b.Width(), ref.Width);
  ASSERT_EQ(b.Height(), ref.Height);
  int worst = 0;
  for (int y = 0; y < ref.Height; ++y) {
    const uint8_t* row = b.RowPointer(y);
    for (int x = 0; x < ref.Width; ++x) {
      const uint8_t* s = ref.Pixels.data() + (size_t(y) * ref.Width + x) * ref.Components;
      int want[3];
      if (ref.Components == 1) {
        want[0] = want[1] = want[2] = s[0];
      } else if (ref.Components == 4) {  // inverted CMYK: red = C × K / 255
        want[0] = s[2] * s[3] / 255;
        want[1] = s[1] * s[3] / 255;
        want[2] = s[0] * s[3] / 255;
      } else {
        want[0] = s[2];
        want[1] = s[1];
        want[2] = s[0];
      }
      for (int i = 0; i < 3; ++i) worst = std::max(worst, std::abs(row[3 * x + i] - want[i]));
    }
  }
  EXPECT_LE(worst, 1);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, JpegSuiteTest, testing::ValuesIn(Files("jpeg", {".jpg", ".jpeg"})), TestName);

// ------------------------------------------------------------ JPEG 2000

// A PGX reference: "PG ML|LM [+|-]depth width height", one whitespace byte, samples.
struct TPgx {
  int Width = 0, Height = 0, Depth = 0;
  bool Signed = false;
  std::vector<int32_t> Samples;
};

bool ReadPgx(const std::string& path, TPgx& pgx) {
  const TBytes b = ReadFile(path);
  size_t i = 0;
  auto skipSpaces = [&] {
    while (i < b.size() && b[i] == ' ') ++i;
  };
  if (b.size() < 8 || b[0] != 'P' || b[1] != 'G') return false;
  i = 2;
  skipSpaces();
  const bool bigEndian = b[i] == 'M';
  i += 2;
  skipSpaces();
  if (b[i] == '+' || b[i] == '-') pgx.Signed = b[i++] == '-';
  skipSpaces();
  auto number = [&] {
    skipSpaces();
    int v = 0;
    while (i < b.size() && std::isdigit(b[i])) v = v * 10 + (b[i++] - '0');
    return v;
  };
  pgx.Depth = number();
  pgx.Width = number();
  pgx.Height = number();
  ++i;  // the one whitespace byte
  const int bytesPer = pgx.Depth <= 8 ? 1 : pgx.Depth <= 16 ? 2 : 4;
  const size_t n = size_t(pgx.Width) * pgx.Height;
  if (i + n * bytesPer > b.size()) return false;
  pgx.Samples.resize(n);
  for (size_t k = 0; k < n; ++k) {
    uint32_t v = 0;
    for (int j = 0; j < bytesPer; ++j) {
      const uint8_t byte = b[i + k * bytesPer + (bigEndian ? j : bytesPer - 1 - j)];
      v = (v << 8) | byte;
    }
    int64_t s = v & ((int64_t(1) << pgx.Depth) - 1);
    if (pgx.Signed && s >= (int64_t(1) << (pgx.Depth - 1))) s -= int64_t(1) << pgx.Depth;
    pgx.Samples[k] = static_cast<int32_t>(s);
  }
  return true;
}

// Component geometry from the code stream's header (the reader's pixels are what is tested).
struct TGeometry {
  int64_t X0 = 0, Y0 = 0;
  std::vector<int> Dx, Dy, Precision;
  std::vector<bool> Signed;
};

bool ReadGeometry(const std::string& path, TGeometry& g) {
  opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
  opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_J2K);
  opj_dparameters_t p;
  opj_set_default_decoder_parameters(&p);
  opj_image_t* image = nullptr;
  const bool ok = stream && codec && opj_setup_decoder(codec, &p) && opj_read_header(stream, codec, &image);
  if (ok) {
    g.X0 = image->x0;
    g.Y0 = image->y0;
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) {
      g.Dx.push_back(int(image->comps[c].dx));
      g.Dy.push_back(int(image->comps[c].dy));
      g.Precision.push_back(int(image->comps[c].prec));
      g.Signed.push_back(image->comps[c].sgnd != 0);
    }
  }
  if (image) opj_image_destroy(image);
  if (codec) opj_destroy_codec(codec);
  if (stream) opj_stream_destroy(stream);
  return ok;
}

struct TJ2kCase {
  const char* File;       // jp2/openjpeg-conformance/
  std::vector<int> Peak;  // per component with a reference c1<name>_<c>.pgx
  std::vector<double> Mse;
};

// Class-1 tolerances of ISO/IEC 15444-4 (tables C.6 and C.7) for the files whose references are kept.
const std::vector<TJ2kCase>& J2kCases() {
  static const std::vector<TJ2kCase> cases = {
      {"p0_01", {0}, {0}},
      {"p0_02", {0}, {0}},
      {"p0_03", {0}, {0}},
      {"p0_06", {635}, {11287}},  // components 1 to 3 are subsampled: compared below through the replication
      {"p0_09", {0}, {0}},
      {"p0_10", {0, 0, 0}, {0, 0, 0}},
      {"p0_11", {0}, {0}},
      {"p0_12", {0}, {0}},
      {"p0_13", {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"p0_14", {0, 0, 0}, {0, 0, 0}},
      {"p0_15", {0}, {0}},
      {"p0_16", {0}, {0}},
      {"p1_01", {0}, {0}},
      {"p1_05", {40, 40, 40}, {8.458, 9.816, 10.154}},
      {"p1_06", {2, 2, 2}, {0.6, 0.6, 0.6}},
      {"p1_07", {0, 0}, {0, 0}},
  };
  return cases;
}

class J2kConformanceTest : public testing::TestWithParam<TJ2kCase> {};

// Loaded in the native format, so each shown value maps back to exactly one
// sample value: native = round(shown × (2^precision − 1) / shown maximum).
TEST_P(J2kConformanceTest, ComponentsMatchTheClassOneReferences) {
  REQUIRE_CORPUS();
  const TJ2kCase& c = GetParam();
  const std::string file = std::string("jp2/openjpeg-conformance/") + c.File + ".j2k";
  TGeometry g;
  ASSERT_TRUE(ReadGeometry(CorpusRoot() + file, g));
  TLoaded load(file, true);
  ASSERT_FALSE(load.Io.Aborted()) << load.Io.AbortReason();
  TPxBitmap& b = load.Bitmap();
  const TPxBitmapFormat f = b.Format();
  const bool gray = f == pxGray8 || f == pxGray16;
  const bool wide = f == pxGray16 || f == pxRGB48;
  const int colourCount = gray ? 1 : 3;
  for (size_t comp = 0; comp < c.Peak.size(); ++comp) {
    TPgx ref;
    const std::string refName = std::string("c1") + c.File + "_" + std::to_string(comp) + ".pgx";
    ASSERT_TRUE(ReadPgx(CorpusRoot() + "jp2/openjpeg-conformance/refs/" + refName, ref)) << refName;
    const bool isAlpha = int(comp) == colourCount;
    if (isAlpha && g.Precision[comp] > 8) continue;  // alpha channels hold 8 bits
    ASSERT_TRUE(isAlpha ? b.HasAlphaChannel() : int(comp) < colourCount) << refName;
    const int prec = g.Precision[comp];
    const double maxNative = double((int64_t(1) << prec) - 1);
    const double shownMax = isAlpha || !wide ? 255 : 65535;
    const int64_t offset = g.Signed[comp] ? int64_t(1) << (prec - 1) : 0;
    const int64_t cx0 = (g.X0 + g.Dx[comp] - 1) / g.Dx[comp], cy0 = (g.Y0 + g.Dy[comp] - 1) / g.Dy[comp];
    int64_t peak = 0;
    double sumSq = 0;
    int64_t count = 0;
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x) {
        // Pixels on the component's sampling grid show exactly one sample,
        // whatever fills the pixels between them.
        if ((g.X0 + x) % g.Dx[comp] != 0 || (g.Y0 + y) % g.Dy[comp] != 0) continue;
        const int64_t sx = (g.X0 + x) / g.Dx[comp] - cx0, sy = (g.Y0 + y) / g.Dy[comp] - cy0;
        ASSERT_TRUE(sx >= 0 && sy >= 0 && sx < ref.Width && sy < ref.Height) << refName << " " << x << "," << y;
        double shown;
        if (isAlpha) {
          shown = b.AlphaChannel()->ByteAt(x, y);
        } else if (gray) {
          shown = wide ? b.WordAt(x, y) : b.ByteAt(x, y);
        } else if (wide) {
          uint16_t rgb[3];
          b.RGB48At(x, y, rgb);
          shown = rgb[comp];
        } else {
          const TColorBGR p = b.PixelBGR(x, y);
          shown = comp == 0 ? p.r : comp == 1 ? p.g : p.b;
        }
        const int64_t native = std::llround(shown * maxNative / shownMax) - offset;
        const int64_t d = native - ref.Samples[size_t(sy) * ref.Width + sx];
        peak = std::max(peak, std::abs(d));
        sumSq += double(d) * double(d);
        ++count;
      }
    EXPECT_LE(peak, c.Peak[comp]) << refName;
    ASSERT_EQ(count, int64_t(ref.Width) * ref.Height) << refName << ": every sample compared once";
    EXPECT_LE(sumSq / double(count), c.Mse[comp]) << refName;
  }
}

INSTANTIATE_TEST_SUITE_P(Iso15444_4, J2kConformanceTest, testing::ValuesIn(J2kCases()),
                         [](const testing::TestParamInfo<TJ2kCase>& info) { return std::string(info.param.File); });

// The rest of the JPEG 2000 corpus loads; the conformance JP2 files' references
// are LZW-compressed TIFFs, compared once the TIFF reader exists.
class Jp2LoadTest : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Jp2LoadTest);  // no corpus, no cases

TEST_P(Jp2LoadTest, Loads) {
  const std::string& file = GetParam();
  TLoaded load(file);
  if (fs::path(file).filename() == "balloon_eciRGBv2_aware.jp2") {
    // Kept without its code stream (header boxes only).
    EXPECT_TRUE(load.Io.Aborted());
    return;
  }
  EXPECT_FALSE(load.Io.Aborted()) << load.Io.AbortReason();
  EXPECT_GT(load.Bitmap().Width(), 0);
}

INSTANTIATE_TEST_SUITE_P(Jp2, Jp2LoadTest, testing::ValuesIn(Files("jp2", {".jp2", ".j2k"})), TestName);

struct TCardCase {
  const char* File;
  double MeanAbsoluteDifference;  // Pillow's similarity bound for the file
};

class Jp2TestCardTest : public testing::TestWithParam<TCardCase> {};

TEST_P(Jp2TestCardTest, MatchesThePng) {
  REQUIRE_CORPUS();
  TLoaded load(std::string("jp2/pillow/") + GetParam().File);
  ASSERT_FALSE(load.Io.Aborted()) << load.Io.AbortReason();
  test::TRefImage ref;
  std::string error;
  ASSERT_TRUE(test::ReadPngReference(CorpusRoot() + "jp2/pillow/refs/test-card.png", ref, &error)) << error;
  TPxBitmap& b = load.Bitmap();
  ASSERT_EQ(b.Width(), ref.Width);
  ASSERT_EQ(b.Height(), ref.Height);
  double sum = 0;
  for (int y = 0; y < ref.Height; ++y)
    for (int x = 0; x < ref.Width; ++x) {
      const TColorBGR c = b.PixelBGR(x, y);
      const uint8_t* r = ref.Pixel(x, y);
      sum += std::abs(c.b - r[0]) + std::abs(c.g - r[1]) + std::abs(c.r - r[2]);
    }
  EXPECT_LE(sum / (3.0 * ref.Width * ref.Height), GetParam().MeanAbsoluteDifference);
}

INSTANTIATE_TEST_SUITE_P(Pillow, Jp2TestCardTest,
                         testing::Values(TCardCase{"test-card-lossless.jp2", 1e-3},
                                         TCardCase{"test-card-lossy-tiled.jp2", 2.0}),
                         [](const testing::TestParamInfo<TCardCase>& info) {
                           return std::string(info.param.File).substr(0, std::string(info.param.File).find('.')) ==
                                          "test-card-lossless"
                                      ? std::string("Lossless")
                                      : std::string("LossyTiled");
                         });

// ------------------------------------------------------------ corrupt files

std::vector<std::string> CorruptFiles() {
  std::vector<std::string> all;
  for (const char* folder :
       {"corrupt/imagetestsuite/jpg", "corrupt/imagetestsuite/png", "corrupt/image-png", "corrupt/jpeg-decoder",
        "corrupt/pillow", "corrupt/image-rs/regression/jpg", "corrupt/misnamed"}) {
    const auto files = Files(folder, {".jpg", ".jpeg", ".png", ".jp2", ".j2k"});
    all.insert(all.end(), files.begin(), files.end());
  }
  return all;
}

class CorruptCodecTest : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorruptCodecTest);  // no corpus, no cases

// No crash, no hang; a failure names its reason; what loads has pixels.
TEST_P(CorruptCodecTest, FailsCleanlyOrLoads) {
  TLoaded load(GetParam());
  if (load.Io.Aborted()) {
    EXPECT_FALSE(load.Io.AbortReason().empty());
  } else {
    EXPECT_FALSE(load.Bitmap().IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Corrupt, CorruptCodecTest, testing::ValuesIn(CorruptFiles()), TestName);

// A PNG named .jpg: by name the JPEG reader refuses it, by content it loads.
TEST(CodecRecognition, MisnamedPngLoadsByContentOnly) {
  REQUIRE_CORPUS();
  const std::string path = CorpusRoot() + "corrupt/misnamed/jpg-size-6x6.jpg";
  TPictureIO io;
  io.LoadFileByExtension(path);
  EXPECT_TRUE(io.Aborted());
  EXPECT_EQ(io.ImageParams().FileType, 3);
  io.LoadFileByContent(path);
  EXPECT_FALSE(io.Aborted()) << io.AbortReason();
  EXPECT_EQ(io.ImageParams().FileType, 8);
  EXPECT_EQ(io.TargetBitmap()->Width(), 6);
}

}  // namespace
}  // namespace rv
