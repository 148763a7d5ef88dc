#include "io/readers/bmpreader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

enum : uint32_t {
  kBiRgb = 0,
  kBiRle8 = 1,
  kBiRle4 = 2,
  kBiBitFields = 3,
  kBiJpeg = 4,
  kBiPng = 5,
  kBiAlphaBitFields = 6,
};

constexpr int64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kMaxHeaderSize = 124;  // BITMAPV5HEADER, the largest there is
// Uncompressed data is read in pieces of about this size: few calls, bounded
// scratch memory, and a chance to report progress and notice an abort.
constexpr int64_t kChunkBytes = int64_t(1) << 22;
// RLE can describe many pixels with few bytes (end-of-line and end-of-bitmap
// leave the rest undefined), but real files stay far below this: a run pair
// gives at most 255 pixels from 2 bytes. A tiny file claiming a huge picture
// is refused by the limits check with this bound instead of being allocated.
constexpr int64_t kRleMaxPixelsPerByte = 1024;

std::string At(int64_t offset) {
  return " at offset " + std::to_string(offset);
}

// One channel of bit-field data: where its bits are and how they become 8 bits.
struct TField {
  uint32_t mask = 0;
  int shift = 0;
  int width = 0;  // 0: the channel is absent
  std::array<uint8_t, 256> lut{};

  // False for a mask whose set bits are not one contiguous run.
  bool Set(uint32_t m) {
    mask = m;
    shift = width = 0;
    if (m == 0) return true;
    while (((m >> shift) & 1u) == 0) ++shift;
    const uint64_t run = uint64_t(m) >> shift;
    while (width < 32 && ((run >> width) & 1u) != 0) ++width;
    if ((run >> width) != 0) return false;
    if (width <= 8) {
      const uint32_t max = (1u << width) - 1;
      for (uint32_t v = 0; v <= max; ++v) lut[v] = uint8_t((v * 255 + max / 2) / max);
    }
    return true;
  }
  // Values scale to 0..255 with rounding, so 5-bit 31 gives 255, not 248.
  uint8_t Get(uint32_t pixel) const {
    if (width == 0) return 0;
    const uint32_t v = (pixel & mask) >> shift;
    if (width <= 8) return lut[v];
    const uint64_t max = (uint64_t(1) << width) - 1;
    return uint8_t((uint64_t(v) * 255 + max / 2) / max);
  }
};

struct TBmpHeader {
  int64_t start = 0;  // stream position where the BMP starts
  int64_t end = 0;    // first stream position past the BMP data
  uint32_t headerSize = 0;
  bool core = false;  // OS/2 1.x header: 16-bit sizes, 3-byte colour entries
  bool os2 = false;   // OS/2 2.x header: compression 3 and 4 mean Huffman and RLE24
  int64_t width = 0;
  int64_t height = 0;
  bool topDown = false;
  int planes = 0;
  int bitCount = 0;
  uint32_t compression = kBiRgb;
  int32_t xppm = 0;
  int32_t yppm = 0;
  uint32_t colorsUsed = 0;
  uint32_t masks[4] = {};  // red, green, blue, alpha
  bool haveMasks = false;  // masks come from the file (compression 3 or 6)
  int64_t tableStart = 0;
  int64_t dataOffset = 0;  // absolute position of the pixel data
  bool explicitOffset = false;
};

enum class TOutput { kMono, kMonoInverted, kIndexed, kColour };

class TBmpReader {
 public:
  TBmpReader(TStream& stream, TPxBitmap& bitmap, int32_t dataSize, bool ignoreAlpha,
             std::unique_ptr<TPxMask>& alphaMask, bool noFileHeader, bool paramsOnly, TProgressRecord& progress,
             TIOParamsVals& params, TBmpIconLayout* icon, int iconFallbackBitCount)
      : stream_(stream),
        bitmap_(bitmap),
        dataSize_(dataSize),
        ignoreAlpha_(ignoreAlpha),
        alphaMask_(alphaMask),
        noFileHeader_(noFileHeader || icon != nullptr),
        paramsOnly_(paramsOnly),
        progress_(progress),
        params_(params),
        icon_(icon),
        iconFallbackBitCount_(iconFallbackBitCount) {}

  void Run();

 private:
  bool Fail(const std::string& why) {
    progress_.Fail("BMP: " + why);
    return false;
  }
  int64_t ReadAt(int64_t position, void* buffer, int64_t count);
  bool ReadHeaders();
  bool ValidateLayout();
  bool SetUpFields();
  void ReadColorTable();
  void FillParams();
  void FillIconLayout();
  bool Allocate();
  int DestRow(int64_t fileRow) const { return int(h_.topDown ? fileRow : rows_ - 1 - fileRow); }

  void DecodeUncompressed();
  void ReadDirect24();
  void ConvertRow(const uint8_t* src, uint8_t* dst, int destRow);
  void ConvertIndexedRow(const uint8_t* src, uint8_t* dst);
  void Convert16Row(const uint8_t* src, uint8_t* dst, uint8_t* alpha);
  void Convert32Row(const uint8_t* src, uint8_t* dst, uint8_t* alpha);
  void DecodeRle();
  void FinishAlpha();
  void CheckIndexes();

  TStream& stream_;
  TPxBitmap& bitmap_;
  int32_t dataSize_;
  bool ignoreAlpha_;
  std::unique_ptr<TPxMask>& alphaMask_;
  bool noFileHeader_;
  bool paramsOnly_;
  TProgressRecord& progress_;
  TIOParamsVals& params_;
  TBmpIconLayout* icon_;
  int iconFallbackBitCount_;

  TBmpHeader h_;
  std::array<TColorBGR, 256> palette_{};  // zero-filled past the file's entries
  int paletteCount_ = 0;
  TOutput output_ = TOutput::kColour;
  bool native_ = false;
  TField fields_[4];  // red, green, blue, alpha
  bool standard32_ = false;
  bool alphaFromFile_ = false;  // this picture's data may carry alpha
  std::vector<uint32_t> lut16_;
  int64_t rows_ = 0;      // rows of the picture: the bitmap's height
  int64_t dataRows_ = 0;  // rows the uncompressed data reaches (fewer when the file ends early)
  int64_t rowBytes_ = 0;  // bytes of one file row, padded to 4
  uint32_t maxIndex_ = 0;
  uint8_t alphaOr_ = 0;
  uint8_t alphaAnd_ = 255;
  TPxMask* mask_ = nullptr;
};

int64_t TBmpReader::ReadAt(int64_t position, void* buffer, int64_t count) {
  if (position < h_.start || position >= h_.end || count <= 0) return 0;
  count = std::min(count, h_.end - position);
  if (stream_.Position() != position) stream_.Seek(position, soBeginning);
  return stream_.Read(buffer, count);
}

bool TBmpReader::ReadHeaders() {
  h_.start = stream_.Position();
  const int64_t size = stream_.Size();
  h_.end = dataSize_ > 0 ? std::min(size, h_.start + int64_t(dataSize_)) : size;
  int64_t pos = h_.start;
  uint32_t offBits = 0;
  if (!noFileHeader_) {
    uint8_t fh[kFileHeaderSize];
    if (ReadAt(pos, fh, kFileHeaderSize) != kFileHeaderSize || fh[0] != 'B' || fh[1] != 'M')
      return Fail("no \"BM\" signature" + At(pos));
    offBits = Le32(fh + 10);
    pos += kFileHeaderSize;
  }
  // A colour map of an earlier file must not survive into this one.
  params_.FreeColorMap();

  uint8_t hb[kMaxHeaderSize] = {};
  if (ReadAt(pos, hb, 4) != 4) return Fail("file ends before the information header" + At(pos));
  h_.headerSize = Le32(hb);
  const uint32_t hs = h_.headerSize;
  // Known sizes: 12 (OS/2 1.x), 16..64 (OS/2 2.x, which may be cut short),
  // 40, 52, 56 (Windows), 108 (V4), 124 (V5).
  if (!(hs == kCoreHeaderSize || (hs >= 16 && hs <= 64) || hs == 108 || hs == 124))
    return Fail("unknown header size " + std::to_string(hs) + At(pos));
  if (ReadAt(pos, hb, hs) != int64_t(hs)) return Fail("file ends inside the information header" + At(pos));
  h_.core = hs == kCoreHeaderSize;
  h_.os2 = hs >= 16 && hs <= 64 && hs != 40 && hs != 52 && hs != 56;
  if (h_.core) {
    h_.width = Le16(hb + 4);
    h_.height = Le16(hb + 6);
    h_.planes = Le16(hb + 8);
    h_.bitCount = Le16(hb + 10);
  } else {
    h_.width = int32_t(Le32(hb + 4));
    const int32_t height = int32_t(Le32(hb + 8));
    if (height == std::numeric_limits<int32_t>::min()) return Fail("height -2147483648" + At(pos + 8));
    h_.topDown = height < 0;
    h_.height = height < 0 ? -int64_t(height) : height;
    h_.planes = Le16(hb + 12);
    h_.bitCount = Le16(hb + 14);
    h_.compression = Le32(hb + 16);
    h_.xppm = int32_t(Le32(hb + 24));
    h_.yppm = int32_t(Le32(hb + 28));
    h_.colorsUsed = Le32(hb + 32);
  }
  if (icon_) {
    // The stored height counts the picture and the AND bitmap below it.
    const int64_t stored = h_.height;
    h_.height = stored / 2;
    if (h_.height == 0)
      return Fail("bitmap height " + std::to_string(stored) + " leaves no rows for the picture" +
                  At(pos + (h_.core ? 6 : 8)));
    if (h_.bitCount == 0) h_.bitCount = iconFallbackBitCount_;
    if (h_.bitCount == 0) return Fail("no bit count in the bitmap header, the entry or its colour count");
  }
  pos += hs;

  const bool bitFields = !h_.os2 && (h_.compression == kBiBitFields || h_.compression == kBiAlphaBitFields);
  if (bitFields) {
    h_.haveMasks = true;
    if (hs >= 52) {
      // V2 and later headers carry the masks inside (bytes 40..55).
      for (int i = 0; i < 3; ++i) h_.masks[i] = Le32(hb + 40 + 4 * i);
      if (hs >= 56) h_.masks[3] = Le32(hb + 52);
    } else {
      // After a 40-byte header the masks follow it, before any colour table.
      const int count = h_.compression == kBiAlphaBitFields ? 4 : 3;
      uint8_t mb[16] = {};
      if (ReadAt(pos, mb, 4 * count) != 4 * count) return Fail("file ends inside the bit-field masks" + At(pos));
      for (int i = 0; i < count; ++i) h_.masks[i] = Le32(mb + 4 * i);
      pos += 4 * count;
    }
  }
  h_.tableStart = pos;
  if (offBits != 0) {
    h_.explicitOffset = true;
    h_.dataOffset = h_.start + int64_t(offBits);
  }
  return true;
}

bool TBmpReader::ValidateLayout() {
  const int64_t at = h_.start + (noFileHeader_ ? 0 : kFileHeaderSize);
  if (h_.width <= 0) return Fail("width " + std::to_string(h_.width) + " is not positive" + At(at + 4));
  if (h_.height <= 0) return Fail("height 0" + At(at + (h_.core ? 6 : 8)));
  // Icon readers do not look at the planes of an icon's bitmap.
  if (h_.planes != 1 && !icon_)
    return Fail("planes " + std::to_string(h_.planes) + ", not 1" + At(at + (h_.core ? 8 : 12)));
  const int bits = h_.bitCount;
  // 24-bit pixels with bit fields that say what plain 24-bit pixels are.
  if (bits == 24 && h_.compression == kBiBitFields && !h_.os2 && h_.masks[0] == 0xFF0000 && h_.masks[1] == 0xFF00 &&
      h_.masks[2] == 0xFF) {
    h_.compression = kBiRgb;
    h_.haveMasks = false;
  }
  const uint32_t c = h_.compression;
  const std::string combo = "bit count " + std::to_string(bits) + " with compression " + std::to_string(c);
  bool valid = false;
  if (c == kBiRgb) {
    valid = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
  } else if (c == kBiRle8) {
    valid = bits == 8;
  } else if (c == kBiRle4) {
    valid = bits == 4;
  } else if (h_.os2 && (c == 3 || c == 4)) {
    return Fail(combo + " (OS/2 Huffman or RLE24) is not supported");
  } else if (c == kBiBitFields || c == kBiAlphaBitFields) {
    valid = bits == 16 || bits == 32;
  } else if (c == kBiJpeg || c == kBiPng) {
    return Fail(combo + " (embedded JPEG or PNG) is not supported");
  }
  if (!valid) return Fail(combo + " is not a valid combination" + At(at + 14));

  if (h_.explicitOffset) {
    if (h_.dataOffset < h_.tableStart)
      return Fail("pixel data offset " + std::to_string(h_.dataOffset - h_.start) + " lies inside the header");
    // Data ending right where the pixels start is a header-only file.
    if (h_.dataOffset > h_.end)
      return Fail("pixel data offset " + std::to_string(h_.dataOffset - h_.start) + " is past the end of the data (" +
                  std::to_string(h_.end - h_.start) + " bytes)");
  }
  return SetUpFields();
}

bool TBmpReader::SetUpFields() {
  const int bits = h_.bitCount;
  if (bits != 16 && bits != 32) return true;
  uint32_t* m = h_.masks;
  if (!h_.haveMasks) {
    if (bits == 16) {
      m[0] = 0x7C00, m[1] = 0x03E0, m[2] = 0x001F, m[3] = 0;
    } else {
      m[0] = 0xFF0000, m[1] = 0xFF00, m[2] = 0xFF, m[3] = 0;
    }
  }
  static const char* const names[4] = {"red", "green", "blue", "alpha"};
  uint32_t seen = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string which = std::string(names[i]) + " mask " + std::to_string(m[i]);
    if (m[i] == 0 && i < 3) return Fail(which + " is empty");
    if (bits == 16 && (m[i] >> 16) != 0) return Fail(which + " is wider than 16-bit pixels");
    if ((m[i] & seen) != 0) return Fail(which + " overlaps another channel");
    if (!fields_[i].Set(m[i])) return Fail(which + " is not one run of bits");
    seen |= m[i];
  }
  // 32-bit data without masks keeps the unused byte as alpha when it is used;
  // bit fields carry alpha only through an alpha mask.
  alphaFromFile_ = !ignoreAlpha_ && (h_.haveMasks ? m[3] != 0 : bits == 32);
  if (bits == 32 && !h_.haveMasks) {
    fields_[3].Set(0xFF000000u);
  }
  standard32_ = bits == 32 && m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF && (m[3] == 0 || m[3] == 0xFF000000u);
  return true;
}

void TBmpReader::ReadColorTable() {
  const int bits = h_.bitCount;
  const int64_t entrySize = h_.core ? 3 : 4;
  int64_t count;
  if (bits <= 8) {
    const int64_t full = int64_t(1) << bits;
    count = h_.core || h_.colorsUsed == 0 || h_.colorsUsed > full ? full : h_.colorsUsed;
  } else {
    // Informational only; more than 256 entries count as none.
    count = h_.colorsUsed <= 256 ? h_.colorsUsed : 0;
  }
  // Never past the pixel data (OS/2 files often store fewer entries than
  // 2^bits) nor past the end of the data. Without an offset the pixel data
  // follows the whole table, even when the file ends inside it.
  const int64_t limit = h_.explicitOffset ? h_.dataOffset : h_.end;
  const int64_t wanted = std::clamp<int64_t>(count, 0, 256);
  count = std::clamp<int64_t>(std::min(count, (limit - h_.tableStart) / entrySize), 0, 256);
  uint8_t raw[256 * 4];
  const int64_t got = ReadAt(h_.tableStart, raw, count * entrySize);
  count = got / entrySize;
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* e = raw + i * entrySize;
    palette_[size_t(i)] = TColorBGR{e[0], e[1], e[2]};
  }
  paletteCount_ = int(count);
  if (!h_.explicitOffset) h_.dataOffset = h_.tableStart + wanted * entrySize;
  params_.SetColorMap(count > 0 ? palette_.data() : nullptr, paletteCount_);
}

void TBmpReader::FillIconLayout() {
  TBmpIconLayout& l = *icon_;
  l.Width = h_.width;
  l.Height = h_.height;
  l.TopDown = h_.topDown;
  l.Core = h_.core;
  l.BitCount = h_.bitCount;
  l.Xppm = h_.xppm;
  l.Yppm = h_.yppm;
  const bool uncompressed =
      h_.compression == kBiRgb || h_.compression == kBiBitFields || h_.compression == kBiAlphaBitFields;
  l.AndStart = uncompressed ? h_.dataOffset - h_.start + RowLengthFor(h_.width, h_.bitCount) * h_.height : -1;
  l.AndRowBytes = RowLengthFor(h_.width, 1);
}

void TBmpReader::FillParams() {
  params_.Width = int32_t(h_.width);
  params_.Height = int32_t(h_.height);
  params_.BmpVersion = h_.headerSize == 64 ? 3 : h_.headerSize == 40 ? 1 : h_.headerSize == kCoreHeaderSize ? 2 : 0;
  params_.BmpRunLength = h_.compression == kBiRle8 || h_.compression == kBiRle4 ? 1 : 0;
  if (h_.core) {
    params_.SetDpiX(300);
    params_.SetDpiY(300);
  } else {
    // Pixels per metre to dots per inch, halves to even.
    auto dpi = [](int32_t ppm) {
      const int32_t v = int32_t(std::nearbyint(double(ppm) / 100.0 * 2.54));
      return v == 0 ? 300 : v;
    };
    params_.SetDpiX(dpi(h_.xppm));
    params_.SetDpiY(dpi(h_.yppm));
  }
  switch (h_.bitCount) {
    case 16:
      params_.BitsPerSample = 5;
      params_.SamplesPerPixel = 3;
      break;
    case 24:
      params_.BitsPerSample = 8;
      params_.SamplesPerPixel = 3;
      break;
    case 32:
      params_.BitsPerSample = 8;
      params_.SamplesPerPixel = 4;
      break;
    default:
      params_.BitsPerSample = h_.bitCount;
      params_.SamplesPerPixel = 1;
      break;
  }
}

bool TBmpReader::Allocate() {
  const bool rle = h_.compression == kBiRle8 || h_.compression == kBiRle4;
  rowBytes_ = RowLengthFor(h_.width, h_.bitCount);
  TImageHeader check;
  check.Format = "BMP";
  check.Offset = h_.start;
  check.Width = h_.width;
  check.Height = h_.height;
  check.BitsPerPixel = h_.bitCount;
  check.RowBytes = rowBytes_;
  // A file cut inside its colour table has no pixel byte at all.
  const int64_t dataBytes = std::max<int64_t>(h_.end - h_.dataOffset, 0);
  if (rle) {
    check.CompressedBytes = dataBytes;
    check.MaxPixelsPerByte = kRleMaxPixelsPerByte;
  } else {
    check.DataBytes = dataBytes;
  }
  const THeaderCheck result = CheckImageHeader(check, progress_);
  if (!result.Ok) return false;
  rows_ = h_.height;
  dataRows_ = result.RowsInData;

  native_ = params_.NativePixelFormat != 0;
  TPxBitmapFormat format = pxRGB24;
  const int bits = h_.bitCount;
  if (bits <= 8) {
    const TColorBGR black{0, 0, 0}, white{255, 255, 255};
    if (bits == 1 && paletteCount_ == 2 && palette_[0] == black && palette_[1] == white) {
      output_ = TOutput::kMono;
    } else if (bits == 1 && paletteCount_ == 2 && palette_[0] == white && palette_[1] == black) {
      output_ = TOutput::kMonoInverted;
    } else {
      output_ = native_ ? TOutput::kIndexed : TOutput::kColour;
    }
    if (output_ == TOutput::kMono || output_ == TOutput::kMonoInverted) format = pxMono1;
    if (output_ == TOutput::kIndexed) format = pxPalette8;
  }
  bitmap_.AllocatePixels(int(h_.width), int(rows_), format);
  if (format == pxPalette8) {
    for (int i = 0; i < 256; ++i) bitmap_.SetPaletteEntry(i, palette_[size_t(i)]);
    bitmap_.SetQuantizeColors(1 << bits);
  }
  if (alphaFromFile_) {
    if (!alphaMask_) alphaMask_ = std::make_unique<TPxMask>();
    alphaMask_->AllocateMask(int(h_.width), int(rows_), 8);
    alphaMask_->FillMask(255);
    mask_ = alphaMask_.get();
  }
  progress_.Scale = 100.0 / double(rows_);
  return true;
}

// ------------------------------------------------------------ uncompressed

void TBmpReader::ConvertIndexedRow(const uint8_t* src, uint8_t* dst) {
  const int w = int(h_.width);
  const int bits = h_.bitCount;
  uint32_t maxIndex = maxIndex_;
  if (bits == 8) {
    if (paletteCount_ < 256)
      for (int x = 0; x < w; ++x) maxIndex = std::max<uint32_t>(maxIndex, src[x]);
    if (output_ == TOutput::kIndexed) {
      std::memcpy(dst, src, size_t(w));
    } else {
      for (int x = 0; x < w; ++x) std::memcpy(dst + 3 * x, &palette_[src[x]], 3);
    }
  } else {
    const int perByte = 8 / bits;
    const uint32_t valueMask = (1u << bits) - 1;
    for (int x = 0; x < w; ++x) {
      const int shift = 8 - bits * (x % perByte + 1);
      const uint8_t index = uint8_t((src[x / perByte] >> shift) & valueMask);
      maxIndex = std::max<uint32_t>(maxIndex, index);
      if (output_ == TOutput::kIndexed)
        dst[x] = index;
      else
        std::memcpy(dst + 3 * x, &palette_[index], 3);
    }
  }
  maxIndex_ = maxIndex;
}

void TBmpReader::Convert16Row(const uint8_t* src, uint8_t* dst, uint8_t* alpha) {
  const int w = int(h_.width);
  uint8_t aOr = alphaOr_, aAnd = alphaAnd_;
  for (int x = 0; x < w; ++x) {
    const uint32_t v = Le16(src + 2 * x);
    uint32_t c;
    if (!lut16_.empty()) {
      c = lut16_[v];
    } else {
      c = uint32_t(fields_[2].Get(v)) | (uint32_t(fields_[1].Get(v)) << 8) | (uint32_t(fields_[0].Get(v)) << 16) |
          (uint32_t(fields_[3].Get(v)) << 24);
    }
    dst[3 * x] = uint8_t(c);
    dst[3 * x + 1] = uint8_t(c >> 8);
    dst[3 * x + 2] = uint8_t(c >> 16);
    if (alpha) {
      const uint8_t a = uint8_t(c >> 24);
      alpha[x] = a;
      aOr |= a;
      aAnd &= a;
    }
  }
  alphaOr_ = aOr;
  alphaAnd_ = aAnd;
}

void TBmpReader::Convert32Row(const uint8_t* src, uint8_t* dst, uint8_t* alpha) {
  const int w = int(h_.width);
  uint8_t aOr = alphaOr_, aAnd = alphaAnd_;
  if (standard32_) {
    for (int x = 0; x < w; ++x) {
      dst[3 * x] = src[4 * x];
      dst[3 * x + 1] = src[4 * x + 1];
      dst[3 * x + 2] = src[4 * x + 2];
    }
    if (alpha) {
      for (int x = 0; x < w; ++x) {
        const uint8_t a = src[4 * x + 3];
        alpha[x] = a;
        aOr |= a;
        aAnd &= a;
      }
    }
  } else {
    for (int x = 0; x < w; ++x) {
      const uint32_t v = Le32(src + 4 * x);
      dst[3 * x] = fields_[2].Get(v);
      dst[3 * x + 1] = fields_[1].Get(v);
      dst[3 * x + 2] = fields_[0].Get(v);
      if (alpha) {
        const uint8_t a = fields_[3].Get(v);
        alpha[x] = a;
        aOr |= a;
        aAnd &= a;
      }
    }
  }
  alphaOr_ = aOr;
  alphaAnd_ = aAnd;
}

void TBmpReader::ConvertRow(const uint8_t* src, uint8_t* dst, int destRow) {
  uint8_t* alpha = mask_ ? mask_->MaskRow(destRow) : nullptr;
  switch (h_.bitCount) {
    case 1:
      if (output_ == TOutput::kMono) {
        std::memcpy(dst, src, size_t(rowBytes_));
        break;
      }
      if (output_ == TOutput::kMonoInverted) {
        for (int64_t i = 0; i < rowBytes_; ++i) dst[i] = uint8_t(~src[i]);
        break;
      }
      [[fallthrough]];
    case 2:
    case 4:
    case 8:
      ConvertIndexedRow(src, dst);
      break;
    case 16:
      Convert16Row(src, dst, alpha);
      break;
    case 24:
      std::memcpy(dst, src, size_t(h_.width) * 3);
      break;
    case 32:
      Convert32Row(src, dst, alpha);
      break;
  }
}

// 24-bit bottom-up data in an in-memory bitmap has exactly the bitmap's row
// layout, so whole runs of rows are read straight into the pixel block.
void TBmpReader::ReadDirect24() {
  const int64_t rowsPerChunk = std::max<int64_t>(1, kChunkBytes / rowBytes_);
  int64_t pos = h_.dataOffset;
  for (int64_t fileRow = 0; fileRow < dataRows_ && !progress_.IsAborted();) {
    const int64_t n = std::min(rowsPerChunk, dataRows_ - fileRow);
    uint8_t* dst = bitmap_.RowPointer(DestRow(fileRow));  // lowest address of the n rows
    const int64_t want = n * rowBytes_;
    const int64_t got = ReadAt(pos, dst, want);
    if (got < want) std::memset(dst + std::max<int64_t>(got, 0), 0, size_t(want - std::max<int64_t>(got, 0)));
    pos += want;
    fileRow += n;
    progress_.Report(fileRow);
  }
}

void TBmpReader::DecodeUncompressed() {
  std::optional<TPxAccessGuard> access(
      std::in_place, bitmap_, kAccessWrite);  // whole rows are written: a file-backed row need not be read first
  if (h_.bitCount == 24 && !h_.topDown && bitmap_.Location() == pxInMemory && rowBytes_ == bitmap_.RowLength()) {
    ReadDirect24();
  } else if (h_.bitCount == 24) {
    // One read per row, straight into the row.
    int64_t pos = h_.dataOffset;
    for (int64_t fileRow = 0; fileRow < dataRows_ && !progress_.IsAborted(); ++fileRow, pos += rowBytes_) {
      uint8_t* dst = bitmap_.RowPointer(DestRow(fileRow));
      const int64_t got = std::max<int64_t>(ReadAt(pos, dst, rowBytes_), 0);
      if (got < rowBytes_) std::memset(dst + got, 0, size_t(rowBytes_ - got));
      if ((fileRow & 63) == 63) progress_.Report(fileRow + 1);
    }
  } else {
    // A table of every 16-bit value pays off only for pictures larger than it.
    if (h_.bitCount == 16 && h_.width * dataRows_ > 65536) {
      lut16_.resize(65536);
      for (uint32_t v = 0; v < 65536; ++v)
        lut16_[v] = uint32_t(fields_[2].Get(v)) | (uint32_t(fields_[1].Get(v)) << 8) |
                    (uint32_t(fields_[0].Get(v)) << 16) | (uint32_t(fields_[3].Get(v)) << 24);
    }
    const int64_t rowsPerChunk = std::max<int64_t>(1, kChunkBytes / rowBytes_);
    std::vector<uint8_t> buffer(size_t(std::min(rowsPerChunk, dataRows_) * rowBytes_));
    int64_t pos = h_.dataOffset;
    for (int64_t fileRow = 0; fileRow < dataRows_ && !progress_.IsAborted();) {
      const int64_t n = std::min(rowsPerChunk, dataRows_ - fileRow);
      const int64_t want = n * rowBytes_;
      const int64_t got = std::max<int64_t>(ReadAt(pos, buffer.data(), want), 0);
      // A final partial row is completed with zeros.
      if (got < want) std::memset(buffer.data() + got, 0, size_t(want - got));
      for (int64_t i = 0; i < n; ++i) {
        const int row = DestRow(fileRow + i);
        ConvertRow(buffer.data() + i * rowBytes_, bitmap_.RowPointer(row), row);
      }
      pos += want;
      fileRow += n;
      progress_.Report(fileRow);
    }
  }
  // The file ended early: the rows it does not reach are cleared (black, or
  // palette index 0 when indexed); their alpha stays opaque.
  for (int64_t fileRow = dataRows_; fileRow < rows_; ++fileRow)
    std::memset(bitmap_.RowPointer(DestRow(fileRow)), 0, size_t(bitmap_.RowLength()));
  access.reset();
  progress_.Report(rows_);
}

// ------------------------------------------------------------ run-length

void TBmpReader::DecodeRle() {
  const bool rle8 = h_.compression == kBiRle8;
  const int64_t available = std::max<int64_t>(h_.end - h_.dataOffset, 0);
  // Worst case a pixel costs 2 bytes (runs of 1) plus a few bytes per row;
  // anything beyond cannot be pixel data of this picture.
  const int64_t useful = 2 * h_.width * rows_ + 8 * rows_ + 4096;
  std::vector<uint8_t> data(size_t(std::min(available, useful)));
  data.resize(size_t(std::max<int64_t>(ReadAt(h_.dataOffset, data.data(), int64_t(data.size())), 0)));

  // Pixels never written are zero: black, or palette entry 0 when indexed.
  bitmap_.FillWith(0);
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessReadWrite);

  const bool indexed = output_ == TOutput::kIndexed;
  const int64_t width = h_.width;
  const uint8_t* p = data.data();
  const uint8_t* const end = p + data.size();
  int64_t fileRow = 0, x = 0;
  uint8_t* row = bitmap_.RowPointer(DestRow(0));
  uint32_t maxIndex = 0;
  auto put = [&](uint8_t index) {
    if (indexed)
      row[x] = index;
    else
      std::memcpy(row + 3 * x, &palette_[index], 3);
    ++x;
  };
  // Pixels past the last column are dropped and decoding goes on: writers
  // encode the row padding of odd widths too (a 213-pixel row as 216), and a
  // delta past the row end only moves the cursor out of the picture.
  while (end - p >= 2) {
    const uint8_t n = p[0], v = p[1];
    p += 2;
    if (n > 0) {
      // An encoded run.
      const int64_t count = std::min<int64_t>(n, width - x);
      if (rle8) {
        if (count > 0) maxIndex = std::max<uint32_t>(maxIndex, v);
        if (indexed) {
          std::memset(row + x, v, size_t(count));
          x += count;
        } else {
          const TColorBGR c = palette_[v];
          uint8_t* d = row + 3 * x;
          for (int64_t i = 0; i < count; ++i, d += 3) std::memcpy(d, &c, 3);
          x += count;
        }
      } else {
        const uint8_t hi = v >> 4, lo = v & 15;
        if (count > 0) maxIndex = std::max<uint32_t>(maxIndex, std::max<uint32_t>(count > 1 ? lo : 0, hi));
        for (int64_t i = 0; i < count; ++i) put((i & 1) ? lo : hi);
      }
      continue;
    }
    if (v == 0) {
      // End of line.
      ++fileRow;
      x = 0;
      if (fileRow >= rows_) break;
      row = bitmap_.RowPointer(DestRow(fileRow));
      progress_.Report(fileRow);
      if (progress_.IsAborted()) break;
      continue;
    }
    if (v == 1) break;  // end of bitmap
    if (v == 2) {
      if (end - p < 2) break;
      const int64_t dx = p[0], dy = p[1];
      p += 2;
      // Below the last row nothing more can be drawn.
      if (fileRow + dy >= rows_) break;
      x = std::min(x + dx, width);
      if (dy > 0) {
        fileRow += dy;
        row = bitmap_.RowPointer(DestRow(fileRow));
        progress_.Report(fileRow);
        if (progress_.IsAborted()) break;
      }
      continue;
    }
    // An absolute run of v pixels, padded to a 16-bit boundary.
    const int64_t bytes = rle8 ? v : (v + 1) / 2;
    const int64_t present = std::min<int64_t>(rle8 ? end - p : 2 * (end - p), v);  // pixels the data still holds
    const int64_t count = std::min<int64_t>(present, width - x);
    for (int64_t i = 0; i < count; ++i) {
      const uint8_t index = rle8 ? p[i] : ((i & 1) ? (p[i / 2] & 15) : (p[i / 2] >> 4));
      maxIndex = std::max<uint32_t>(maxIndex, index);
      put(index);
    }
    if (present < v) break;  // the data ends inside the run
    p += std::min<int64_t>(bytes + (bytes & 1), end - p);
  }
  maxIndex_ = std::max(maxIndex_, maxIndex);
  access.reset();
  progress_.Report(rows_);
}

// ------------------------------------------------------------ finishing

void TBmpReader::FinishAlpha() {
  if (!mask_) return;
  // All 0 is the unused fourth byte of most 32-bit writers; all 255 is opaque.
  if (alphaOr_ == 0 || alphaAnd_ == 255) {
    alphaMask_.reset();
    mask_ = nullptr;
    return;
  }
  mask_->SetAllSet(false);
  mask_->RecomputeBox();
}

void TBmpReader::CheckIndexes() {
  if (h_.bitCount > 8 || output_ == TOutput::kMono || output_ == TOutput::kMonoInverted) return;
  if (maxIndex_ >= uint32_t(paletteCount_))
    Fail("pixel index " + std::to_string(maxIndex_) + " past the colour table of " + std::to_string(paletteCount_) +
         " entries (shown black)");
}

void TBmpReader::Run() {
  if (!ReadHeaders() || !ValidateLayout()) return;
  ReadColorTable();
  FillParams();
  if (icon_) FillIconLayout();
  if (paramsOnly_) return;
  if (!Allocate()) return;
  if (h_.compression == kBiRle8 || h_.compression == kBiRle4)
    DecodeRle();
  else
    DecodeUncompressed();
  FinishAlpha();
  // A caller's abort is not the file's fault.
  if (!progress_.IsAborted()) CheckIndexes();
}

}  // namespace

TBmpReadResult ReadBmp(TReadContext& ctx, const TBmpReadOptions& options) {
  TBmpReadResult result;
  std::unique_ptr<TPxMask> spare;
  TBmpReader reader(ctx.Stream, ctx.Bitmap, options.DataSize, options.IgnoreAlpha, MaskSlot(ctx, spare),
                    options.NoFileHeader, ctx.ParamsOnly, ctx.Progress, ctx.Params,
                    options.IconEntry ? &result.IconLayout : nullptr, options.IconFallbackBitCount);
  reader.Run();
  return result;
}

}  // namespace rv

namespace rv {

bool IsBmp(TStream& stream) {
  // More than the 14-byte file header.
  if (stream.Size() <= 14) return false;
  uint8_t h[2];
  return stream.Read(h, 2) == 2 && h[0] == 'B' && h[1] == 'M';
}

}  // namespace rv
