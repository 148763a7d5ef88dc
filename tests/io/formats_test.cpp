#include "io/formats.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "io/pictureio.h"
#include "platform/stream.h"

namespace rv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const Bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}
Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Zeros(size_t n) {
  return Bytes(n, 0);
}
Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes Le16(uint16_t v) {
  return {uint8_t(v), uint8_t(v >> 8)};
}

void Fill(TMemoryStream& s, const Bytes& b) {
  s.Clear();
  if (!b.empty()) s.Write(b.data(), int64_t(b.size()));
  s.Seek(0, soBeginning);
}

// A little-endian TIFF with one directory of (tag, type, count, value) entries.
Bytes Tiff(std::initializer_list<std::array<uint32_t, 4>> entries) {
  Bytes b = Cat({Text("II"), Le16(42), Le32(8), Le16(uint16_t(entries.size()))});
  for (const auto& e : entries) b = Cat({b, Le16(uint16_t(e[0])), Le16(uint16_t(e[1])), Le32(e[2]), Le32(e[3])});
  return Cat({b, Le32(0), Zeros(16)});
}

// An icon directory of one entry whose data sits at dataOffset.
Bytes Icon(uint16_t type, uint32_t dataOffset) {
  const Bytes entry = {16, 16, 0, 0, 1, 0, 32, 0};
  return Cat({Le16(0), Le16(type), Le16(1), entry, Le32(0x28), Le32(dataOffset), Zeros(40)});
}

const Bytes kJpegStart = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};

struct DetectCase {
  const char* name;
  Bytes data;
  int32_t expected;
};

// The first bytes of every format, with the size and ambiguity rules around them.
const std::vector<DetectCase>& DetectCases() {
  static const std::vector<DetectCase> cases = {
      {"jfif_stream_header", Cat({Text("JFIF"), Zeros(4), Le32(20), Zeros(1)}), ffJPEG},
      {"gif", Cat({Text("GIF89a"), Zeros(8)}), ffGIF},
      {"gif_13_bytes_too_short", Cat({Text("GIF89a"), Zeros(7)}), ffNone},
      {"pcx2_stream_header", Cat({Text("PCX2"), Zeros(9)}), ffPCX},
      {"pcx_short_header", Cat({Text("PCX"), Zeros(2)}), ffPCX},
      {"bmp", Cat({Text("BM"), Zeros(13)}), ffBMP},
      {"bmp_14_bytes_too_short", Cat({Text("BM"), Zeros(12)}), ffNone},
      {"pcx_by_version", Cat({{0x0A, 5}, Zeros(127)}), ffPCX},
      {"pcx_version_compared_unsigned", Cat({{0x0A, 0x80}, Zeros(127)}), ffNone},
      {"pcx_128_bytes_too_short", Cat({{0x0A, 5}, Zeros(126)}), ffNone},
      {"tiff_stream_header", Cat({Text("TIFF"), Zeros(9)}), ffTIFF},
      {"tiff_little_endian", Tiff({{256, 3, 1, 10}}), ffTIFF},
      {"tiff_big_endian", Cat({Text("MM"), {0, 42, 0, 0, 0, 8}, {0, 0}, Zeros(8)}), ffTIFF},
      {"tiff_big_endian_ba_at_8", Cat({Text("MM"), {0, 42, 0, 0, 0, 8}, {0xBA, 0}, Zeros(8)}), ffNone},
      {"tiff_offset_past_end", Cat({Text("II"), Le16(42), Le32(1000), Zeros(8)}), ffNone},
      {"tiff_marked_raw_by_dng_version", Tiff({{50706, 1, 4, 0x00000401}}), ffNone},
      {"tiff_marked_raw_by_photometric", Tiff({{262, 3, 1, 32803}}), ffNone},
      {"tiff_marked_raw_by_small_preview", Tiff({{256, 3, 1, 160}, {257, 3, 1, 120}, {330, 4, 1, 0}, {37398, 1, 4, 0}}),
       ffNone},
      {"tiff_subifds_with_large_image", Tiff({{256, 3, 1, 3000}, {257, 3, 1, 2000}, {330, 4, 1, 0}, {37398, 1, 4, 0}}),
       ffTIFF},
      {"png", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0}, ffPNG},
      {"png_8_bytes_too_short", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, ffNone},
      {"ico", Icon(1, 22), ffICO},
      {"cur", Icon(2, 22), ffCUR},
      {"ico_data_inside_directory", Icon(1, 21), ffNone},
      {"tga", Cat({{0, 0, 2}, Zeros(9), Le16(4), Le16(4), {24, 0}, Zeros(48)}), ffTGA},
      {"tga_zero_width", Cat({{0, 0, 2}, Zeros(9), Le16(0), Le16(4), {24, 0}, Zeros(48)}), ffNone},
      {"tga_bad_depth", Cat({{0, 0, 2}, Zeros(9), Le16(4), Le16(4), {15, 0}, Zeros(48)}), ffNone},
      {"pnm_with_comment", Text("P6\n# made by hand\n3 2\n255\n" + std::string(18, 'x')), ffPNM},
      {"pnm_zero_width", Text("P6 0 2 255 "), ffNone},
      {"pnm_bad_number", Text("P3 3x 2 255 "), ffNone},
      {"pnm_unknown_magic", Text("P7 3 2 255 "), ffNone},
      {"bmp_holding_a_jpeg_start_marker", Cat({Text("BM"), Zeros(40), kJpegStart, Zeros(20)}), ffBMP},
      {"pcx_holding_a_jpeg_start_marker", Cat({{0x0A, 5}, Zeros(40), kJpegStart, Zeros(100)}), ffPCX},
      {"jpeg", Cat({kJpegStart, Zeros(20)}), ffJPEG},
      {"jpeg_after_50_bytes", Cat({Zeros(50), kJpegStart, Zeros(20)}), ffJPEG},
      {"jpeg_after_99_bytes", Cat({Zeros(99), kJpegStart, Zeros(20)}), ffJPEG},
      {"jpeg_after_100_bytes", Cat({Zeros(100), kJpegStart, Zeros(20)}), ffNone},
      {"jp2", Cat({{0, 0, 0, 12, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A}, Zeros(20)}), ffJP2},
      {"j2k", Cat({{0xFF, 0x4F, 0xFF, 0x51}, Zeros(20)}), ffJ2K},
      {"avi", Cat({Text("RIFF"), Le32(100), Text("AVI LIST"), Zeros(8)}), ffAVI},
      {"riff_wave_is_not_avi", Cat({Text("RIFF"), Le32(100), Text("WAVEfmt "), Zeros(8)}), ffNone},
      {"dcx", Cat({Le32(987654321), Le32(16), Le32(0), Zeros(20)}), ffDCX},
      {"dcx_page_past_end", Cat({Le32(987654321), Le32(1000), Le32(0), Zeros(20)}), ffNone},
      {"wmf_placeable", Cat({Le32(0x9AC6CDD7), Zeros(18), Le16(1), Le16(9), Zeros(14), Zeros(10)}), ffWMF},
      {"wmf_plain", Cat({Le16(1), Le16(9), Le16(0x300), Zeros(12), Zeros(10)}), ffWMF},
      {"emf", Cat({Le32(1), Zeros(36), Le32(0x464D4520), Zeros(56)}), ffEMF},
      {"empty", {}, ffNone},
      {"one_byte", {0xFF}, ffNone},
      {"zeros", Zeros(300), ffNone},
  };
  return cases;
}

class DetectTest : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, RecognisesAndKeepsThePosition) {
  const DetectCase& c = GetParam();
  TMemoryStream s;
  Fill(s, c.data);
  EXPECT_EQ(DetectStreamFormat(s), c.expected);
  EXPECT_EQ(s.Position(), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, DetectTest, testing::ValuesIn(DetectCases()),
                         [](const testing::TestParamInfo<DetectCase>& i) { return std::string(i.param.name); });

TEST(DetectStreamFormatTest, StartsAtTheCurrentPositionAndReturnsThere) {
  TMemoryStream s;
  Fill(s, Cat({Text("junk"), {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0}}));
  s.Seek(4, soBeginning);
  EXPECT_EQ(DetectStreamFormat(s), ffPNG);
  EXPECT_EQ(s.Position(), 4);
}

// A stream that fails after a few reads, as a broken device would.
class TFailingStream : public TMemoryStream {
 public:
  int readsLeft = 2;
  int64_t Read(void* buffer, int64_t count) override {
    if (readsLeft-- <= 0) throw EStreamError("device gone");
    return TMemoryStream::Read(buffer, count);
  }
};

TEST(DetectStreamFormatTest, AStreamThatThrowsEndsDetectionWithNone) {
  TFailingStream s;
  Fill(s, Cat({kJpegStart, Zeros(300)}));
  EXPECT_EQ(DetectStreamFormat(s), ffNone);
}

// Text of size bytes: head, a comment filling the middle, then tail, so tail
// ends exactly at the end.
Bytes PaddedHeader(const std::string& head, const std::string& tail, size_t size) {
  const std::string comment = "#" + std::string(size - head.size() - tail.size() - 2, 'x') + "\n";
  return Text(head + comment + tail);
}

struct PnmHeaderCase {
  const char* name;
  Bytes data;
  bool read;  // the reader takes the header
};

// Detection reads a PNM header as the reader does: at the edges of the
// reader's number and header-length limits it names PNM exactly for the
// headers the reader takes.
TEST(DetectStreamFormatTest, NamesPnmExactlyWhenTheReaderTakesTheHeader) {
  std::string manyComments = "P6\n";
  for (int i = 0; i < 600; ++i) manyComments += "# line\n";
  const PnmHeaderCase cases[] = {
      {"width_2147483647", Text("P6 2147483647 1 255\n"), true},
      {"width_2147483648", Text("P6 2147483648 1 255\n"), false},
      {"height_of_ten_digits", Text("P5 1 0000000002 255\n"), true},
      {"height_of_eleven_digits", Text("P5 1 00000000002 255\n"), false},
      {"600_comment_lines", Text(manyComments + "3 2\n255\n"), true},
      // The 64 KiB header: the height's last digit on its last byte but one, and on its last byte.
      {"size_ends_inside_the_header_limit", PaddedHeader("P4 1 ", "2\n", 65536), true},
      {"size_reaches_the_header_limit", PaddedHeader("P4 1 ", "2\n", 65537), false},
  };
  for (const PnmHeaderCase& c : cases) {
    TMemoryStream s;
    Fill(s, c.data);
    EXPECT_EQ(DetectStreamFormat(s), c.read ? ffPNM : ffNone) << c.name;
    TPictureIO io;
    io.ReadStreamParamsAsFormat(s, ffPNM);
    EXPECT_EQ(io.Aborted(), !c.read) << c.name << ": " << io.AbortReason();
  }
}

bool TryMagic(TStream& s, int32_t) {
  char b[5] = {};
  return s.Read(b, 5) == 5 && std::string(b, 5) == "MAGIC";
}

TEST(DetectStreamFormatTest, RunTimeFormatsAreTriedAfterTheBuiltInTests) {
  TFileFormatInfo info;
  info.FileType = 40;
  info.Description = "Magic";
  info.Extensions = "MAG";
  info.TryFunction = TryMagic;
  RegisterFileFormat(info);
  TMemoryStream s;
  Fill(s, Cat({Text("MAGIC"), Zeros(20)}));
  EXPECT_EQ(DetectStreamFormat(s), 40);
  EXPECT_EQ(FormatCodeOfExtension(".mag"), 40);
  UnregisterFileFormat(40);
  EXPECT_EQ(DetectStreamFormat(s), ffNone);
  EXPECT_EQ(FindFormatByType(40), nullptr);
}

struct ExtensionCase {
  const char* extension;
  int32_t code;
};

TEST(FormatRegistryTest, ExtensionLookupIgnoresCaseAndLeadingDot) {
  const ExtensionCase cases[] = {
      {".JPG", ffJPEG}, {"jpg", ffJPEG}, {"Jpeg", ffJPEG},      {"jif", ffJPEG}, {"tif", ffTIFF},
      {"xif", ffTIFF},  {"bmp", ffBMP},  {"rle", ffBMP},        {".pix", ffTGA}, {"pxm", ffPNM},
      {"wbmp", ffWBMP}, {"j2c", ffJ2K},  {"eps", ffPostScript}, {"dcx", ffDCX},  {"nef", ffRAW},
      {"avi", ffNone},  {"", ffNone},    {".", ffNone},         {"jp", ffNone},  {"xyz", ffNone},
  };
  for (const ExtensionCase& c : cases) {
    EXPECT_EQ(FormatCodeOfExtension(c.extension), c.code) << c.extension;
    const TFileFormatInfo* f = FindFormatByExtension(c.extension);
    EXPECT_EQ(f ? f->FileType : ffNone, c.code) << c.extension;
  }
}

TEST(FormatRegistryTest, ExtensionListsAndTableOrder) {
  EXPECT_EQ(FormatExtensionCount(ffTGA), 6);
  EXPECT_EQ(FormatExtensionAt(ffTGA, 5), "PIX");
  EXPECT_EQ(FormatExtensionAt(ffTGA, 6), "");
  EXPECT_EQ(FormatExtensionAt(ffTGA, -1), "");
  EXPECT_EQ(FormatExtensionCount(ffAVI), 0);
  const std::vector<TFileFormatInfo> table = BuiltInFormats();
  std::vector<int32_t> order;
  for (const TFileFormatInfo& f : table) order.push_back(f.FileType);
  EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 13, 14, 17, 18, 19, 20}));
  for (const TFileFormatInfo& f : table) {
    EXPECT_TRUE(f.InternalFormat);
    EXPECT_LE(f.Description.size(), 80u);
  }
}

TEST(FormatRegistryTest, UnregisterRemovesTheFirstRecordOnlyAndIgnoresUnknownCodes) {
  TFileFormatInfo twin;
  twin.FileType = ffGIF;
  twin.Description = "second GIF";
  twin.Extensions = "GIF2";
  RegisterFileFormat(twin);
  UnregisterFileFormat(ffGIF);
  ASSERT_NE(FindFormatByType(ffGIF), nullptr);
  EXPECT_EQ(FindFormatByType(ffGIF)->Description, "second GIF");
  UnregisterFileFormat(99);
  ResetFileFormatRegistry();
  EXPECT_EQ(FindFormatByType(ffGIF)->Description, "CompuServe Bitmap");
}

TEST(FormatRegistryTest, ExtractFileExtLowerLooksOnlyAtTheFileName) {
  EXPECT_EQ(ExtractFileExtLower("/a/b/Picture.JPG"), ".jpg");
  EXPECT_EQ(ExtractFileExtLower("/a/b.d/picture"), "");
  EXPECT_EQ(ExtractFileExtLower("x.tar.GZ"), ".gz");
  EXPECT_EQ(ExtractFileExtLower("noext"), "");
}

class DetectFileFormatTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rv-formats-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& name, const Bytes& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(DetectFileFormatTest, ExtensionRules) {
  const Bytes tiff = Tiff({{256, 3, 1, 10}});
  const Bytes rawTiff = Tiff({{50706, 1, 4, 0}});
  const Bytes jpeg = Cat({kJpegStart, Zeros(20)});
  const Bytes icon = Icon(1, 22);
  struct Case {
    std::string name;
    Bytes data;
    bool check;
    int32_t expected;
  } cases[] = {
      {"plain.tif", tiff, false, ffTIFF},
      {"plain.tif", tiff, true, ffTIFF},
      {"plain.nef", tiff, false, ffRAW},  // the extension belongs to Camera RAW
      {"plain.nef", tiff, true, ffRAW},
      {"marked.nef", rawTiff, false, ffNone},  // no camera-raw identifier accepts it
      {"icon.cur", icon, true, ffCUR},
      {"icon.cur", icon, false, ffICO},
      {"icon.ico", icon, true, ffICO},
      {"photo.png", jpeg, true, ffNone},
      {"photo.png", jpeg, false, ffJPEG},
      {"photo.xyz", jpeg, true, ffNone},
      {"photo.xyz", jpeg, false, ffJPEG},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DetectFileFormat(Write(c.name, c.data), c.check), c.expected) << c.name << " check " << c.check;
  EXPECT_EQ(DetectFileFormat(dir_ + "/missing.jpg", false), ffNone);
  EXPECT_EQ(DetectFileFormat("", false), ffNone);
}

}  // namespace
}  // namespace rv
