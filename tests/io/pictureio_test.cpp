#include "io/pictureio.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxmetadata.h"
#include "io/readcontext.h"
#include "platform/stream.h"

namespace rv {
namespace {

using Bytes = std::vector<uint8_t>;

// A made-up format standing in for a reader: "BM", width, height (255 claims
// 2^31), DPI x and y, flags (1: hand back a mask, 2: throw), one spare byte,
// then one byte per pixel, rows top-down. It starts with "BM" so content
// detection names it BMP. Every call records where it started reading.
struct TReaderLog {
  int calls = 0;
  int64_t startedAt = -1;
};
TReaderLog readerLog;

void FakeRead(TReadContext& ctx) {
  TStream& s = ctx.Stream;
  TPxBitmap& bitmap = ctx.Bitmap;
  TIOParamsVals& params = ctx.Params;
  TProgressRecord& progress = ctx.Progress;
  const bool paramsOnly = ctx.ParamsOnly;
  std::unique_ptr<TPxMask> spare;
  std::unique_ptr<TPxMask>& mask = MaskSlot(ctx, spare);
  ++readerLog.calls;
  readerLog.startedAt = s.Position();
  uint8_t h[8];
  if (s.Read(h, 8) != 8 || h[0] != 'B' || h[1] != 'M') {
    progress.Fail("FAKE: no signature");
    return;
  }
  const int64_t width = h[2] == 255 ? int64_t(1) << 31 : h[2];
  const int64_t height = h[3] == 255 ? int64_t(1) << 31 : h[3];
  params.Width = static_cast<int32_t>(width);
  params.Height = static_cast<int32_t>(height);
  params.SetDpiX(h[4]);
  params.SetDpiY(h[5]);
  if (h[6] & 2) throw std::runtime_error("reader exploded");
  if (paramsOnly) return;
  int64_t rows = 0;
  if (!CheckImageHeader("FAKE", width, height, 8, s.Size() - s.Position(), width, progress, &rows)) return;
  bitmap.AllocatePixels(static_cast<int>(width), static_cast<int>(rows), pxGray8);
  for (int y = 0; y < rows; ++y) s.Read(bitmap.RowPointer(y), width);
  if (h[6] & 1) {
    mask = std::make_unique<TPxMask>();
    mask->AllocateMask(static_cast<int>(width), static_cast<int>(rows), 8);
    mask->FillMask(128);
  }
}

// A picture of the fake format whose pixel (x, y) is value + y.
Bytes Fake(int width, int height, uint8_t value, uint8_t dpiX = 0, uint8_t dpiY = 0, uint8_t flags = 0,
           int rowsPresent = -1) {
  Bytes b = {'B', 'M', uint8_t(width), uint8_t(height), dpiX, dpiY, flags, 0};
  if (rowsPresent < 0) rowsPresent = height;
  for (int y = 0; y < rowsPresent; ++y)
    for (int x = 0; x < width; ++x) b.push_back(uint8_t(value + y));
  while (b.size() < 16) b.push_back(0);  // content detection wants more than 14 bytes
  return b;
}

void Fill(TMemoryStream& s, const Bytes& b) {
  s.Clear();
  s.Write(b.data(), int64_t(b.size()));
  s.Seek(0, soBeginning);
}

// Every pixel row by row, as text, to compare pictures at a glance.
std::string Pixels(TPxBitmap& b) {
  std::string s;
  for (int y = 0; y < b.Height(); ++y) {
    for (int x = 0; x < b.Width(); ++x) s += std::to_string(b.RowPointer(y)[x]) + (x + 1 < b.Width() ? " " : "");
    s += ";";
  }
  return s;
}

class TFakeView : public TPxView {
 public:
  TPxBitmap picture;
  int updates = 0, imageChanges = 0;
  TPxBitmap* ImageBitmap() override { return &picture; }
  TPxBitmap* ImageAlphaChannel() override { return picture.AlphaChannel(); }
  bool ImageHasAlphaChannel() override { return picture.HasAlphaChannel(); }
  void FlattenAlphaChannel(bool) override {}
  void BeginRedrawLock() override {}
  void EndRedrawLock() override {}
  void EndRedrawLockQuiet() override {}
  void UpdateView() override { ++updates; }
  void NotifyImageChange() override { ++imageChanges; }
};

class PictureIOTest : public testing::Test {
 protected:
  void SetUp() override {
    readerLog = {};
    SetReadFunction(ffBMP, FakeRead);
    char tmpl[] = "/tmp/rv-pictureio-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    io_.OnFinishWork = [this](TPictureIO&) { ++finished_; };
  }
  void TearDown() override {
    ResetFileFormatRegistry();
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
  // Loads a 2 x 2 picture of value 9 as "the previous picture".
  void LoadPrevious() {
    Fill(stream_, Fake(2, 2, 9));
    io_.LoadBmpStream(stream_);
    ASSERT_FALSE(io_.Aborted());
    ASSERT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
  }

  TPictureIO io_;
  TMemoryStream stream_;
  std::string dir_;
  std::vector<std::string> files_;
  int finished_ = 0;
};

TEST_F(PictureIOTest, ParameterRecordDefaultsAndGroups) {
  TIOParamsVals& p = io_.ImageParams();
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.DpiX(), 300);
  EXPECT_EQ(p.DpiY(), 300);
  EXPECT_EQ(p.ExifXResolution, 300);
  EXPECT_EQ(p.Orientation(), 1);
  EXPECT_EQ(p.TiffPhotometric, 2);
  EXPECT_EQ(p.TiffPageNumber, -1);
  EXPECT_EQ(p.GifVersion, "GIF89a");
  EXPECT_EQ(p.GifDisposal, 2);
  EXPECT_EQ(p.PcxVersion, 5);
  EXPECT_EQ(p.IcoBackground, MakeBGR(255, 255, 255));
  EXPECT_EQ(p.PngCompression, 5);
  EXPECT_DOUBLE_EQ(p.TgaGamma, 2.2);
  EXPECT_EQ(p.IcoSizes[0], (TIcoSize{64, 64}));
  EXPECT_EQ(p.IcoSizes[1], (TIcoSize{0, 0}));
  EXPECT_EQ(p.IcoBitCounts[0], 8);
  EXPECT_EQ(p.PsTitle, "No Title");

  p.SetImageIndex(2);
  for (int32_t v : {p.ImageIndex, p.TiffImageIndex, p.DcxImageIndex, p.GifImageIndex, p.IcoImageIndex, p.CurImageIndex})
    EXPECT_EQ(v, 2);
  p.SetImageCount(4);
  for (int32_t v : {p.ImageCount, p.TiffImageCount, p.GifImageCount, p.VideoFrameCount}) EXPECT_EQ(v, 4);
  p.SetOrientation(6);
  p.SetThumbnailOnly(1);
  EXPECT_EQ(p.ExifOrientation, 6);
  EXPECT_EQ(p.TiffThumbnailOnly, 1);

  p.GifScreenWidth = 77;
  p.SetDefaults();
  EXPECT_EQ(p.GifScreenWidth, 0);
  EXPECT_EQ(p.GifImageIndex, 0);
  EXPECT_EQ(p.Orientation(), 1);
}

TEST_F(PictureIOTest, ClearMetadataKeepsSizesOptionsAndColourMap) {
  TIOParamsVals& p = io_.ImageParams();
  const TColorBGR map[2] = {MakeBGR(1, 2, 3), MakeBGR(4, 5, 6)};
  p.SetColorMap(map, 2);
  p.GifComments = {"made by hand"};
  p.GifScreenWidth = 320;
  p.Width = 40;
  p.ExifMake = "Camera";
  p.ExifFNumber = 2.8;
  p.TgaAuthor = "someone";
  p.JpegMarkerList().AddMarker(0xE1, "x", 1);
  p.IPTC().AddRecord(2, 5, 1, "y");
  p.InputProfile().Data = {1, 2};
  p.ExifThumbnail();
  p.ClearMetadata();
  EXPECT_TRUE(p.GifComments.empty());
  EXPECT_EQ(p.GifScreenWidth, 320);
  EXPECT_EQ(p.Width, 40);
  EXPECT_EQ(p.ColorMapCount(), 2);
  EXPECT_EQ(p.ExifMake, "");
  EXPECT_EQ(p.ExifFNumber, 0);
  EXPECT_EQ(p.TgaAuthor, "");
  EXPECT_EQ(p.JpegMarkerList().Count(), 0);
  EXPECT_EQ(p.IPTC().Count(), 0);
  EXPECT_FALSE(p.HasInputProfile());
  EXPECT_FALSE(p.HasExifThumbnail());
}

TEST_F(PictureIOTest, ClearExifRemovesOnlyTheFirstApp1Marker) {
  TPxMarkerList& m = io_.ImageParams().JpegMarkerList();
  m.AddMarker(0xE0, "a", 1);
  m.AddMarker(0xE1, "b", 1);
  m.AddMarker(0xE1, "c", 1);
  io_.ImageParams().ClearExif();
  ASSERT_EQ(m.Count(), 2);
  EXPECT_EQ(m.MarkerType(0), 0xE0);
  EXPECT_EQ(m.MarkerData(1)[0], 'c');
}

TEST_F(PictureIOTest, AssignCopiesDeeply) {
  TIOParamsVals source;
  source.GifComments = {"c"};
  source.SetDpiX(72);
  source.ExifMake = "Make";
  source.JpegMarkerList().AddMarker(0xFE, "note", 4);
  const TColorBGR entry = MakeBGR(9, 8, 7);
  source.SetColorMap(&entry, 1);
  source.InputProfile().Data = {5};
  TIOParamsVals copy;
  copy.Assign(source);
  source.JpegMarkerList().ClearMarkers();
  source.InputProfile().Data.clear();
  source.FreeColorMap();
  EXPECT_EQ(copy.GifComments, std::vector<std::string>{"c"});
  EXPECT_EQ(copy.DpiX(), 72);
  EXPECT_EQ(copy.ExifMake, "Make");
  ASSERT_EQ(copy.JpegMarkerList().Count(), 1);
  EXPECT_EQ(copy.JpegMarkerList().MarkerLength(0), 4);
  ASSERT_EQ(copy.ColorMapCount(), 1);
  EXPECT_EQ(copy.ColorMap()[0], entry);
  EXPECT_EQ(copy.InputProfile().Data, Bytes{5});
}

// A big-endian TIFF block holding a maker note of two entries: a SHORT held
// inline and a 6-byte ASCII value stored elsewhere in the block.
Bytes MakerNoteTiff(uint16_t secondType, uint16_t count) {
  Bytes t = {'M', 'M', 0, 42, 0, 0, 0, 8};
  auto be16 = [&](uint16_t v) { t.insert(t.end(), {uint8_t(v >> 8), uint8_t(v)}); };
  auto be32 = [&](uint32_t v) { t.insert(t.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); };
  be16(count);
  be16(1), be16(3), be32(1), be16(0x0102), be16(0);
  be16(2), be16(secondType), be32(6), be32(40);
  while (t.size() < 40) t.push_back(0);
  for (char c : std::string("Hello")) t.push_back(uint8_t(c));
  t.push_back(0);
  return t;
}

TEST_F(PictureIOTest, MakerNoteBecomesALittleEndianDirectoryWithItsValues) {
  TPxTagsHandler note;
  const Bytes tiff = MakerNoteTiff(2, 2);
  note.ReadFromTiff(tiff.data(), int64_t(tiff.size()), 8, 26, true);
  ASSERT_EQ(note.Count(), 2);
  const Bytes& d = note.Data();
  EXPECT_EQ((Bytes{d[2], d[3], d[4], d[5]}), (Bytes{1, 0, 3, 0}));  // tag 1, SHORT
  EXPECT_EQ((Bytes{d[10], d[11]}), (Bytes{0x02, 0x01}));            // the SHORT value turned around
  const uint32_t offset = d[22] | (d[23] << 8) | (d[24] << 16) | (uint32_t(d[25]) << 24);
  ASSERT_EQ(offset, 26u);  // behind the two entries
  EXPECT_EQ(std::string(d.begin() + 26, d.begin() + 31), "Hello");

  for (uint16_t badType : {uint16_t(0), uint16_t(13)}) {
    const Bytes tiff = MakerNoteTiff(badType, 2);
    note.ReadFromTiff(tiff.data(), int64_t(tiff.size()), 8, 26, true);
    EXPECT_TRUE(note.Empty()) << "type " << badType;
  }
  const Bytes tooMany = MakerNoteTiff(2, 300);
  note.ReadFromTiff(tooMany.data(), int64_t(tooMany.size()), 8, 26, true);
  EXPECT_TRUE(note.Empty());
  const Bytes entriesPastNote = MakerNoteTiff(2, 2);
  note.ReadFromTiff(entriesPastNote.data(), int64_t(entriesPastNote.size()), 8, 20, true);
  EXPECT_TRUE(note.Empty());
}

TEST_F(PictureIOTest, StreamLoadFillsTheTargetAndDefaultsTheResolution) {
  Fill(stream_, Fake(3, 2, 1));
  io_.LoadBmpStream(stream_);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "1 1 1;2 2 2;");
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
  EXPECT_EQ(io_.ImageParams().FileName, "");
  EXPECT_EQ(io_.ImageParams().DpiX(), 300);  // the file said 0
  EXPECT_EQ(io_.ImageParams().DpiY(), 300);
  EXPECT_EQ(finished_, 1);

  Fill(stream_, Fake(1, 1, 1, 72, 1));
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(io_.ImageParams().DpiX(), 72);
  EXPECT_EQ(io_.ImageParams().DpiY(), 300);  // below 2 counts as unknown
}

TEST_F(PictureIOTest, BadDataKeepsThePreviousPictureAndClearsMetadata) {
  LoadPrevious();
  io_.ImageParams().GifComments = {"old"};
  Fill(stream_, Bytes{'X', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  io_.LoadBmpStream(stream_);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "FAKE: no signature");
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
  EXPECT_TRUE(io_.ImageParams().GifComments.empty());

  // The next good load starts clean.
  Fill(stream_, Fake(1, 1, 4));
  io_.LoadBmpStream(stream_);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "");
}

TEST_F(PictureIOTest, HostileHeaderIsRefusedBeforeAnyAllocation) {
  LoadPrevious();
  Fill(stream_, Fake(255, 255, 0));  // claims 2^31 x 2^31
  io_.LoadBmpStream(stream_);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_NE(io_.AbortReason().find("exceeds 1000000 pixels per side"), std::string::npos) << io_.AbortReason();
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
}

TEST_F(PictureIOTest, ComponentLimitsApplyToItsLoadsOnly) {
  LoadPrevious();
  TImageLimits small;
  small.MaxPixels = 8;
  io_.SetImageLimits(small);
  Fill(stream_, Fake(3, 3, 1));
  io_.LoadBmpStream(stream_);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
  TPictureIO other;
  stream_.Seek(0, soBeginning);
  other.LoadBmpStream(stream_);
  EXPECT_FALSE(other.Aborted());
  io_.SetImageLimits(std::nullopt);
  stream_.Seek(0, soBeginning);
  io_.LoadBmpStream(stream_);
  EXPECT_FALSE(io_.Aborted());
}

TEST_F(PictureIOTest, TruncatedUncompressedDataDecodesTheRowsPresent) {
  Fill(stream_, Fake(8, 200, 1, 0, 0, 0, 2));  // claims 200 rows, holds 2
  io_.LoadBmpStream(stream_);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(io_.TargetBitmap()->Height(), 2);
  EXPECT_EQ(io_.ImageParams().Height, 200);
}

TEST_F(PictureIOTest, ATransparencyMaskBecomesTheAlphaChannel) {
  Fill(stream_, Fake(2, 2, 1, 0, 0, 1));
  io_.LoadBmpStream(stream_);
  ASSERT_TRUE(io_.TargetBitmap()->HasAlphaChannel());
  EXPECT_EQ(io_.TargetBitmap()->AlphaAt(1, 1), 128);
  LoadPrevious();  // the next load starts without it
  EXPECT_FALSE(io_.TargetBitmap()->HasAlphaChannel());
}

TEST_F(PictureIOTest, FileLoadsByNameAndByContent) {
  const Bytes bmp = Fake(2, 1, 5);
  io_.LoadFileByExtension(Write("a.BMP", bmp));
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "5 5;");
  EXPECT_EQ(io_.ImageParams().FileName, dir_ + "/a.BMP");

  // By name, a BMP called .jpg goes to the JPEG reader, here absent.
  SetReadFunction(ffJPEG, nullptr);
  LoadPrevious();
  const std::string misnamed = Write("b.jpg", Fake(2, 1, 6));
  io_.LoadFileByExtension(misnamed);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "JPEG Bitmap: no reader");
  EXPECT_EQ(io_.ImageParams().FileType, ffJPEG);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");

  // By content it is read as what it is.
  io_.LoadFileByContent(misnamed);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "6 6;");
  io_.LoadFromFile(Write("c.png", Fake(1, 1, 7)));
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "7;");
}

// A 2 x 1 24-bit BMP: a red and a blue pixel, one padded row.
Bytes TinyBmp() {
  Bytes b = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0};
  b.resize(54, 0);
  const Bytes row = {0, 0, 255, 255, 0, 0, 0, 0};  // blue, green, red per pixel
  b.insert(b.end(), row.begin(), row.end());
  return b;
}

TEST_F(PictureIOTest, TheRegistryReachesTheRealBmpReader) {
  ResetFileFormatRegistry();
  io_.LoadFileByContent(Write("tiny.dat", TinyBmp()));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  ASSERT_EQ(io_.TargetBitmap()->Width(), 2);
  EXPECT_EQ(io_.TargetBitmap()->PixelBGR(0, 0), MakeBGR(255, 0, 0));
  EXPECT_EQ(io_.TargetBitmap()->PixelBGR(1, 0), MakeBGR(0, 0, 255));
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
}

TEST_F(PictureIOTest, NamesThatLoadNothing) {
  LoadPrevious();
  const int finishedBefore = finished_;
  // Unknown or missing extension: nothing at all happens, the flag included.
  io_.SetAborted(true);
  for (const std::string& name : {Write("picture", Fake(1, 1, 1)), Write("picture.xyz", Fake(1, 1, 1))}) {
    io_.LoadFileByExtension(name);
    EXPECT_TRUE(io_.Aborted());
    EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
    EXPECT_EQ(finished_, finishedBefore);
  }
  io_.SetAborted(false);
  io_.LoadFileByExtension("");
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(finished_, finishedBefore + 1);

  io_.SetAborted(false);
  io_.LoadFileByExtension(Write("page.eps", Fake(1, 1, 1)));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.ImageParams().FileType, 0);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
}

TEST_F(PictureIOTest, GeneralEntriesReportWhatNothingRecognises) {
  LoadPrevious();
  const Bytes unknown(40, 'z');
  io_.LoadFromFile(Write("notes.txt", unknown));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "unrecognised format");
  Fill(stream_, unknown);
  io_.SetAborted(false);
  io_.LoadFromStream(stream_);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "unrecognised format");
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");

  // Content wins over the name; an unknown content falls back to the name.
  io_.LoadFromFile(Write("picture.gif", Fake(1, 1, 4)));
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "4;");
  SetReadFunction(ffTGA, nullptr);
  io_.LoadFromFile(Write("picture.tga", unknown));
  EXPECT_EQ(io_.AbortReason(), "Targa Bitmap: no reader");
  EXPECT_THROW(io_.LoadFromFile(dir_ + "/missing"), EFOpenError);

  Fill(stream_, Fake(1, 1, 6));
  io_.LoadFromStream(stream_);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "6;");
}

TEST_F(PictureIOTest, AFileThatCannotBeOpenedRaises) {
  LoadPrevious();
  const int finishedBefore = finished_;
  EXPECT_THROW(io_.LoadFileByExtension(dir_ + "/missing.bmp"), EFOpenError);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(finished_, finishedBefore + 1);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
}

struct HeaderCase {
  const char* name;
  int32_t code;
  bool streamHeaders;
  Bytes header;       // in front of the picture
  bool readerCalled;  // and the load succeeds
  int64_t readerStart;
};

class StreamHeaderTest : public PictureIOTest, public testing::WithParamInterface<HeaderCase> {};

Bytes Header(const char* signature, int32_t length) {
  TMemoryStream s;
  TPictureIO::WriteStreamHeader(s, signature, length);
  return Bytes(s.Memory(), s.Memory() + s.Size());
}

TEST_P(StreamHeaderTest, DataFollowsTheHeaderAndThePositionEndsAfterIt) {
  const HeaderCase& c = GetParam();
  for (int32_t code : {ffJPEG, ffTIFF, ffPCX}) SetReadFunction(code, FakeRead);
  const Bytes picture = Fake(2, 1, 3);
  Bytes data = c.header;
  data.insert(data.end(), picture.begin(), picture.end());
  data.insert(data.end(), {0xEE, 0xEE});  // whatever follows the framed data
  Fill(stream_, data);
  io_.SetStreamHeaders(c.streamHeaders);
  io_.LoadStreamAsFormat(stream_, c.code);
  EXPECT_EQ(readerLog.calls, c.readerCalled ? 1 : 0);
  EXPECT_EQ(io_.Aborted(), !c.readerCalled);
  if (!c.readerCalled) return;
  EXPECT_EQ(readerLog.startedAt, c.readerStart);
  if (c.header.size() == 12) {
    EXPECT_EQ(stream_.Position(), int64_t(12 + picture.size()));
  }
}

const int32_t kFakeSize = 16;
INSTANTIATE_TEST_SUITE_P(
    Framing, StreamHeaderTest,
    testing::Values(HeaderCase{"jpeg_with_header", ffJPEG, false, Header("JFIF", kFakeSize), true, 12},
                    HeaderCase{"jpeg_without_header", ffJPEG, false, {}, true, 0},
                    HeaderCase{"tiff_with_header", ffTIFF, true, Header("TIFF", kFakeSize), true, 12},
                    HeaderCase{"tiff_header_not_wanted", ffTIFF, false, {}, true, 0},
                    HeaderCase{"tiff_wrong_signature", ffTIFF, true, Header("PCX2", kFakeSize), false, 0},
                    HeaderCase{"pcx2", ffPCX, true, Header("PCX2", kFakeSize), true, 12},
                    HeaderCase{"pcx_old_4_byte_form", ffPCX, true, {'P', 'C', 'X', 0}, true, 4},
                    HeaderCase{"pcx_wrong_signature", ffPCX, true, Header("JFIF", kFakeSize), false, 0}),
    [](const testing::TestParamInfo<HeaderCase>& i) { return std::string(i.param.name); });

TEST(StreamHeaderWriteTest, SignaturePaddedThenLittleEndianLength) {
  EXPECT_EQ(Header("PCX2", 0x01020304), (Bytes{'P', 'C', 'X', '2', 0, 0, 0, 0, 4, 3, 2, 1}));
}

TEST_F(PictureIOTest, ParameterReadsLeaveTheTargetAlone) {
  LoadPrevious();
  Fill(stream_, Fake(5, 4, 1, 96, 96));
  io_.ReadStreamParams(stream_);
  EXPECT_EQ(io_.ImageParams().Width, 5);
  EXPECT_EQ(io_.ImageParams().Height, 4);
  EXPECT_EQ(io_.ImageParams().DpiX(), 96);
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");

  Fill(stream_, Fake(5, 4, 1, 0, 0, 2));  // the reader throws
  io_.ReadStreamParams(stream_);
  EXPECT_EQ(io_.ImageParams().FileType, 0);
  io_.ReadFileParams(dir_ + "/missing.bmp");
  EXPECT_EQ(io_.ImageParams().FileType, 0);
  io_.ReadFileParams(Write("p.bmp", Fake(3, 3, 0)));
  EXPECT_EQ(io_.ImageParams().FileType, ffBMP);
  EXPECT_EQ(io_.ImageParams().FileName, dir_ + "/p.bmp");
}

TEST_F(PictureIOTest, BufferLoadsByContentOrByCode) {
  SetReadFunction(ffGIF, nullptr);
  const Bytes b = Fake(1, 2, 3);
  io_.LoadBuffer(b.data(), int64_t(b.size()), 0);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "3;4;");
  io_.LoadBuffer(b.data(), int64_t(b.size()), ffGIF);
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.AbortReason(), "CompuServe Bitmap: no reader");
}

void ThrowingRead(TReadContext&) {
  throw std::runtime_error("plug-in failed");
}

TEST_F(PictureIOTest, RunTimeFormatExceptionsAreSwallowedOnlyInFileLoads) {
  TFileFormatInfo info;
  info.FileType = 40;
  info.Description = "Plug-in";
  info.Extensions = "PLG";
  info.ReadFunction = ThrowingRead;
  RegisterFileFormat(info);
  LoadPrevious();
  io_.LoadFileByExtension(Write("x.plg", Fake(1, 1, 1)));
  EXPECT_TRUE(io_.Aborted());
  EXPECT_EQ(io_.ImageParams().FileType, 40);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "9 9;10 10;");
  Fill(stream_, Fake(1, 1, 1));
  EXPECT_THROW(io_.LoadStreamAsFormat(stream_, 40), std::runtime_error);
}

TEST_F(PictureIOTest, AutoAdjustDpiStretchesTheShortSide) {
  io_.SetAutoAdjustDPI(true);
  Fill(stream_, Fake(4, 2, 1, 100, 50));  // wider than high: the height grows by 100/50
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "1 1 1 1;1 1 1 1;2 2 2 2;2 2 2 2;");
  EXPECT_EQ(io_.ImageParams().Height, 4);
  EXPECT_EQ(io_.ImageParams().DpiY(), 100);

  // Higher than wide: the width grows; filtered, the picture becomes 24-bit
  // and its alpha channel follows the new size.
  io_.SetFilteredAdjustDPI(true);
  Fill(stream_, Fake(2, 3, 1, 50, 100, 1));
  io_.LoadBmpStream(stream_);
  TPxBitmap& b = *io_.TargetBitmap();
  EXPECT_EQ(b.Width(), 4);
  EXPECT_EQ(b.Height(), 3);
  EXPECT_EQ(b.Format(), pxRGB24);
  EXPECT_EQ(io_.ImageParams().DpiX(), 100);
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaChannel()->Width(), 4);
  EXPECT_EQ(b.AlphaAt(3, 2), 128);
}

TEST_F(PictureIOTest, AttachedViewIsTheTargetAndHearsOfEveryLoad) {
  TFakeView view;
  io_.SetAttachedPictureView(&view);
  EXPECT_EQ(io_.TargetBitmap(), &view.picture);
  EXPECT_EQ(view.ChangeListenerCount(), 1);
  io_.ImageParams().SetDefaults();
  EXPECT_EQ(view.ImageDpiX(), 300);
  EXPECT_EQ(view.ImageDpiY(), 300);

  view.SetImageDpi(1, 1);
  Fill(stream_, Fake(2, 1, 8));
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(Pixels(view.picture), "8 8;");
  EXPECT_EQ(view.updates, 1);
  EXPECT_EQ(view.imageChanges, 1);
  EXPECT_EQ(view.ImageDpiX(), 300);  // no resolution in the file
  EXPECT_EQ(view.ImageDpiY(), 300);

  // A failed load still refreshes the view, which keeps its picture.
  Fill(stream_, Bytes(16, 'X'));
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(view.updates, 2);
  EXPECT_EQ(Pixels(view.picture), "8 8;");

  // Background goes to the viewer only when asked to.
  io_.SetBackground(0x123456);
  EXPECT_EQ(view.Background(), clBtnFace);
  io_.SetChangeBackground(true);
  io_.SetBackground(0x123456);
  EXPECT_EQ(io_.Background(), 0x123456u);

  io_.SetAttachedPictureView(nullptr);
  EXPECT_EQ(view.ChangeListenerCount(), 0);
  EXPECT_NE(io_.TargetBitmap(), &view.picture);
}

TEST_F(PictureIOTest, AViewThatGoesAwayLeavesAnOwnEmptyTarget) {
  {
    TFakeView view;
    io_.SetAttachedPictureView(&view);
  }
  EXPECT_EQ(io_.AttachedPictureView(), nullptr);
  ASSERT_NE(io_.TargetBitmap(), nullptr);
  Fill(stream_, Fake(1, 1, 2));
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "2;");
}

TEST_F(PictureIOTest, ANullBitmapLeavesTheViewAttachedUntilItGoes) {
  auto view = std::make_unique<TFakeView>();
  io_.SetAttachedPictureView(view.get());
  io_.AttachBitmap(nullptr);
  EXPECT_EQ(io_.AttachedPictureView(), view.get());
  Fill(stream_, Fake(2, 1, 8));
  io_.LoadBmpStream(stream_);
  EXPECT_EQ(Pixels(view->picture), "8 8;");
  EXPECT_EQ(view->imageChanges, 1);

  // Its destruction notice still arrives: the next load neither reaches
  // the freed view nor its picture.
  view.reset();
  EXPECT_EQ(io_.AttachedPictureView(), nullptr);
  Fill(stream_, Fake(1, 1, 3, 72, 72));
  io_.LoadBmpStream(stream_);
  EXPECT_FALSE(io_.Aborted());
  EXPECT_EQ(Pixels(*io_.TargetBitmap()), "3;");
}

TEST_F(PictureIOTest, AnAttachedBitmapReplacesTheViewEmptyOrNot) {
  for (const bool empty : {true, false}) {
    SCOPED_TRACE(empty ? "empty bitmap" : "bitmap with a picture");
    TPictureIO io;
    TPxBitmap external;
    if (!empty) external.AllocatePixels(1, 1, pxGray8);
    auto view = std::make_unique<TFakeView>();
    io.SetAttachedPictureView(view.get());
    io.AttachBitmap(&external);
    EXPECT_EQ(io.AttachedPictureView(), nullptr);
    Fill(stream_, Fake(2, 1, 8));
    io.LoadBmpStream(stream_);
    EXPECT_EQ(Pixels(external), "8 8;");
    EXPECT_EQ(view->updates, 0);
    EXPECT_EQ(Pixels(view->picture), "");

    view.reset();
    Fill(stream_, Fake(1, 1, 3, 72, 72));
    io.LoadBmpStream(stream_);
    EXPECT_EQ(io.TargetBitmap(), &external);
    EXPECT_EQ(Pixels(external), "3;");
  }
}

// A GIF of `frames` 1 x 1 images, each pixel colour 0 of a black and white table.
Bytes TinyGif(int frames) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
  for (int i = 0; i < frames; ++i) {
    const Bytes frame = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0};
    b.insert(b.end(), frame.begin(), frame.end());
  }
  b.push_back(0x3B);
  return b;
}

TEST_F(PictureIOTest, GifLoadsCountImagesOnlyWhenTheyLoad) {
  const Bytes good = TinyGif(3);
  Bytes broken = TinyGif(1);
  broken.resize(19);  // cut after the colour table
  const std::string goodFile = Write("three.gif", good), brokenFile = Write("broken.gif", broken);
  struct Case {
    const char* name;
    std::function<int32_t(const Bytes&, const std::string&)> load;
  } cases[] = {
      {"file", [&](const Bytes&, const std::string& file) { return io_.LoadGifFile(file); }},
      {"stream",
       [&](const Bytes& data, const std::string&) {
         Fill(stream_, data);
         return io_.LoadGifStream(stream_);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.load(good, goodFile), 3);
    EXPECT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(c.load(broken, brokenFile), 0);
    EXPECT_TRUE(io_.Aborted());
  }
}

TEST_F(PictureIOTest, ProgressReachesOnProgressAndFinishesAtHundred) {
  std::vector<int> seen;
  io_.OnProgress = [&](TPictureIO&, int percent) { seen.push_back(percent); };
  Fill(stream_, Fake(1, 1, 1));
  io_.LoadBmpStream(stream_);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 100);
}

// ------------------------------------------------------------ the viewer's contract

// The picture held as the viewer holds it: a TPxBitmap kept in a platform
// bitmap, which the view hands out as DisplayBitmap and listens to. A load
// must either fill that very bitmap, telling its listeners, or leave it alone.
class TPlatformView : public TPxView {
 public:
  TPlatformView() {
    picture_.SetLocation(pxTBitmap);
    picture_.AsTBitmap()->RegisterChangeListener([this](TBitmap&) { notified = true; });
  }
  bool notified = false;
  TBitmap* DisplayBitmap() override { return picture_.Bitmap(); }
  TPxBitmap* ImageBitmap() override { return &picture_; }
  TPxBitmap* ImageAlphaChannel() override { return picture_.AlphaChannel(); }
  bool ImageHasAlphaChannel() override { return picture_.HasAlphaChannel(); }
  void FlattenAlphaChannel(bool) override {}
  void BeginRedrawLock() override {}
  void EndRedrawLock() override {}
  void EndRedrawLockQuiet() override {}

 private:
  TPxBitmap picture_;
};

// The platform bitmap's pixels as text, read through its own colour table.
std::string PlatformPixels(const TBitmap& b) {
  std::string s = std::to_string(b.Width()) + "x" + std::to_string(b.Height()) + ":";
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      uint8_t c[3];
      b.PixelBGR(x, y, c);
      s += std::to_string(c[2]) + "," + std::to_string(c[1]) + "," + std::to_string(c[0]) + " ";
    }
  return s;
}

// The same text for a picture loaded without a view.
std::string PicturePixels(TPxBitmap& b) {
  std::string s = std::to_string(b.Width()) + "x" + std::to_string(b.Height()) + ":";
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const TColorBGR c = b.ColorAt(x, y);
      s += std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + " ";
    }
  return s;
}

std::string CorpusFile(const std::string& name) {
  return std::string(REVIMORA_SOURCE_DIR) + "/../shared/corpus/" + name;
}

#define REQUIRE_CORPUS() \
  if (!std::filesystem::is_directory(CorpusFile(""))) GTEST_SKIP() << "../shared/corpus is absent"

// "" when the two texts agree, else where they part (pictures are long).
std::string FirstDifference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  const size_t from = i < 40 ? 0 : i - 40;
  return "at " + std::to_string(i) + ": ..." + a.substr(from, 80) + " / ..." + b.substr(from, 80);
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TFormatCase {
  const char* name;
  const char* file;                                           // in the corpus
  std::function<void(TPictureIO&, const std::string&)> load;  // the per-format file load
};

void PrintTo(const TFormatCase& c, std::ostream* os) {
  *os << c.name << " (" << c.file << ")";
}

class PictureIOContractTest : public PictureIOTest {
 protected:
  void SetUp() override {
    PictureIOTest::SetUp();
    ResetFileFormatRegistry();  // the real readers
  }

  // Loads the file into a view that already shows another picture and checks
  // that the very platform bitmap now holds what a load without a view gives.
  void ExpectLoadedIntoTheDisplayBitmap(const TFormatCase& c) {
    TPlatformView view;
    io_.SetAttachedPictureView(&view);
    io_.LoadBmpFile(Write("previous.bmp", TinyBmp()));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    TBitmap* const display = view.DisplayBitmap();
    view.notified = false;
    c.load(io_, CorpusFile(c.file));
    ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
    EXPECT_EQ(view.DisplayBitmap(), display);
    EXPECT_TRUE(view.notified);
    ASSERT_NE(view.DisplayBitmap(), nullptr);

    TPictureIO plain;
    c.load(plain, CorpusFile(c.file));
    ASSERT_FALSE(plain.Aborted());
    EXPECT_EQ(FirstDifference(PlatformPixels(*view.DisplayBitmap()), PicturePixels(*plain.TargetBitmap())), "");
  }
};

class PictureIOContractFormatTest : public PictureIOContractTest, public testing::WithParamInterface<TFormatCase> {};

TEST_P(PictureIOContractFormatTest, ContractEveryFormatLoadsIntoTheSameDisplayBitmap) {
  REQUIRE_CORPUS();
  ExpectLoadedIntoTheDisplayBitmap(GetParam());
}

// Old-style JPEG inside TIFF once went through a picture decoded aside whose
// storage was moved into the target, swapping the platform bitmap.
TEST_F(PictureIOContractTest, ContractOldJpegTiffLoadsIntoTheSameDisplayBitmap) {
  REQUIRE_CORPUS();
  ExpectLoadedIntoTheDisplayBitmap({"tiff_old_jpeg", "tiff/libtiffpic/smallliz.tif", &TPictureIO::LoadTiffFile});
}

// What the viewer's fallback from the name to the content relies on: the
// reader the name picks refuses the file without touching the picture, the
// reader of its content then fills the same platform bitmap.
TEST_F(PictureIOContractTest, ContractAJpegNamedBmpLoadsOnlyAsJpeg) {
  REQUIRE_CORPUS();
  TPlatformView view;
  io_.SetAttachedPictureView(&view);
  io_.LoadBmpFile(Write("previous.bmp", TinyBmp()));
  ASSERT_FALSE(io_.Aborted()) << io_.AbortReason();
  TBitmap* const display = view.DisplayBitmap();
  const std::string previous = PlatformPixels(*display);
  ASSERT_EQ(previous, "2x1:255,0,0 0,0,255 ");
  const std::string jpeg = CorpusFile("jpeg/pillow/hopper_orientation_6.jpg");
  const std::string misnamed = Write("x.bmp", ReadAll(jpeg));
  TPictureIO plain;
  plain.LoadJpegFile(jpeg);
  ASSERT_FALSE(plain.Aborted());

  struct Step {
    const char* name;
    std::function<void()> load;
    bool loads;
  } steps[] = {
      {"bmp", [&] { io_.LoadBmpFile(misnamed); }, false},
      {"by extension", [&] { io_.LoadFileByExtension(misnamed); }, false},
      {"jpeg", [&] { io_.LoadJpegFile(misnamed); }, true},
      {"bmp after the jpeg", [&] { io_.LoadBmpFile(misnamed); }, false},
      {"by content", [&] { io_.LoadFileByContent(misnamed); }, true},
  };
  std::string shown = previous;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    view.notified = false;
    step.load();
    EXPECT_EQ(io_.Aborted(), !step.loads) << io_.AbortReason();
    EXPECT_EQ(view.notified, step.loads);
    ASSERT_EQ(view.DisplayBitmap(), display);
    if (step.loads) shown = PicturePixels(*plain.TargetBitmap());
    EXPECT_EQ(FirstDifference(PlatformPixels(*display), shown), "");
  }
}

TEST_F(PictureIOContractTest, ContractANullBitmapKeepsLoadingIntoTheViewWhileItLives) {
  auto view = std::make_unique<TPlatformView>();
  io_.SetAttachedPictureView(view.get());
  io_.AttachBitmap(nullptr);
  TBitmap* const display = view->DisplayBitmap();
  const std::string tiny = Write("tiny.bmp", TinyBmp());
  io_.LoadBmpFile(tiny);
  EXPECT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_TRUE(view->notified);
  EXPECT_EQ(view->DisplayBitmap(), display);
  EXPECT_EQ(PlatformPixels(*display), "2x1:255,0,0 0,0,255 ");

  view.reset();
  io_.LoadBmpFile(tiny);
  EXPECT_FALSE(io_.Aborted()) << io_.AbortReason();
  EXPECT_EQ(io_.AttachedPictureView(), nullptr);
  EXPECT_EQ(PicturePixels(*io_.TargetBitmap()), "2x1:255,0,0 0,0,255 ");
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, PictureIOContractFormatTest,
    testing::Values(TFormatCase{"bmp_4bit", "bmp/image-rs/Info_4_Bit_Top_Down.bmp", &TPictureIO::LoadBmpFile},
                    TFormatCase{"gif", "gif/image-gif/beacon.gif", &TPictureIO::LoadGifFile},
                    TFormatCase{"tiff_lzw_palette", "tiff/zigimg/sample-pal8-lzw.tiff", &TPictureIO::LoadTiffFile},
                    TFormatCase{"tiff_jpeg", "tiff/pillow/hopper_jpg.tif", &TPictureIO::LoadTiffFile},
                    TFormatCase{"pcx", "pcx/kryptan-pcx/cga/CGA_BW.PCX", &TPictureIO::LoadPcxFile},
                    TFormatCase{"dcx", "dcx/pillow/hopper.dcx", &TPictureIO::LoadDcxFile},
                    TFormatCase{"tga", "tga/pillow/cross_scan_line.tga", &TPictureIO::LoadTgaFile},
                    TFormatCase{"ico", "ico/pillow/black_and_white.ico", &TPictureIO::LoadIcoFile},
                    TFormatCase{"cur", "cur/pillow/deerstalker.cur", &TPictureIO::LoadCurFile},
                    TFormatCase{"pbm", "pnm/pillow/hopper_1bit.pbm", &TPictureIO::LoadPnmFile},
                    TFormatCase{"pgm_16bit", "pnm/pillow/16_bit_binary.pgm", &TPictureIO::LoadPnmFile},
                    TFormatCase{"wbmp", "wbmp/image-extras/shane_face.wbmp", &TPictureIO::LoadWbmpFile},
                    TFormatCase{"jpeg", "jpeg/pillow/hopper_orientation_6.jpg", &TPictureIO::LoadJpegFile},
                    TFormatCase{"png_palette", "pngsuite/basn3p08.png", &TPictureIO::LoadPngFile},
                    TFormatCase{"png_16bit_alpha", "pngsuite/basn4a16.png", &TPictureIO::LoadPngFile},
                    TFormatCase{"jp2", "jp2/pillow/rgb_trns_ycbc.jp2", &TPictureIO::LoadJp2File},
                    TFormatCase{"j2k", "jp2/openjpeg-conformance/p0_11.j2k", &TPictureIO::LoadJ2kFile}),
    [](const testing::TestParamInfo<TFormatCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace rv
