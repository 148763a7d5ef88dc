#include "io/formats.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

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

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Reads up to count bytes at absolute offset pos; returns the bytes read.
int64_t ReadAt(TStream& s, int64_t pos, void* buffer, int64_t count) {
  if (pos < 0) return 0;
  s.Seek(pos, soBeginning);
  return s.Read(buffer, count);
}

bool ReadExactAt(TStream& s, int64_t pos, void* buffer, int64_t count) {
  return ReadAt(s, pos, buffer, count) == count;
}

// The bytes read, cut at the first zero byte, compared with text.
bool SignatureIs(TStream& s, int64_t start, int n, const char* text) {
  char buf[16] = {};
  const int64_t got = std::max<int64_t>(ReadAt(s, start, buf, n), 0);
  return std::string(buf, strnlen(buf, static_cast<size_t>(got))) == text;
}

bool TiffHeaderTest(TStream& s, int64_t start, int64_t size) {
  if (size <= 8) return false;
  uint8_t h[8];
  if (!ReadExactAt(s, start, h, 8)) return false;
  uint8_t at8 = 0;
  const bool haveAt8 = ReadExactAt(s, 8, &at8, 1);
  if (h[0] == 'I' && h[1] == 'I') return static_cast<int32_t>(Le32(h + 4)) < size;
  if (h[0] == 'M' && h[1] == 'M') return static_cast<int32_t>(Be32(h + 4)) < size && !(haveAt8 && at8 == 0xBA);
  return false;
}

// Whether the first directory marks the TIFF as a camera raw file.
bool CameraRawInTiff(TStream& s, int64_t start) {
  uint8_t h[8];
  if (!ReadExactAt(s, start, h, 8)) return false;
  const bool le = h[0] == 'I';
  auto u16 = [le](const uint8_t* p) { return le ? Le16(p) : Be16(p); };
  auto u32 = [le](const uint8_t* p) { return le ? Le32(p) : Be32(p); };
  const int64_t dir = start + u32(h + 4);
  uint8_t countBytes[2];
  if (!ReadExactAt(s, dir, countBytes, 2)) return false;
  const int count = u16(countBytes);
  bool has330 = false, has37398 = false;
  int64_t width = 0, height = 0;
  for (int i = 0; i < count; ++i) {
    uint8_t e[12];
    if (!ReadExactAt(s, dir + 2 + int64_t(i) * 12, e, 12)) break;
    const uint16_t tag = u16(e), type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    // A SHORT value sits in the first two bytes of the value field.
    const uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);
    if (tag == 50706 && type == 1 && n == 4) return true;
    if (tag == 262 && type == 3 && n == 1 && (value == 32803 || value == 34892)) return true;
    if (tag == 330) has330 = true;
    if (tag == 37398) has37398 = true;
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  return has330 && has37398 && width < 200 && height < 200;
}

bool IconDirectoryTest(TStream& s, int64_t start, int64_t size, uint16_t wantedType) {
  if (size < 23) return false;
  uint8_t h[6];
  if (!ReadExactAt(s, start, h, 6)) return false;
  if (Le16(h) != 0 || Le16(h + 2) != wantedType || Le16(h + 4) == 0) return false;
  const int count = Le16(h + 4);
  int64_t pos = start + 6;
  for (int i = 0; i < count; ++i) {
    uint8_t e[16];
    if (!ReadExactAt(s, pos, e, 16)) return false;
    pos += 16;
    if (e[3] != 0 || Le32(e + 8) == 0 || int64_t(Le32(e + 12)) < pos) return false;
  }
  return true;
}

bool TgaHeaderTest(TStream& s, int64_t start) {
  uint8_t h[18];
  if (!ReadExactAt(s, start, h, 18)) return false;
  const uint8_t type = h[2], mapType = h[1], depth = h[16];
  const bool typeOk = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
  const bool depthOk = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  return typeOk && mapType <= 1 && depthOk && Le16(h + 12) != 0 && Le16(h + 14) != 0;
}

// Token reader of the PNM header test. It reads through a small buffer and
// looks at no more than kMaxScan bytes, so a huge comment or digit run cannot
// make detection read a whole file.
class TPnmTokens {
 public:
  TPnmTokens(TStream& s, int64_t start) : s_(s) { s_.Seek(start, soBeginning); }

  // The next token, "#comment" for comments; "" at the end of the data.
  std::string Next() {
    int c;
    while ((c = Get()) >= 0 && !std::isalnum(c) && c != '#') {
    }
    if (c < 0) return {};
    std::string t(1, static_cast<char>(c));
    if (c == '#') {
      while ((c = Get()) >= 0 && c != '\r' && c != '\n')
        if (t.size() < kMaxToken) t.push_back(static_cast<char>(c));
      return Trimmed(t);
    }
    while ((c = Peek()) >= 0 && std::isalnum(c)) {
      Get();
      if (t.size() < kMaxToken) t.push_back(static_cast<char>(c));
    }
    return t;
  }

 private:
  static constexpr size_t kMaxToken = 64;
  static constexpr int64_t kMaxScan = 65536;

  static std::string Trimmed(const std::string& t) {
    size_t b = 1, e = t.size();
    while (b < e && std::isspace(static_cast<unsigned char>(t[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1]))) --e;
    std::string r(1, '#');
    r.append(t, b, e - b);
    return r;
  }
  int Peek() {
    if (next_ == filled_) {
      if (scanned_ >= kMaxScan) return -1;
      filled_ = s_.Read(buf_, sizeof buf_);
      next_ = 0;
      scanned_ += std::max<int64_t>(filled_, 0);
      if (filled_ <= 0) {
        filled_ = 0;
        return -1;
      }
    }
    return buf_[next_];
  }
  int Get() {
    const int c = Peek();
    if (c >= 0) ++next_;
    return c;
  }

  TStream& s_;
  uint8_t buf_[512];
  int64_t next_ = 0, filled_ = 0, scanned_ = 0;
};

// Decimal value of a token, -1 when it is not a (representable) number.
int64_t PnmNumber(const std::string& t) {
  if (t.empty() || t.size() > 18) return -1;
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

bool PnmHeaderTest(TStream& s, int64_t start) {
  TPnmTokens tokens(s, start);
  int used = 0;
  // Skips comments; "" when the data or the token budget ends.
  auto next = [&]() -> std::string {
    while (used < 501) {
      ++used;
      std::string t = tokens.Next();
      if (t.empty()) return {};
      if (t[0] != '#') return t;
    }
    return {};
  };
  const std::string magic = next();
  if (magic.size() != 2 || magic[0] != 'P' || magic[1] < '1' || magic[1] > '6') return false;
  const int64_t width = PnmNumber(next());
  const int64_t height = PnmNumber(next());
  return width > 0 && height > 0;
}

bool JpegMarkerScan(TStream& s, int64_t start) {
  uint8_t buf[102];
  const int64_t got = ReadAt(s, start, buf, sizeof buf);
  for (int64_t i = 0; i < 100 && i + 2 < got; ++i)
    if (buf[i] == 0xFF && buf[i + 1] == 0xD8 && buf[i + 2] == 0xFF) return true;
  return false;
}

bool DcxTest(TStream& s, int64_t start, int64_t size) {
  uint8_t w[4];
  if (!ReadExactAt(s, start, w, 4) || Le32(w) != 987654321u) return false;
  uint8_t table[1024 * 4];
  const int64_t got = s.Read(table, sizeof table);
  for (int64_t i = 0; i + 4 <= got; i += 4) {
    const uint32_t offset = Le32(table + i);
    if (offset == 0) break;
    if (int64_t(offset) >= size) return false;
  }
  return true;
}

bool WmfTest(TStream& s, int64_t start) {
  uint8_t h[20];
  if (!ReadExactAt(s, start, h, 20)) return false;
  const int64_t at = Le32(h) == 0x9AC6CDD7u ? start + 22 : start;
  uint8_t m[18];
  if (!ReadExactAt(s, at, m, 18)) return false;
  return Le16(m) == 1 && Le16(m + 2) == 9 && Le16(m + 16) == 0;
}

bool EmfTest(TStream& s, int64_t start) {
  uint8_t h[100];
  if (ReadAt(s, start, h, sizeof h) < 44) return false;
  return Le32(h) == 1 && Le32(h + 40) == 0x464D4520u;
}

// The tests in order; the first that succeeds decides.
int32_t DetectAt(TStream& s, int64_t start, int64_t size) {
  uint8_t b[12] = {};
  const int64_t got = ReadAt(s, start, b, 12);
  auto bytesAre = [&](int at, std::initializer_list<int> v) {
    if (at + static_cast<int64_t>(v.size()) > got) return false;
    int i = at;
    for (int x : v)
      if (b[i++] != x) return false;
    return true;
  };
  if (size > 12 && SignatureIs(s, start, 5, "JFIF")) return ffJPEG;
  if (size > 13 && bytesAre(0, {'G', 'I', 'F'})) return ffGIF;
  if (size > 12 && SignatureIs(s, start, 5, "PCX2")) return ffPCX;
  if (size > 4 && SignatureIs(s, start, 4, "PCX")) return ffPCX;
  if (size > 14 && bytesAre(0, {'B', 'M'})) return ffBMP;
  if (size > 128 && got >= 2 && b[0] == 0x0A && b[1] <= 5) return ffPCX;
  if (size > 12 && SignatureIs(s, start, 5, "TIFF")) return ffTIFF;
  if (TiffHeaderTest(s, start, size) && !CameraRawInTiff(s, start)) return ffTIFF;
  if (size > 8 && bytesAre(0, {0x89, 'P', 'N', 'G'})) return ffPNG;
  if (IconDirectoryTest(s, start, size, 1)) return ffICO;
  if (IconDirectoryTest(s, start, size, 2)) return ffCUR;
  if (TgaHeaderTest(s, start)) return ffTGA;
  if (PnmHeaderTest(s, start)) return ffPNM;
  if (JpegMarkerScan(s, start)) return ffJPEG;
  if (got >= 12 && Be32(b) == 12 && Be32(b + 4) == 0x6A502020u && Be32(b + 8) == 0x0D0A870Au) return ffJP2;
  if (bytesAre(0, {0xFF, 0x4F, 0xFF, 0x51})) return ffJ2K;
  if (bytesAre(0, {'R', 'I', 'F', 'F'}) && bytesAre(8, {'A', 'V', 'I', ' '})) return ffAVI;
  if (DcxTest(s, start, size)) return ffDCX;
  if (WmfTest(s, start)) return ffWMF;
  if (EmfTest(s, start)) return ffEMF;
  // Copied: a run-time TryFunction may change the registry under us.
  const std::vector<TFileFormatInfo> formats = Registry();
  for (const TFileFormatInfo& f : formats) {
    if (!f.TryFunction) continue;
    s.Seek(start, soBeginning);
    if (f.TryFunction(s, f.FileType)) return f.FileType;
  }
  s.Seek(start, soBeginning);
  if (IsCameraRawStream(s)) return ffRAW;
  return ffNone;
}

}  // namespace

std::vector<TFileFormatInfo> BuiltInFormats() {
  // Lookup order. Readers not written yet have no read function.
  struct Row {
    int32_t code;
    const char* description;
    const char* extensions;
    bool writable;
    uint16_t page;
    TReadFunction reader;
  };
  static const Row rows[] = {
      {ffTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, 8, ReadTiffFormat},
      {ffGIF, "CompuServe Bitmap", "GIF", true, 16, ReadGifFormat},
      {ffJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, 4, ReadJpegFormat},
      {ffPCX, "PaintBrush", "PCX", true, 64, ReadPcxFormat},
      {ffBMP, "Windows Bitmap", "BMP;DIB;RLE", true, 32, ReadBmpFormat},
      {ffICO, "Windows Icon", "ICO", true, 0, ReadIcoFormat},
      {ffCUR, "Windows Cursor", "CUR", false, 0, ReadCurFormat},
      {ffPNG, "Portable Network Graphics", "PNG", true, 128, ReadPngFormat},
      {ffWMF, "Windows Metafile", "WMF", false, 0, nullptr},
      {ffEMF, "Enhanced Windows Metafile", "EMF", false, 0, nullptr},
      {ffTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, 256, ReadTgaFormat},
      {ffPNM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, 0, ReadPnmFormat},
      {ffWBMP, "Wireless Bitmap", "WBMP", true, 0, ReadWbmpFormat},
      {ffJP2, "JPEG2000", "JP2", true, 512, ReadJp2Format},
      {ffJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, 512, ReadJ2kFormat},
      {ffPostScript, "PostScript Level 2", "PS;EPS", true, 0, nullptr},
      {ffPDF, "Adobe PDF", "PDF", true, 0, nullptr},
      {ffDCX, "Multipage PCX", "DCX", true, 0, ReadDcxFormat},
      {ffRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR", false, 0, nullptr},
  };
  std::vector<TFileFormatInfo> table;
  for (const Row& r : rows) {
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
    result = DetectAt(stream, start, stream.Size());
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
