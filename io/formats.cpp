#include "io/formats.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "io/readcontext.h"
#include "io/readers/bmpreader.h"
#include "io/readers/gifreader.h"
#include "io/readers/icoreader.h"
#include "io/readers/jp2reader.h"
#include "io/readers/jpegreader.h"
#include "io/readers/pcxreader.h"
#include "io/readers/pngreader.h"
#include "io/readers/pnmreader.h"
#include "io/readers/tgareader.h"
#include "io/readers/tiffreader.h"
#include "io/readers/wbmpreader.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

std::vector<TFileFormatInfo>& Registry() {
  static std::vector<TFileFormatInfo> registry = BuiltInFormats();
  return registry;
}

std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

std::vector<std::string> SplitExtensions(const std::string& list) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(';', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) parts.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// Content tests of the formats without a reader.

bool IsAvi(TStream& stream) {
  uint8_t h[12];
  return stream.Read(h, 12) == 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "AVI ", 4) == 0;
}

// A metafile header (type 1, header size 9 words, no parameters), after the
// 22-byte placeable header when there is one.
bool IsWmf(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t h[20];
  if (stream.Read(h, 20) != 20) return false;
  stream.Seek(Le32(h) == 0x9AC6CDD7u ? start + 22 : start, soBeginning);
  uint8_t m[18];
  return stream.Read(m, 18) == 18 && Le16(m) == 1 && Le16(m + 2) == 9 && Le16(m + 16) == 0;
}

// The header record (type 1) with the " EMF" signature at offset 40.
bool IsEmf(TStream& stream) {
  uint8_t h[44];
  return stream.Read(h, 44) == 44 && Le32(h) == 1 && Le32(h + 40) == 0x464D4520u;
}

// Whether the data at the stream's position holds a format. A test may read
// and seek anywhere; detection puts the position back. Stream errors pass
// through (they end detection).
using TContentTest = bool (*)(TStream& stream);

// Every built-in format, in detection order: recognition by content walks the
// table and the first test that accepts names the format. The order matters
// where tests overlap: the JPEG test accepts a start marker anywhere in the
// first 100 bytes, so a GIF, BMP or TGA header holding FF D8 FF there stays
// what it is, while a JPEG 2000 or DCX file holding it is taken for JPEG.
struct TFormatRow {
  int32_t code;
  TContentTest isFormat;    // null: content never names the format
  const char* description;  // null: named by content only, no registry record
  const char* extensions;
  bool writable;
  uint16_t page;
  TReadFunction reader;  // null: no reader yet
};

constexpr TFormatRow kFormats[] = {
    {ffGIF, IsGif, "CompuServe Bitmap", "GIF", true, 16, [](TReadContext& ctx) { LoadGifComposed(ctx); }},
    {ffPCX, IsPcx, "PaintBrush", "PCX", true, 64, WithDefaultOptions<ReadPcx>},
    {ffBMP, IsBmp, "Windows Bitmap", "BMP;DIB;RLE", true, 32, WithDefaultOptions<ReadBmp>},
    {ffTIFF, IsTiff, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, 8, WithDefaultOptions<ReadTiff>},
    {ffPNG, IsPng, "Portable Network Graphics", "PNG", true, 128, ReadPng},
    {ffICO, IsIco, "Windows Icon", "ICO", true, 0, WithDefaultOptions<ReadIco>},
    {ffCUR, IsCur, "Windows Cursor", "CUR", false, 0, WithDefaultOptions<ReadCur>},
    {ffTGA, IsTga, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, 256, WithDefaultOptions<ReadTga>},
    {ffPNM, IsPnm, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, 0, ReadPnm},
    {ffJPEG, IsJpeg, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, 4, WithDefaultOptions<ReadJpeg>},
    {ffJP2, IsJp2, "JPEG2000", "JP2", true, 512, WithDefaultOptions<ReadJpeg2000>},
    {ffJ2K, IsJ2k, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, 512,
     [](TReadContext& ctx) { ReadJpeg2000(ctx, {.FileType = ffJ2K}); }},
    {ffAVI, IsAvi, nullptr, nullptr, false, 0, nullptr},
    {ffDCX, IsDcx, "Multipage PCX", "DCX", true, 0, ReadDcx},
    {ffWMF, IsWmf, "Windows Metafile", "WMF", false, 0, nullptr},
    {ffEMF, IsEmf, "Enhanced Windows Metafile", "EMF", false, 0, nullptr},
    {ffWBMP, nullptr, "Wireless Bitmap", "WBMP", true, 0, ReadWbmp},
    {ffPostScript, nullptr, "PostScript Level 2", "PS;EPS", true, 0, nullptr},
    {ffPDF, nullptr, "Adobe PDF", "PDF", true, 0, nullptr},
    {ffRAW, IsCameraRawStream, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR", false, 0, nullptr},
};

// The registry's order, which lookups by name and by code follow.
constexpr int32_t kLookupOrder[] = {
    ffTIFF, ffGIF, ffJPEG, ffPCX, ffBMP, ffICO,        ffCUR, ffPNG, ffWMF, ffEMF,  //
    ffTGA,  ffPNM, ffWBMP, ffJP2, ffJ2K, ffPostScript, ffPDF, ffDCX, ffRAW,
};

constexpr const TFormatRow* FindRow(int32_t code) {
  for (const TFormatRow& f : kFormats)
    if (f.code == code) return &f;
  return nullptr;
}

constexpr bool EveryLookupCodeHasARecord() {
  for (int32_t code : kLookupOrder)
    if (!FindRow(code) || !FindRow(code)->description) return false;
  return true;
}
static_assert(EveryLookupCodeHasARecord(), "every format in the lookup order needs a row with a description");

// The built-in tests in table order, then the run-time formats' tests in
// registry order.
int32_t DetectAt(TStream& s, int64_t start) {
  for (const TFormatRow& f : kFormats) {
    if (!f.isFormat) continue;
    s.Seek(start, soBeginning);
    if (f.isFormat(s)) return f.code;
  }
  // Copied: a run-time TryFunction may change the registry under us.
  const std::vector<TFileFormatInfo> formats = Registry();
  for (const TFileFormatInfo& f : formats) {
    if (!f.TryFunction) continue;
    s.Seek(start, soBeginning);
    if (f.TryFunction(s, f.FileType)) return f.FileType;
  }
  return ffNone;
}

}  // namespace

std::vector<TFileFormatInfo> BuiltInFormats() {
  std::vector<TFileFormatInfo> table;
  for (int32_t code : kLookupOrder) {
    const TFormatRow& r = *FindRow(code);
    TFileFormatInfo info;
    info.FileType = r.code;
    info.Description = r.description;
    info.Extensions = r.extensions;
    info.InternalFormat = true;
    info.DialogPage = r.page;
    info.Writable = r.writable;
    info.ReadFunction = r.reader;
    table.push_back(info);
  }
  return table;
}

const TFileFormatInfo* FindFormatByType(int32_t code) {
  for (const TFileFormatInfo& f : Registry())
    if (f.FileType == code) return &f;
  return nullptr;
}

const TFileFormatInfo* FindFormatByExtension(std::string_view extension) {
  if (!extension.empty() && extension[0] == '.') extension.remove_prefix(1);
  if (extension.empty()) return nullptr;
  const std::string wanted = Upper(extension);
  for (const TFileFormatInfo& f : Registry())
    for (const std::string& e : SplitExtensions(Upper(f.Extensions)))
      if (e == wanted) return &f;
  return nullptr;
}

int32_t FormatCodeOfExtension(std::string_view extension) {
  const TFileFormatInfo* f = FindFormatByExtension(extension);
  return f ? f->FileType : ffNone;
}

int FormatExtensionCount(int32_t code) {
  const TFileFormatInfo* f = FindFormatByType(code);
  return f ? static_cast<int>(SplitExtensions(f->Extensions).size()) : 0;
}

std::string FormatExtensionAt(int32_t code, int index) {
  const TFileFormatInfo* f = FindFormatByType(code);
  if (!f || index < 0) return {};
  const std::vector<std::string> parts = SplitExtensions(f->Extensions);
  return index < static_cast<int>(parts.size()) ? parts[static_cast<size_t>(index)] : std::string();
}

void RegisterFileFormat(const TFileFormatInfo& info) {
  Registry().push_back(info);
}

void UnregisterFileFormat(int32_t code) {
  auto& r = Registry();
  auto it = std::find_if(r.begin(), r.end(), [code](const TFileFormatInfo& f) { return f.FileType == code; });
  if (it != r.end()) r.erase(it);
}

TReadFunction SetReadFunction(int32_t code, TReadFunction reader) {
  for (TFileFormatInfo& f : Registry())
    if (f.FileType == code) return std::exchange(f.ReadFunction, reader);
  return nullptr;
}

void ResetFileFormatRegistry() {
  Registry() = BuiltInFormats();
}

int32_t DetectStreamFormat(TStream& stream) {
  int64_t start = 0;
  try {
    start = stream.Position();
  } catch (...) {
    return ffNone;
  }
  // A test that throws ends detection; no test had succeeded before it.
  int32_t result = ffNone;
  try {
    result = DetectAt(stream, start);
  } catch (...) {
  }
  try {
    stream.Seek(start, soBeginning);
  } catch (...) {
  }
  return result;
}

int32_t DetectFileFormat(const std::string& fileName, bool checkExtension) {
  if (fileName.empty()) return ffNone;
  int32_t code = ffNone;
  try {
    TFileStream file(fileName, fmOpenRead);
    code = DetectStreamFormat(file);
  } catch (...) {
    return ffNone;
  }
  const TFileFormatInfo* byName = FindFormatByExtension(ExtractFileExtLower(fileName));
  if (byName && byName->FileType == ffRAW && code == ffTIFF) code = ffRAW;
  if (!checkExtension || code == ffNone) return code;
  if (!byName) return ffNone;
  // Icons and cursors share their structure: the name decides between them.
  if (code == ffICO || code == ffCUR) return byName->FileType;
  return code == byName->FileType ? code : ffNone;
}

bool IsCameraRawStream(TStream&) {
  return false;
}

std::string ExtractFileExtLower(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace rv
