#include "io/readers/tiffreader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxcolor.h"
#include "imaging/pxmask.h"
#include "imaging/pxmetadata.h"
#include "imaging/pxrotate.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "io/readers/jpegreader.h"
#include "io/readers/tiffccitt.h"
#include "io/readers/tifflzw.h"
#include "platform/stream.h"

namespace rv {

namespace {

// Tags.
enum : uint16_t {
  kTagWidth = 256,
  kTagHeight = 257,
  kTagBitsPerSample = 258,
  kTagCompression = 259,
  kTagPhotometric = 262,
  kTagFillOrder = 266,
  kTagDocumentName = 269,
  kTagImageDescription = 270,
  kTagMake = 271,
  kTagModel = 272,
  kTagStripOffsets = 273,
  kTagOrientation = 274,
  kTagSamplesPerPixel = 277,
  kTagRowsPerStrip = 278,
  kTagStripByteCounts = 279,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagPlanarConfig = 284,
  kTagPageName = 285,
  kTagXPosition = 286,
  kTagYPosition = 287,
  kTagT4Options = 292,
  kTagT6Options = 293,
  kTagResolutionUnit = 296,
  kTagPageNumber = 297,
  kTagSoftware = 305,
  kTagDateTime = 306,
  kTagArtist = 315,
  kTagPredictor = 317,
  kTagWhitePoint = 318,
  kTagPrimaryChromaticities = 319,
  kTagColorMap = 320,
  kTagTileWidth = 322,
  kTagTileLength = 323,
  kTagTileOffsets = 324,
  kTagTileByteCounts = 325,
  kTagExtraSamples = 338,
  kTagSampleFormat = 339,
  kTagJpegTables = 347,
  kTagJpegProc = 512,
  kTagJpegIfOffset = 513,
  kTagJpegIfLength = 514,
  kTagYCbCrCoefficients = 529,
  kTagYCbCrPositioning = 531,
  kTagReferenceBlackWhite = 532,
  kTagAnnotations = 32932,
  kTagCopyright = 33432,
  kTagIptc = 33723,
  kTagExifIfd = 34665,
  kTagIccProfile = 34675,
};

// Field types and their sizes (1..12 of TIFF 6.0, 13 = IFD).
int TypeSize(uint16_t type) {
  static const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < 14 ? sizes[type] : 0;
}

constexpr uint32_t kMaxTextBytes = 0xFFFFF;
constexpr int kMaxThumbnailSide = 400;

struct TEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  uint8_t Value[4] = {};
};

// Reads a TIFF structure from a stream: offsets relative to base, nothing
// read past the end of the stream.
class TTiffSource {
 public:
  TTiffSource(TStream& stream, int64_t base) : s_(stream), base_(base) {
    size_ = std::max<int64_t>(stream.Size() - base, 0);
  }
  int64_t Size() const { return size_; }
  bool BigEndian() const { return be_; }
  void SetBigEndian(bool v) { be_ = v; }
  TStream& Stream() { return s_; }
  int64_t Base() const { return base_; }

  // Reads exactly n bytes at offset, or returns false.
  bool ReadAt(int64_t offset, void* buffer, int64_t n) {
    if (offset < 0 || n < 0 || offset > size_ || n > size_ - offset) return false;
    if (n == 0) return true;
    s_.Seek(base_ + offset, soBeginning);
    return s_.Read(buffer, n) == n;
  }
  // Reads what is there of [offset, offset + n).
  std::vector<uint8_t> ReadUpTo(int64_t offset, int64_t n) {
    std::vector<uint8_t> out;
    if (offset < 0 || offset >= size_ || n <= 0) return out;
    n = std::min(n, size_ - offset);
    out.resize(size_t(n));
    s_.Seek(base_ + offset, soBeginning);
    const int64_t got = std::max<int64_t>(s_.Read(out.data(), n), 0);
    out.resize(size_t(got));
    return out;
  }
  uint16_t U16(const uint8_t* p) const { return be_ ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8)); }
  uint32_t U32(const uint8_t* p) const {
    return be_ ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
  }

 private:
  TStream& s_;
  int64_t base_;
  int64_t size_ = 0;
  bool be_ = false;
};

// One loaded directory with the tag access rules.
class TDirectory {
 public:
  TDirectory(TTiffSource& src) : src_(&src) {}
  std::vector<TEntry> Entries;

  const TEntry* Find(uint16_t tag) const {
    for (const TEntry& e : Entries)
      if (e.Tag == tag) return &e;
    return nullptr;
  }
  bool Has(uint16_t tag) const { return Find(tag) != nullptr; }

  // The bytes of a value (inline or at its offset), at most maxBytes; empty
  // when they do not lie inside the file.
  std::vector<uint8_t> RawBytes(const TEntry& e, int64_t maxBytes) const {
    const int ts = TypeSize(e.Type);
    const int64_t total = int64_t(e.Count) * ts;
    if (ts == 0 || total == 0) return {};
    const int64_t n = std::min(total, maxBytes);
    if (total <= 4) return std::vector<uint8_t>(e.Value, e.Value + n);
    std::vector<uint8_t> out(size_t(std::min<int64_t>(n, src_->Size())));
    if (total > src_->Size() || !src_->ReadAt(src_->U32(e.Value), out.data(), int64_t(out.size()))) return {};
    return out;
  }

  // Element i of an integer value as unsigned (signed types sign-extended
  // into int64); fallback when missing or unreadable.
  static int64_t Element(const TTiffSource& src, uint16_t type, const uint8_t* p) {
    switch (type) {
      case 1:
      case 7:
        return p[0];
      case 6:
        return int8_t(p[0]);
      case 3:
        return src.U16(p);
      case 8:
        return int16_t(src.U16(p));
      case 4:
      case 13:
        return src.U32(p);
      case 9:
        return int32_t(src.U32(p));
      default:
        return 0;
    }
  }

  // Up to maxCount integer values.
  std::vector<int64_t> Integers(uint16_t tag, int64_t maxCount) const {
    std::vector<int64_t> out;
    const TEntry* e = Find(tag);
    if (!e) return out;
    const int ts = TypeSize(e->Type);
    if (ts == 0 || ts == 8 || e->Type == 11) return out;  // rationals and reals are not integers
    const std::vector<uint8_t> raw = RawBytes(*e, std::min<int64_t>(e->Count, maxCount) * ts);
    out.reserve(raw.size() / size_t(ts));
    for (size_t i = 0; i + size_t(ts) <= raw.size(); i += size_t(ts)) out.push_back(Element(*src_, e->Type, &raw[i]));
    return out;
  }
  int64_t Integer(uint16_t tag, int64_t fallback) const {
    const std::vector<int64_t> v = Integers(tag, 1);
    return v.empty() ? fallback : v[0];
  }
  int64_t IntegerAt(uint16_t tag, int i, int64_t fallback) const {
    const std::vector<int64_t> v = Integers(tag, i + 1);
    return int(v.size()) > i ? v[size_t(i)] : fallback;
  }
  // Rationals (and other numbers) as doubles; a denominator of 0 counts as 1.
  std::vector<double> Reals(uint16_t tag, int64_t maxCount) const {
    std::vector<double> out;
    const TEntry* e = Find(tag);
    if (!e) return out;
    if (e->Type == 5 || e->Type == 10) {
      const std::vector<uint8_t> raw = RawBytes(*e, std::min<int64_t>(e->Count, maxCount) * 8);
      for (size_t i = 0; i + 8 <= raw.size(); i += 8) {
        const uint32_t n = src_->U32(&raw[i]), d = src_->U32(&raw[i + 4]);
        if (e->Type == 10)
          out.push_back(double(int32_t(n)) / (d == 0 ? 1.0 : double(int32_t(d))));
        else
          out.push_back(double(n) / (d == 0 ? 1.0 : double(d)));
      }
      return out;
    }
    for (int64_t v : Integers(tag, maxCount)) out.push_back(double(v));
    return out;
  }
  double Real(uint16_t tag) const {
    const std::vector<double> v = Reals(tag, 1);
    return v.empty() ? 0.0 : v[0];
  }
  std::vector<uint8_t> Bytes(uint16_t tag, int64_t maxBytes) const {
    const TEntry* e = Find(tag);
    return e ? RawBytes(*e, maxBytes) : std::vector<uint8_t>{};
  }
  // Text without trailing zero bytes; longer than kMaxTextBytes: ignored.
  std::string Text(uint16_t tag) const {
    const TEntry* e = Find(tag);
    if (!e || e->Count > kMaxTextBytes || TypeSize(e->Type) != 1) return {};
    std::vector<uint8_t> raw = RawBytes(*e, e->Count);
    while (!raw.empty() && raw.back() == 0) raw.pop_back();
    return std::string(raw.begin(), raw.end());
  }
  // UTF-16 text of the XP tags: count div 2 characters, little-endian as
  // Windows writes them.
  bool WideText(uint16_t tag, std::u16string& out) const {
    const TEntry* e = Find(tag);
    if (!e) {
      out.clear();
      return true;
    }
    if (e->Count > kMaxTextBytes || TypeSize(e->Type) != 1) return false;
    const std::vector<uint8_t> raw = RawBytes(*e, e->Count);
    out.clear();
    for (size_t i = 0; i + 1 < raw.size(); i += 2) out.push_back(char16_t(raw[i] | (raw[i + 1] << 8)));
    return true;
  }

 private:
  TTiffSource* src_;
};

// Loads the entries of the directory at offset; entries past the file are dropped.
bool LoadDirectory(TTiffSource& src, int64_t offset, TDirectory& dir) {
  uint8_t b[2];
  if (!src.ReadAt(offset, b, 2)) return false;
  const int64_t count = std::min<int64_t>(src.U16(b), (src.Size() - offset - 2) / 12);
  if (count <= 0) return false;
  std::vector<uint8_t> raw(size_t(count * 12));
  if (!src.ReadAt(offset + 2, raw.data(), count * 12)) return false;
  dir.Entries.resize(size_t(count));
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* p = &raw[size_t(i * 12)];
    TEntry& e = dir.Entries[size_t(i)];
    e.Tag = src.U16(p);
    e.Type = src.U16(p + 2);
    e.Count = src.U32(p + 4);
    std::memcpy(e.Value, p + 8, 4);
  }
  return true;
}

// ------------------------------------------------------------ metadata

void ReadMainExifFields(const TDirectory& d, TIOParamsVals& params) {
  params.ExifMake = d.Text(kTagMake);
  params.ExifModel = d.Text(kTagModel);
  params.ExifSoftware = d.Text(kTagSoftware);
  params.ExifArtist = d.Text(kTagArtist);
  params.ExifDateTime = d.Text(kTagDateTime);
  params.ExifRightsNotice = d.Text(kTagCopyright);
  params.ExifResolutionUnit = int32_t(d.Integer(kTagResolutionUnit, 2));
  auto reals = [&](uint16_t tag, auto& arr) {
    const std::vector<double> v = d.Reals(tag, int64_t(arr.size()));
    for (size_t i = 0; i < arr.size(); ++i) arr[i] = i < v.size() ? v[i] : 0.0;
  };
  reals(kTagWhitePoint, params.ExifWhitePoint);
  reals(kTagPrimaryChromaticities, params.ExifPrimaryChromaticities);
  reals(kTagYCbCrCoefficients, params.ExifYCbCrCoefficients);
  reals(kTagReferenceBlackWhite, params.ExifReferenceBlackWhite);
  params.ExifYCbCrPositioning = int32_t(d.Integer(kTagYCbCrPositioning, 0));
  d.WideText(40091, params.ExifXPTitle);
  d.WideText(40092, params.ExifXPComment);
  d.WideText(40093, params.ExifXPAuthor);
  d.WideText(40094, params.ExifXPKeywords);
  d.WideText(40095, params.ExifXPSubject);
}

void ReadExifDirectory(TTiffSource& src, const TDirectory& e, TIOParamsVals& params) {
  auto real = [&](uint16_t tag) { return e.Real(tag); };
  auto integer = [&](uint16_t tag) { return int32_t(e.Integer(tag, 0)); };
  auto bytesText = [&](uint16_t tag) {
    const TEntry* en = e.Find(tag);
    if (!en || en->Count > kMaxTextBytes) return std::string();
    const std::vector<uint8_t> b = e.RawBytes(*en, en->Count);
    return std::string(b.begin(), b.end());
  };
  params.ExifExposureTime = real(33434);
  params.ExifFNumber = real(33437);
  params.ExifExposureProgram = integer(34850);
  params.ExifISOSpeedRatings = {int32_t(e.IntegerAt(34855, 0, 0)), int32_t(e.IntegerAt(34855, 1, 0))};
  params.ExifVersion = bytesText(36864);
  params.ExifDateTimeOriginal = e.Text(36867);
  params.ExifDateTimeDigitized = e.Text(36868);
  params.ExifCompressedBitsPerPixel = real(37122);
  params.ExifShutterSpeedValue = real(37377);
  params.ExifApertureValue = real(37378);
  params.ExifBrightnessValue = real(37379);
  params.ExifExposureBiasValue = real(37380);
  params.ExifMaxApertureValue = real(37381);
  params.ExifSubjectDistance = real(37382);
  params.ExifMeteringMode = integer(37383);
  params.ExifLightSource = integer(37384);
  params.ExifFlash = integer(37385);
  params.ExifFocalLength = real(37386);
  params.ExifSubsecTime = e.Text(37520);
  params.ExifSubsecTimeOriginal = e.Text(37521);
  params.ExifSubsecTimeDigitized = e.Text(37522);
  params.ExifFlashPixVersion = bytesText(40960);
  params.ExifColorSpace = integer(40961);
  params.ExifImageWidth = integer(40962);
  params.ExifImageHeight = integer(40963);
  params.ExifRelatedSoundFile = e.Text(40964);
  params.ExifFocalPlaneXResolution = real(41486);
  params.ExifFocalPlaneYResolution = real(41487);
  params.ExifFocalPlaneResolutionUnit = integer(41488);
  params.ExifExposureIndex = real(41493);
  params.ExifSensingMethod = integer(41495);
  params.ExifFileSource = integer(41728);
  params.ExifSceneType = integer(41729);
  const std::string comment = bytesText(37510);
  params.ExifUserCommentCode = comment.substr(0, std::min<size_t>(8, comment.size()));
  params.ExifUserComment = comment.size() > 8 ? comment.substr(8) : std::string();
  params.ExifMakerNote.Clear();
  if (const TEntry* note = e.Find(37500); note && TypeSize(note->Type) == 1 && note->Count > 4) {
    // The note's own entries point into the whole TIFF structure: read the
    // structure up to a little past the note (bounded).
    const int64_t offset = src.U32(note->Value);
    const int64_t end = std::min<int64_t>(src.Size(), offset + int64_t(note->Count) + (int64_t(1) << 16));
    if (offset < src.Size() && end <= (int64_t(16) << 20)) {
      const std::vector<uint8_t> whole = src.ReadUpTo(0, end);
      params.ExifMakerNote.ReadFromTiff(whole.data(), int64_t(whole.size()), offset, note->Count, src.BigEndian());
    }
  }
}

// ------------------------------------------------------------ layout

enum class TKind {
  kMono,          // 1 bit, 1 sample, photometric 0/1
  kGray,          // 2..8 bits, photometric 0/1
  kGray16,        // 16 bits, photometric 0/1
  kGrayAlpha,     // 8 bits, 2 samples, photometric 0/1
  kPalette,       // 1..8 bits, photometric 3
  kPaletteAlpha,  // 8 bits, 2 samples, photometric 3
  kRgb8,          // 8 bits, 3 or more samples, photometric 2
  kRgb16,         // 16 bits, 3 or more samples, photometric 2
  kRgb555,        // 16 bits, 1 sample, photometric 2
  kCmyk8,         // 8 bits, 4 or more samples, photometric 5
  kCmyk16,        // 16 bits, 4 samples, photometric 5
  kLab,           // 8 bits, 3 samples, photometric 8
  kJpeg,          // compression 7: the JPEG reader decodes each strip or tile
};

struct TLayout {
  int64_t Width = 0, Height = 0;
  int Spp = 1, Bits = 1, Photometric = 2, Planar = 1, Compression = 1, Predictor = 1, FillOrder = 1;
  bool Tiled = false;
  int64_t BlockWidth = 0, BlockHeight = 0;  // tile size, or width × rows per strip
  TKind Kind = TKind::kRgb8;
  TPxBitmapFormat Format = pxRGB24;
  bool Alpha = false;     // the sample after the colour ones is alpha
  bool Inverted = false;  // photometric 0: 0 is white
  int GrayShift = 8;      // 16-bit gray to 8 bits
  int T4Options = 0, T6Options = 0;
};

const char* CompressionName(int c) {
  switch (c) {
    case 8:
    case 32946:
      return " (Deflate)";
    case 32809:
      return " (ThunderScan)";
    case 34676:
    case 34677:
      return " (SGILog)";
    case 34712:
      return " (JPEG 2000)";
    default:
      return "";
  }
}

// Chooses how rows are converted, or gives the reason the layout is not decoded.
std::string ChooseKind(TLayout& l, bool native) {
  const int s = l.Spp, b = l.Bits, p = l.Photometric;
  if (l.Compression == 7) {
    if (b == 8 && ((s == 1 && (p == 0 || p == 1)) || (s == 3 && (p == 2 || p == 6)) || (s == 4 && p == 5))) {
      l.Kind = TKind::kJpeg;
      l.Format = pxRGB24;
      return "";
    }
    return "JPEG data with photometric " + std::to_string(p) + ", " + std::to_string(s) + " samples of " +
           std::to_string(b) + " bits";
  }
  if ((l.Compression >= 2 && l.Compression <= 4) && !(b == 1 && s == 1)) return "CCITT data needs 1 sample of 1 bit";
  if (p == 0 || p == 1) {
    if (s == 1 && b == 1) {
      l.Kind = TKind::kMono;
      l.Format = pxMono1;
    } else if (s == 1 && b >= 2 && b <= 8) {
      l.Kind = TKind::kGray;
      l.Format = native ? pxGray8 : pxRGB24;
    } else if (s == 1 && b == 16) {
      l.Kind = TKind::kGray16;
      l.Format = native ? pxGray16 : pxRGB24;
    } else if (s == 2 && b == 8) {
      l.Kind = TKind::kGrayAlpha;
      l.Format = pxRGB24;
    } else {
      return "gray data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 2) {
    if (s >= 3 && b == 8) {
      l.Kind = TKind::kRgb8;
      l.Format = pxRGB24;
    } else if (s >= 3 && b == 16) {
      l.Kind = TKind::kRgb16;
      l.Format = native && s == 3 ? pxRGB48 : pxRGB24;
    } else if (s == 1 && b == 16) {
      l.Kind = TKind::kRgb555;
      l.Format = pxRGB24;
    } else {
      return "RGB data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 3) {
    if (s == 1 && b >= 1 && b <= 8) {
      l.Kind = TKind::kPalette;
      l.Format = native ? pxPalette8 : pxRGB24;
    } else if (s == 2 && b == 8) {
      l.Kind = TKind::kPaletteAlpha;
      l.Format = pxRGB24;
    } else {
      return "palette data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 5) {
    if (s >= 4 && b == 8) {
      l.Kind = TKind::kCmyk8;
      l.Format = native ? pxCMYK : pxRGB24;
    } else if (s == 4 && b == 16) {
      l.Kind = TKind::kCmyk16;
      l.Format = native ? pxCMYK : pxRGB24;
    } else {
      return "separated data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 8 && s == 3 && b == 8) {
    l.Kind = TKind::kLab;
    l.Format = pxRGB24;
    return "";
  }
  return "photometric " + std::to_string(p) + " with " + std::to_string(s) + " samples of " + std::to_string(b) +
         " bits";
}

// ------------------------------------------------------------ decompression

uint8_t ReverseByte(uint8_t v) {
  v = uint8_t((v & 0xF0) >> 4 | (v & 0x0F) << 4);
  v = uint8_t((v & 0xCC) >> 2 | (v & 0x33) << 2);
  v = uint8_t((v & 0xAA) >> 1 | (v & 0x55) << 1);
  return v;
}

// Runs are clamped to the output and stop at the end of the input.
// Returns the bytes produced.
int64_t DecodePackBits(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  const uint8_t* ip = in;
  const uint8_t* ie = in + inSize;
  int64_t op = 0;
  while (ip < ie && op < outSize) {
    const int h = int8_t(*ip++);
    if (h >= 0) {
      const int64_t n = std::min<int64_t>({h + 1, ie - ip, outSize - op});
      std::memcpy(out + op, ip, size_t(n));
      ip += h + 1;
      op += n;
    } else if (h != -128) {
      if (ip >= ie) break;
      const int64_t n = std::min<int64_t>(1 - h, outSize - op);
      std::memset(out + op, *ip++, size_t(n));
      op += n;
    }
  }
  return op;
}

// The running sums of one pixel's samples stay in registers: summing through
// memory waits on each store (several times slower for RGB).
template <int kStride>
void UndoPredictor8(uint8_t* row, int64_t samples) {
  uint8_t sum[kStride];
  for (int k = 0; k < kStride; ++k) sum[k] = row[k];
  int64_t i = kStride;
  for (; i + kStride <= samples; i += kStride)
    for (int k = 0; k < kStride; ++k) row[i + k] = sum[k] = uint8_t(sum[k] + row[i + k]);
  for (; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - kStride]);
}

void UndoPredictor(uint8_t* row, int64_t samples, int stride, int bits, bool be) {
  if (bits == 8) {
    if (samples < stride) return;
    switch (stride) {
      case 1:
        return UndoPredictor8<1>(row, samples);
      case 3:
        return UndoPredictor8<3>(row, samples);
      case 4:
        return UndoPredictor8<4>(row, samples);
      default:
        for (int64_t i = stride; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - stride]);
    }
  } else if (bits == 16) {
    auto get = [be](const uint8_t* p) { return be ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8)); };
    auto put = [be](uint8_t* p, uint16_t v) {
      p[be ? 0 : 1] = uint8_t(v >> 8);
      p[be ? 1 : 0] = uint8_t(v);
    };
    for (int64_t i = stride; i < samples; ++i)
      put(row + 2 * i, uint16_t(get(row + 2 * i) + get(row + 2 * (i - stride))));
  }
}

// ------------------------------------------------------------ the reader

class TTiffDecoder {
 public:
  TTiffDecoder(TTiffSource& src, const TDirectory& dir, TLayout& l, TIOParamsVals& params, TPxBitmap& bitmap,
               TPxMask* mask, TProgressRecord& progress, const std::vector<TColorBGR>& palette)
      : src_(src),
        dir_(dir),
        l_(l),
        params_(params),
        bitmap_(bitmap),
        mask_(mask),
        progress_(progress),
        palette_(palette) {}

  void Run() {
    const bool tiled = l_.Tiled;
    const int64_t across = (l_.Width + l_.BlockWidth - 1) / l_.BlockWidth;
    const int64_t down = (l_.Height + l_.BlockHeight - 1) / l_.BlockHeight;
    const int planes = l_.Planar == 2 ? l_.Spp : 1;
    const int64_t perPlane = across * down;
    const int64_t needed = perPlane * planes;
    const uint16_t offTag = tiled && dir_.Has(kTagTileOffsets) ? kTagTileOffsets : kTagStripOffsets;
    const uint16_t cntTag = offTag == kTagTileOffsets ? kTagTileByteCounts : kTagStripByteCounts;
    const std::vector<int64_t> offsets = dir_.Integers(offTag, needed);
    const std::vector<int64_t> counts = dir_.Integers(cntTag, needed);
    if (int64_t(offsets.size()) < needed) {
      progress_.Fail("TIFF: " + std::to_string(offsets.size()) + " data offsets for " + std::to_string(needed) +
                     (tiled ? " tiles" : " strips"));
      return;
    }
    rowBytes_ = (l_.BlockWidth * (l_.Planar == 1 ? l_.Spp : 1) * l_.Bits + 7) / 8;
    const bool compressed = l_.Compression != 1;
    if (compressed && int64_t(counts.size()) < needed && needed > 1) {
      progress_.Fail("TIFF: compressed data without byte counts");
      return;
    }
    progress_.Scale = 100.0 / double(l_.Height);
    raw_.resize(size_t(planes));
    for (int64_t b = 0; b < perPlane && !progress_.IsAborted(); ++b) {
      const int64_t x0 = (b % across) * l_.BlockWidth, y0 = (b / across) * l_.BlockHeight;
      const int64_t bw = std::min(l_.BlockWidth, l_.Width - x0), bh = std::min(l_.BlockHeight, l_.Height - y0);
      const int64_t rows = tiled ? l_.BlockHeight : bh;
      for (int p = 0; p < planes; ++p) {
        const int64_t i = p * perPlane + b;
        int64_t count = i < int64_t(counts.size()) ? counts[size_t(i)] : 0;
        if (count <= 0) count = compressed ? src_.Size() : rows * rowBytes_;
        if (l_.Kind == TKind::kJpeg) {
          DecodeJpegBlock(offsets[size_t(i)], count, x0, y0, bw, bh);
          continue;
        }
        DecodeBlock(offsets[size_t(i)], count, rows, raw_[size_t(p)]);
      }
      if (progress_.IsAborted()) break;
      if (l_.Kind != TKind::kJpeg) {
        for (int64_t r = 0; r < bh; ++r) ConvertRow(r, x0, y0 + r, bw);
      }
      if (!tiled || x0 + bw >= l_.Width) progress_.Report(y0 + bh);
    }
  }

 private:
  // Reads and decompresses one strip or tile of one plane into out
  // (rows × rowBytes_, zero where the data does not reach).
  void DecodeBlock(int64_t offset, int64_t count, int64_t rows, std::vector<uint8_t>& out) {
    const int64_t outSize = rows * rowBytes_;
    // Only the bytes the data does not reach are cleared (below).
    out.resize(size_t(outSize + 8));
    int64_t produced = 0;
    std::vector<uint8_t> in = src_.ReadUpTo(offset, count);
    if (in.empty()) {  // past the end of the file: the rows stay white
      std::memset(out.data(), 0, out.size());
      return;
    }
    // Only fax data honours the fill order: other data is stored in bytes
    // whatever the tag says (libtiff reads it so too).
    if (l_.FillOrder == 2 && l_.Compression >= 2 && l_.Compression <= 4)
      for (uint8_t& v : in) v = ReverseByte(v);
    const int64_t inSize = int64_t(in.size());
    switch (l_.Compression) {
      case 1:
        produced = std::min(inSize, outSize);
        std::memcpy(out.data(), in.data(), size_t(produced));
        break;
      case 32773:
        produced = DecodePackBits(in.data(), inSize, out.data(), outSize);
        break;
      case 5: {
        const TTiffLzwCodec* codec = params_.TiffLzwDecoder ? params_.TiffLzwDecoder : &BuiltInTiffLzwCodec();
        const TLzwResult r = codec->Decode(in.data(), inSize, out.data(), outSize);
        produced = std::clamp<int64_t>(r.Produced, 0, outSize);
        if (r.Status == TLzwStatus::kBad) {
          progress_.Fail("TIFF: bad LZW data in the block at offset " + std::to_string(offset));
        }
        break;
      }
      case 2:
      case 3:
      case 4: {
        TCcittOptions o;
        o.Scheme = l_.Compression == 2   ? TCcittScheme::kModifiedHuffman
                   : l_.Compression == 3 ? TCcittScheme::kGroup3
                                         : TCcittScheme::kGroup4;
        o.Width = l_.BlockWidth;
        o.TwoDimensional = l_.Compression == 3 && (l_.T4Options & 1) != 0;
        const TCcittResult r = DecodeCcitt(in.data(), inSize, o, rows, out.data(), rowBytes_);
        produced = std::clamp<int64_t>(r.Rows, 0, rows) * rowBytes_;
        if (r.Status == TCcittStatus::kBad && r.Rows == 0)
          progress_.Fail("TIFF: bad CCITT data in the block at offset " + std::to_string(offset));
        break;
      }
      default:
        break;
    }
    std::memset(out.data() + produced, 0, size_t(int64_t(out.size()) - produced));
    if (l_.Predictor == 2 && l_.Compression == 5) {
      const int stride = l_.Planar == 1 ? l_.Spp : 1;
      for (int64_t r = 0; r < rows; ++r)
        UndoPredictor(out.data() + r * rowBytes_, l_.BlockWidth * stride, stride, l_.Bits, src_.BigEndian());
    }
  }

  void DecodeJpegBlock(int64_t offset, int64_t count, int64_t x0, int64_t y0, int64_t bw, int64_t bh) {
    const std::vector<uint8_t> in = src_.ReadUpTo(offset, count);
    if (in.empty()) return;
    if (!tablesLoaded_) {
      tables_ = dir_.Bytes(kTagJpegTables, src_.Size());
      tablesLoaded_ = true;
    }
    TPxMemStream data(in.data(), int64_t(in.size()));
    TPxMemStream tables(tables_.data(), int64_t(tables_.size()));
    TIOParamsVals scratch;
    TPxBitmap piece;
    bool aborted = false;
    TProgressRecord inner;
    inner.Aborted = &aborted;
    inner.Limits = progress_.Limits;
    // RGB data is stored without a colour transform: read it as it is.
    const bool raw = l_.Photometric != 6 && l_.Spp == 3;
    ReadJpeg(data, tables_.empty() ? nullptr : &tables, piece, false, true, false, raw, false, inner, scratch);
    if (aborted || piece.IsEmpty() || piece.Format() != pxRGB24 || piece.Width() < bw || piece.Height() < bh) {
      progress_.Fail("TIFF: the JPEG data at offset " + std::to_string(offset) + " does not give a " +
                     std::to_string(bw) + " x " + std::to_string(bh) + " piece" +
                     (inner.AbortReason.empty() ? "" : " (" + inner.AbortReason + ")"));
      return;
    }
    const bool swap = raw && scratch.JpegColorSpace == 2;  // samples came out red, green, blue
    for (int64_t r = 0; r < bh; ++r) {
      const uint8_t* s = piece.RowPointer(int(r));
      uint8_t* d = bitmap_.RowPointer(int(y0 + r)) + x0 * 3;
      if (swap) {
        for (int64_t x = 0; x < bw; ++x) {
          d[3 * x] = s[3 * x + 2];
          d[3 * x + 1] = s[3 * x + 1];
          d[3 * x + 2] = s[3 * x];
        }
      } else {
        std::memcpy(d, s, size_t(bw * 3));
      }
    }
  }

  // The samples of count pixels of block row r, one byte (or word) each.
  const uint8_t* Samples8(int64_t r, int64_t count) {
    const int spp = l_.Spp, bits = l_.Bits;
    if (l_.Planar == 1 && bits == 8) return raw_[0].data() + r * rowBytes_;
    s8_.resize(size_t(count * spp));
    const uint32_t mask = (1u << bits) - 1;
    const int planes = l_.Planar == 2 ? spp : 1;
    const int perPixel = l_.Planar == 2 ? 1 : spp;
    for (int p = 0; p < planes; ++p) {
      const uint8_t* row = raw_[size_t(p)].data() + r * rowBytes_;
      for (int64_t i = 0; i < count * perPixel; ++i) {
        uint8_t v;
        if (bits == 8) {
          v = row[i];
        } else {
          const int64_t bit = i * bits;
          const uint32_t two = (uint32_t(row[bit >> 3]) << 8) | row[(bit >> 3) + 1];
          v = uint8_t((two >> (16 - (bit & 7) - bits)) & mask);
        }
        s8_[size_t(l_.Planar == 2 ? i * spp + p : i)] = v;
      }
    }
    return s8_.data();
  }
  const uint16_t* Samples16(int64_t r, int64_t count) {
    const int spp = l_.Spp;
    s16_.resize(size_t(count * spp));
    const bool be = src_.BigEndian();
    const int planes = l_.Planar == 2 ? spp : 1;
    const int perPixel = l_.Planar == 2 ? 1 : spp;
    for (int p = 0; p < planes; ++p) {
      const uint8_t* row = raw_[size_t(p)].data() + r * rowBytes_;
      for (int64_t i = 0; i < count * perPixel; ++i) {
        const uint8_t* q = row + 2 * i;
        s16_[size_t(l_.Planar == 2 ? i * spp + p : i)] =
            be ? uint16_t((q[0] << 8) | q[1]) : uint16_t(q[0] | (q[1] << 8));
      }
    }
    return s16_.data();
  }

  void SetAlpha(int64_t x, int64_t y, int v) {
    if (mask_) mask_->MaskRow(int(y))[x] = uint8_t(v);
  }

  void ConvertRow(int64_t r, int64_t x0, int64_t y, int64_t count) {
    uint8_t* d = bitmap_.RowPointer(int(y));
    const int spp = l_.Spp;
    switch (l_.Kind) {
      case TKind::kMono: {
        const uint8_t* s = raw_[0].data() + r * rowBytes_;
        const uint8_t flip = l_.Inverted ? 0xFF : 0x00;
        if ((x0 & 7) == 0) {
          const int64_t n = (count + 7) / 8;
          uint8_t* t = d + x0 / 8;
          for (int64_t i = 0; i < n; ++i) t[i] = uint8_t(s[i] ^ flip);
        } else {
          for (int64_t i = 0; i < count; ++i) {
            const int v = ((s[i >> 3] >> (7 - (i & 7))) & 1) ^ (flip & 1);
            const int64_t x = x0 + i;
            if (v)
              d[x >> 3] = uint8_t(d[x >> 3] | (0x80 >> (x & 7)));
            else
              d[x >> 3] = uint8_t(d[x >> 3] & ~(0x80 >> (x & 7)));
          }
        }
        break;
      }
      case TKind::kGray: {
        const uint8_t* s = Samples8(r, count);
        const int max = (1 << l_.Bits) - 1;
        for (int64_t i = 0; i < count; ++i) {
          int v = l_.Bits == 8 ? s[i] : s[i] * 255 / max;
          if (l_.Inverted) v = 255 - v;
          if (l_.Format == pxGray8) {
            d[x0 + i] = uint8_t(v);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = q[1] = q[2] = uint8_t(v);
          }
        }
        break;
      }
      case TKind::kGray16: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const int v = l_.Inverted ? 65535 - s[i] : s[i];
          if (l_.Format == pxGray16) {
            const uint16_t w = uint16_t(v);
            std::memcpy(d + 2 * (x0 + i), &w, 2);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = q[1] = q[2] = uint8_t(v >> l_.GrayShift);
          }
        }
        break;
      }
      case TKind::kGrayAlpha: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const uint8_t v = l_.Inverted ? uint8_t(255 - s[2 * i]) : s[2 * i];
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = q[1] = q[2] = v;
          if (l_.Alpha) SetAlpha(x0 + i, y, s[2 * i + 1]);
        }
        break;
      }
      case TKind::kPalette: {
        const uint8_t* s = Samples8(r, count);
        if (l_.Format == pxPalette8) {
          std::memcpy(d + x0, s, size_t(count));
        } else {
          for (int64_t i = 0; i < count; ++i) {
            const TColorBGR c = palette_[s[i]];
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = c.b;
            q[1] = c.g;
            q[2] = c.r;
          }
        }
        break;
      }
      case TKind::kPaletteAlpha: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const TColorBGR c = palette_[s[2 * i]];
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = c.b;
          q[1] = c.g;
          q[2] = c.r;
          if (l_.Alpha) SetAlpha(x0 + i, y, s[2 * i + 1]);
        }
        break;
      }
      case TKind::kRgb8: {
        const uint8_t* s = Samples8(r, count);
        uint8_t* q = d + 3 * x0;
        if (spp == 3) {
          for (int64_t i = 0; i < count; ++i, s += 3, q += 3) {
            q[0] = s[2];
            q[1] = s[1];
            q[2] = s[0];
          }
        } else {
          for (int64_t i = 0; i < count; ++i, s += spp, q += 3) {
            q[0] = s[2];
            q[1] = s[1];
            q[2] = s[0];
            if (l_.Alpha) SetAlpha(x0 + i, y, s[3]);
          }
        }
        break;
      }
      case TKind::kRgb16: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i, s += spp) {
          if (l_.Format == pxRGB48) {
            std::memcpy(d + 6 * (x0 + i), s, 6);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = uint8_t(s[2] >> 8);
            q[1] = uint8_t(s[1] >> 8);
            q[2] = uint8_t(s[0] >> 8);
          }
          if (l_.Alpha) SetAlpha(x0 + i, y, s[3] >> 8);
        }
        break;
      }
      case TKind::kRgb555: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const int v = s[i];
          uint8_t* q = d + 3 * (x0 + i);
          q[2] = uint8_t(((v >> 10) & 31) * 8);
          q[1] = uint8_t(((v >> 5) & 31) * 8);
          q[0] = uint8_t((v & 31) * 8);
        }
        break;
      }
      case TKind::kCmyk8:
      case TKind::kCmyk16: {
        const bool wide = l_.Kind == TKind::kCmyk16;
        const uint8_t* s8 = wide ? nullptr : Samples8(r, count);
        const uint16_t* s16 = wide ? Samples16(r, count) : nullptr;
        for (int64_t i = 0; i < count; ++i) {
          uint8_t inv[4];
          for (int k = 0; k < 4; ++k) inv[k] = uint8_t(255 - (wide ? s16[i * spp + k] >> 8 : s8[i * spp + k]));
          if (l_.Format == pxCMYK) {
            std::memcpy(d + 4 * (x0 + i), inv, 4);
          } else {
            const TColorBGR c = InvertedCMYKToBGR(inv);
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = c.b;
            q[1] = c.g;
            q[2] = c.r;
          }
        }
        break;
      }
      case TKind::kLab: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i, s += 3) {
          // TIFF keeps L* as 0..255 for 0..100; the conversion takes 0..250.
          const uint8_t lab[3] = {uint8_t((s[0] * 250 + 127) / 255), s[1], s[2]};
          const TColorBGR c = LabToBGR(lab);
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = c.b;
          q[1] = c.g;
          q[2] = c.r;
        }
        break;
      }
      case TKind::kJpeg:
        break;
    }
  }

  TTiffSource& src_;
  const TDirectory& dir_;
  TLayout& l_;
  TIOParamsVals& params_;
  TPxBitmap& bitmap_;
  TPxMask* mask_;
  TProgressRecord& progress_;
  const std::vector<TColorBGR>& palette_;
  int64_t rowBytes_ = 0;
  std::vector<std::vector<uint8_t>> raw_;
  std::vector<uint8_t> s8_;
  std::vector<uint16_t> s16_;
  std::vector<uint8_t> tables_;
  bool tablesLoaded_ = false;
};

// Compression 6 with an interchange format: a whole JPEG stream inside the file.
void ReadOldJpeg(TTiffSource& src, const TDirectory& dir, TPxBitmap& bitmap, TProgressRecord& progress,
                 const TIOParamsVals& params) {
  int64_t start = dir.Integer(kTagJpegIfOffset, 0);
  if (start <= 0) start = dir.IntegerAt(kTagStripOffsets, 0, 0);
  int64_t length = dir.Integer(kTagJpegIfLength, 0);
  if (length <= 0 || length > src.Size() - start) length = src.Size() - start;
  const std::vector<uint8_t> data = src.ReadUpTo(start, length);
  if (data.empty()) {
    progress.Fail("TIFF: old-style JPEG data at offset " + std::to_string(start) + " is past the end of the file");
    return;
  }
  TPxMemStream stream(data.data(), int64_t(data.size()));
  TIOParamsVals scratch;
  scratch.NativePixelFormat = params.NativePixelFormat;
  bool aborted = false;
  TProgressRecord inner;
  inner.Aborted = &aborted;
  inner.Limits = progress.Limits;
  TPxBitmap decoded;
  ReadJpeg(stream, nullptr, decoded, false, false, false, false, false, inner, scratch);
  if (aborted || decoded.IsEmpty()) {
    progress.Fail("TIFF: old-style JPEG data at offset " + std::to_string(start) + " cannot be read" +
                  (inner.AbortReason.empty() ? "" : " (" + inner.AbortReason + ")"));
    return;
  }
  decoded.MoveStorageTo(bitmap);
}

std::vector<TColorBGR> ReadColorMap(const TDirectory& dir, int bits) {
  std::vector<TColorBGR> palette(256);
  if (bits > 8) return palette;
  const int64_t n = int64_t(1) << bits;
  const std::vector<int64_t> v = dir.Integers(kTagColorMap, 3 * n);
  if (int64_t(v.size()) < 3 * n) return {};
  const bool wide = *std::max_element(v.begin(), v.end()) >= 256;
  auto level = [wide](int64_t x) { return uint8_t(wide ? (x >> 8) & 0xFF : x & 0xFF); };
  for (int64_t i = 0; i < n; ++i)
    palette[size_t(i)] = TColorBGR{level(v[size_t(2 * n + i)]), level(v[size_t(n + i)]), level(v[size_t(i)])};
  return palette;
}

// Truncation toward zero, clamped to int32 (rationals from the file can be anything).
int32_t TruncToInt32(double v) {
  if (!(v == v)) return 0;
  return int32_t(std::clamp(v, -2147483648.0, 2147483647.0));
}

int MapCompression(int c, int t4) {
  switch (c) {
    case 1:
      return 0;
    case 2:
      return 1;
    case 3:
      return (t4 & 1) ? 3 : 2;
    case 4:
      return 4;
    case 5:
      return 5;
    case 6:
      return 6;
    case 7:
      return 7;
    case 32773:
      return 8;
    default:
      return 9;
  }
}

int64_t MaxPixelsPerByte(const TLayout& l) {
  const int64_t bitsPerPixel = int64_t(l.Bits) * l.Spp;
  const int64_t perByte = std::max<int64_t>(1, (8 + bitsPerPixel - 1) / bitsPerPixel);
  switch (l.Compression) {
    case 1:
      return perByte * 16;  // room for files cut short: their rows present still load
    case 32773:
      return perByte * 64;  // two bytes give at most 128
    case 5:
      return perByte * 4096;  // one 9-bit code gives at most 4096 bytes
    default:
      return 0;  // CCITT and JPEG: one bit can stand for a whole row
  }
}

}  // namespace

int32_t ReadTiff(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress,
                 std::unique_ptr<TPxMask>* mask, const TTiffReadOptions& options) {
  const int64_t base = stream.Position();
  TTiffSource src(stream, base);
  uint8_t header[8];
  if (!src.ReadAt(0, header, 8) ||
      !((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M'))) {
    progress.Fail("TIFF: no \"II\" or \"MM\" header at offset " + std::to_string(base));
    return 0;
  }
  src.SetBigEndian(header[0] == 'M');
  const int64_t first = src.U32(header + 4);
  if (first == 0) {
    progress.Fail("TIFF: no first directory (offset 0) at offset " + std::to_string(base + 4));
    return 0;
  }

  // Walk the chain; a visited set and a cap stop loops and endless chains.
  const int64_t wanted = params.TiffImageIndex;
  TDirectory dir(src);
  bool found = false;
  int32_t dirCount = 0;
  std::unordered_set<int64_t> visited;
  for (int64_t offset = first; dirCount < kMaxTiffDirectories;) {
    if (offset < 8 || offset + 2 > src.Size() || !visited.insert(offset).second) break;
    uint8_t b[4];
    if (!src.ReadAt(offset, b, 2)) break;
    const int64_t entries = src.U16(b);
    if (entries == 0) break;
    if (dirCount == wanted) found = LoadDirectory(src, offset, dir);
    ++dirCount;
    if (!src.ReadAt(offset + 2 + entries * 12, b, 4)) break;
    offset = src.U32(b);
    if (offset == 0) break;
  }
  params.SetImageCount(dirCount);
  if (!found) {
    progress.Fail("TIFF: directory " + std::to_string(wanted) + " not found (" + std::to_string(dirCount) +
                  " in the file)");
    return dirCount;
  }

  // EXIF directory.
  if (const int64_t exifOffset = dir.Integer(kTagExifIfd, 0); exifOffset > 0) {
    TDirectory exif(src);
    if (LoadDirectory(src, exifOffset, exif)) {
      params.ExifPresent = 1;
      ReadExifDirectory(src, exif, params);
    }
  }

  TLayout l;
  l.Width = dir.Integer(kTagWidth, 0);
  l.Height = dir.Integer(kTagHeight, 0);
  l.Spp = int(std::clamp<int64_t>(dir.Integer(kTagSamplesPerPixel, 1), 0, 65535));
  const std::vector<int64_t> bits = dir.Integers(kTagBitsPerSample, 64);
  l.Bits = bits.empty() ? 1 : int(std::clamp<int64_t>(bits[0], 0, 65535));
  const bool unequalBits = std::any_of(bits.begin(), bits.end(), [&](int64_t b) { return b != bits[0]; });
  l.Photometric = int(dir.Integer(kTagPhotometric, 2));
  l.Planar = int(dir.Integer(kTagPlanarConfig, 1));
  l.Compression = int(dir.Integer(kTagCompression, 1));
  l.Predictor = int(dir.Integer(kTagPredictor, 1));
  l.FillOrder = int(dir.Integer(kTagFillOrder, 1));
  l.T4Options = int(dir.Integer(kTagT4Options, 0));
  l.T6Options = int(dir.Integer(kTagT6Options, 0));
  const int orientation = int(dir.Integer(kTagOrientation, 1));
  const int unit = int(dir.Integer(kTagResolutionUnit, 2));
  const double f = unit == 3 ? 2.54 : 1.0;

  params.BitsPerSample = l.Bits;
  params.SamplesPerPixel = l.Spp;
  params.Width = int32_t(std::min<int64_t>(l.Width, INT32_MAX));
  params.Height = int32_t(std::min<int64_t>(l.Height, INT32_MAX));
  params.SetOrientation(orientation);
  params.TiffCompression = uint8_t(MapCompression(l.Compression, l.T4Options));
  if (l.Photometric >= 0 && l.Photometric <= 6) params.TiffPhotometric = uint8_t(l.Photometric);
  if (l.Photometric == 8) params.TiffPhotometric = 7;
  params.TiffPlanarConfig = l.Planar;
  params.TiffDocumentName = dir.Text(kTagDocumentName);
  params.TiffImageDescription = dir.Text(kTagImageDescription);
  params.TiffPageName = dir.Text(kTagPageName);
  params.TiffPageNumber = int32_t(dir.IntegerAt(kTagPageNumber, 0, -1));
  params.TiffPageCount = int32_t(dir.IntegerAt(kTagPageNumber, 1, -1));
  params.TiffFillOrder = l.FillOrder;
  ReadMainExifFields(dir, params);
  const int32_t dpiX = TruncToInt32(dir.Real(kTagXResolution) * f);
  const int32_t dpiY = TruncToInt32(dir.Real(kTagYResolution) * f);
  params.SetDpiX(dpiX == 0 ? 300 : dpiX);
  params.SetDpiY(dpiY == 0 ? 300 : dpiY);
  params.TiffXPos = TruncToInt32(dir.Real(kTagXPosition) * f);
  params.TiffYPos = TruncToInt32(dir.Real(kTagYPosition) * f);
  if (const std::vector<uint8_t> iptc = dir.Bytes(kTagIptc, src.Size()); !iptc.empty())
    params.IPTC().ParseIPTC(iptc.data(), int(iptc.size()));
  else
    params.IPTC().ClearRecords();
  if (dir.Has(kTagAnnotations)) params.Annotations().Data = dir.Bytes(kTagAnnotations, src.Size());
  if (dir.Has(kTagIccProfile)) params.InputProfile().Data = dir.Bytes(kTagIccProfile, src.Size());

  // A bilevel picture marked RGB is taken as white-is-zero.
  if (l.Spp == 1 && l.Bits == 1 && l.Compression >= 1 && l.Compression <= 4 && l.Photometric == 2) l.Photometric = 0;
  std::vector<TColorBGR> palette;
  if (l.Photometric == 3) palette = ReadColorMap(dir, l.Bits);
  if (!palette.empty())
    params.SetColorMap(palette.data(), 1 << std::min(l.Bits, 8));
  else
    params.FreeColorMap();

  if (unequalBits) {
    progress.Fail("TIFF: bits per sample differ between samples");
    return dirCount;
  }
  const bool oldJpeg = l.Compression == 6 && dir.Integer(kTagJpegProc, 0) <= 1;
  if ((l.Width <= 0 || l.Height <= 0) && !(options.ThumbnailMode && oldJpeg)) {
    progress.Fail("TIFF: picture size " + std::to_string(l.Width) + " x " + std::to_string(l.Height));
    return dirCount;
  }
  if (options.ThumbnailMode && (l.Width > kMaxThumbnailSide || l.Height > kMaxThumbnailSide)) {
    progress.Fail("TIFF: thumbnail larger than " + std::to_string(kMaxThumbnailSide) + " pixels a side");
    return dirCount;
  }
  if (paramsOnly) return dirCount;

  if (oldJpeg) {
    ReadOldJpeg(src, dir, bitmap, progress, params);
  } else {
    static const int kKnown[] = {1, 2, 3, 4, 5, 7, 32773};
    if (std::find(std::begin(kKnown), std::end(kKnown), l.Compression) == std::end(kKnown)) {
      progress.Fail("TIFF: compression " + std::to_string(l.Compression) + CompressionName(l.Compression) +
                    " is not supported");
      return dirCount;
    }
    for (int64_t sf : dir.Integers(kTagSampleFormat, 64)) {
      if (sf != 1) {
        progress.Fail("TIFF: sample format " + std::to_string(sf) + " (not unsigned integers) is not supported");
        return dirCount;
      }
    }
    if (l.Spp < 1 || l.Spp > 16 || l.Bits < 1 || (l.Planar != 1 && l.Planar != 2)) {
      progress.Fail("TIFF: " + std::to_string(l.Spp) + " samples of " + std::to_string(l.Bits) +
                    " bits, planar configuration " + std::to_string(l.Planar));
      return dirCount;
    }
    const std::string why = ChooseKind(l, params.NativePixelFormat != 0);
    if (!why.empty()) {
      progress.Fail("TIFF: " + why + " is not supported");
      return dirCount;
    }
    if (l.Kind == TKind::kJpeg && l.Planar != 1) {
      progress.Fail("TIFF: JPEG data in separate planes is not supported");
      return dirCount;
    }
    if (l.Kind != TKind::kJpeg && l.Compression == 5 && l.Predictor != 1 &&
        !(l.Predictor == 2 && (l.Bits == 8 || l.Bits == 16))) {
      progress.Fail("TIFF: predictor " + std::to_string(l.Predictor) + " with " + std::to_string(l.Bits) +
                    "-bit samples is not supported");
      return dirCount;
    }
    if ((l.Kind == TKind::kPalette || l.Kind == TKind::kPaletteAlpha) && palette.empty()) {
      progress.Fail("TIFF: palette picture without a full colour map");
      return dirCount;
    }
    l.Inverted = l.Photometric == 0;
    if (l.Kind == TKind::kGray16 && params.ExifSoftware.compare(0, 15, "Look@Molli v1.1") == 0) l.GrayShift = 4;
    // Alpha: the sample after the colour ones. RGB takes it whatever its
    // extra-sample type; gray and palette data unless it is declared
    // unspecified (0).
    if (!options.IgnoreAlpha) {
      if (l.Kind == TKind::kRgb8 || l.Kind == TKind::kRgb16)
        l.Alpha = l.Spp > 3;
      else if (l.Kind == TKind::kGrayAlpha || l.Kind == TKind::kPaletteAlpha)
        l.Alpha = dir.Integer(kTagExtraSamples, 2) != 0;
    }

    // Geometry of strips or tiles.
    l.Tiled = dir.Has(kTagTileWidth) && dir.Has(kTagTileLength);
    if (l.Tiled) {
      l.BlockWidth = dir.Integer(kTagTileWidth, 0);
      l.BlockHeight = dir.Integer(kTagTileLength, 0);
      TImageHeader tile;
      tile.Format = "TIFF tile";
      tile.Width = l.BlockWidth;
      tile.Height = l.BlockHeight;
      tile.BitsPerPixel = l.Bits * l.Spp;
      if (!CheckImageHeader(tile, progress).Ok) return dirCount;
    } else {
      l.BlockWidth = l.Width;
      int64_t rps = dir.Integer(kTagRowsPerStrip, l.Height);
      if (rps <= 0 || rps > l.Height) rps = l.Height;
      l.BlockHeight = rps;
    }

    TImageHeader h;
    h.Format = "TIFF";
    h.Width = l.Width;
    h.Height = l.Height;
    h.BitsPerPixel = l.Bits * l.Spp;
    h.CompressedBytes = src.Size();
    h.MaxPixelsPerByte = MaxPixelsPerByte(l);
    if (!CheckImageHeader(h, progress).Ok) return dirCount;

    std::unique_ptr<TPxMask> ownMask;
    TPxMask* alpha = nullptr;
    if (l.Alpha) {
      ownMask = std::make_unique<TPxMask>();
      ownMask->AllocateMask(int(l.Width), int(l.Height), 8);
      ownMask->FillMask(255);
      alpha = ownMask.get();
    }
    bitmap.AllocatePixels(int(l.Width), int(l.Height), l.Format);
    for (int y = 0; y < bitmap.Height(); ++y) std::memset(bitmap.RowPointer(y), 0, size_t(bitmap.RowLength()));
    if (l.Format == pxPalette8)
      for (int i = 0; i < 256; ++i) bitmap.SetPaletteEntry(i, palette[size_t(i)]);

    TTiffDecoder decoder(src, dir, l, params, bitmap, alpha, progress, palette);
    decoder.Run();
    if (alpha && mask) *mask = std::move(ownMask);
  }

  if (params.TiffAutoRotate != 0 && !bitmap.IsEmpty()) {
    if (mask && *mask) {
      // The mask turns with the picture: through the alpha channel.
      bitmap.ImportMask(mask->get());
      mask->reset();
      ApplyOrientation(bitmap, params.Orientation());
    } else {
      ApplyOrientation(bitmap, params.Orientation());
    }
  }
  return dirCount;
}

bool ReadExifTiff(const uint8_t* tiff, int64_t size, TIOParamsVals& params) {
  if (tiff == nullptr || size < 8) return false;
  TPxMemStream stream(tiff, size);
  // First pass: the values, into a scratch record so a bad block changes nothing.
  TIOParamsVals scratch;
  TPxBitmap none;
  bool aborted = false;
  TProgressRecord probe;
  probe.Aborted = &aborted;
  scratch.SetImageIndex(0);
  ReadTiff(stream, none, scratch, true, probe, nullptr, TTiffReadOptions{false, true});
  // Directory 0 of an EXIF block has no picture size (so the probe "fails"):
  // only a missing header or directory means nothing was found.
  if (!((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M')) || scratch.TiffImageCount == 0)
    return false;
  static_cast<TExifValues&>(params) = static_cast<const TExifValues&>(scratch);
  params.ExifImageDescription = scratch.TiffImageDescription;
  params.ExifPresent = 1;
  params.SetDpiX(scratch.DpiX());
  params.SetDpiY(scratch.DpiY());

  // Second pass: the thumbnail in directory 1.
  TIOParamsVals thumbParams;
  thumbParams.SetImageIndex(1);
  thumbParams.SetThumbnailOnly(1);
  bool thumbAborted = false;
  TProgressRecord thumbProgress;
  thumbProgress.Aborted = &thumbAborted;
  TImageLimits small;
  small.MaxSide = kMaxThumbnailSide * 8;  // old-style JPEG thumbnails bring their own size
  small.MaxPixels = int64_t(kMaxThumbnailSide) * kMaxThumbnailSide * 4;
  thumbProgress.Limits = &small;
  TPxMemStream again(tiff, size);
  TPxBitmap& thumb = params.ExifThumbnail();
  ReadTiff(again, thumb, thumbParams, false, thumbProgress, nullptr, TTiffReadOptions{true, true});
  if (thumbAborted)
    thumb.ReleaseStorage(true);
  else if (!thumb.IsEmpty())
    ApplyOrientation(thumb, scratch.Orientation());  // the thumbnail is stored as the picture is
  return true;
}

void ReadTiffFormat(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                    TProgressRecord& progress, std::unique_ptr<TPxMask>& maskOut) {
  ReadTiff(stream, bitmap, params, paramsOnly, progress, &maskOut, {});
}

}  // namespace rv

namespace rv {

bool IsTiff(TStream& stream) {
  const int64_t start = stream.Position();
  const int64_t size = stream.Size();
  uint8_t h[8] = {};
  const int64_t got = std::max<int64_t>(stream.Read(h, 8), 0);
  // The 12-byte stream header ("TIFF" and a length) a picture component
  // writes before TIFF data.
  const char* text = reinterpret_cast<const char*>(h);
  if (size > 12 && std::string(text, strnlen(text, size_t(std::min<int64_t>(got, 5)))) == "TIFF") return true;

  if (size <= 8 || got < 8) return false;
  uint8_t at8 = 0;
  stream.Seek(8, soBeginning);
  const bool haveAt8 = stream.Read(&at8, 1) == 1;
  const bool little = h[0] == 'I' && h[1] == 'I';
  if (!little && !(h[0] == 'M' && h[1] == 'M')) return false;
  auto u16 = [little](const uint8_t* p) {
    return little ? uint16_t(p[0] | (p[1] << 8)) : uint16_t((p[0] << 8) | p[1]);
  };
  auto u32 = [little](const uint8_t* p) {
    return little ? uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24)
                  : (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
  };
  // The first directory's offset, as a signed 32-bit value, lies before the end.
  if (!(int32_t(u32(h + 4)) < size)) return false;
  // A big-endian header with 0xBA at stream offset 8 is not taken for TIFF.
  if (!little && haveAt8 && at8 == 0xBA) return false;

  // A camera raw file is a TIFF too; its first directory gives it away: a DNG
  // version, a CFA or linear-raw photometric interpretation, or sub-directories
  // beside a small (preview) image.
  const int64_t dir = start + u32(h + 4);
  stream.Seek(dir, soBeginning);
  uint8_t countBytes[2];
  if (stream.Read(countBytes, 2) != 2) return true;
  const int64_t count = u16(countBytes);
  std::vector<uint8_t> entries(size_t(count * 12));
  const int64_t present = count > 0 ? std::max<int64_t>(stream.Read(entries.data(), count * 12), 0) / 12 : 0;
  bool has330 = false, has37398 = false;
  int64_t width = 0, height = 0;
  for (int64_t i = 0; i < present; ++i) {
    const uint8_t* e = entries.data() + i * 12;
    const uint16_t tag = u16(e), type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    // A SHORT value sits in the first two bytes of the value field.
    const uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);
    if (tag == 50706 && type == 1 && n == 4) return false;
    if (tag == 262 && type == 3 && n == 1 && (value == 32803 || value == 34892)) return false;
    if (tag == 330) has330 = true;
    if (tag == 37398) has37398 = true;
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  return !(has330 && has37398 && width < 200 && height < 200);
}

}  // namespace rv
