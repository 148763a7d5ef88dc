#include "io/readers/tgareader.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "io/readers/chunksource.h"
#include "io/readers/rowkernel.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

constexpr int64_t kHeaderSize = 18;
constexpr int64_t kFooterSize = 26;
constexpr int64_t kExtensionSize = 495;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // with its zero byte: 18 bytes
// A two-byte packet (header and one 8-bit pixel) repeats at most 128 pixels.
constexpr int64_t kRleMaxPixelsPerByte = 64;

// Text of a fixed-size field, cut at its first zero byte.
std::string FieldText(const uint8_t* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n));
}

// Run-length packets. A packet that passes the end of the pixels asked for
// keeps its rest for the next call, so packets cross rows freely.
class TTgaRle {
 public:
  TTgaRle(TChunkSource& source, int pixelBytes) : src_(source), ps_(pixelBytes) {}

  // Produces up to n pixels into out; fewer only when the data ends.
  int64_t Fill(uint8_t* out, int64_t n) {
    int64_t i = 0;
    while (i < n) {
      if (left_ == 0) {
        if (src_.p == src_.e && !src_.Refill()) break;
        const uint8_t h = *src_.p++;
        left_ = (h & 0x7F) + 1;
        repeat_ = (h & 0x80) != 0;
        if (repeat_ && src_.Copy(value_, ps_) != ps_) {
          left_ = 0;
          break;
        }
      }
      const int64_t k = std::min(left_, n - i);
      uint8_t* d = out + i * ps_;
      if (repeat_) {
        switch (ps_) {
          case 1:
            std::memset(d, value_[0], size_t(k));
            break;
          case 3:
            for (int64_t j = 0; j < k; ++j, d += 3) std::memcpy(d, value_, 3);
            break;
          case 4:
            for (int64_t j = 0; j < k; ++j, d += 4) std::memcpy(d, value_, 4);
            break;
          default:
            for (int64_t j = 0; j < k; ++j, d += ps_) std::memcpy(d, value_, size_t(ps_));
            break;
        }
      } else {
        const int64_t got = src_.Copy(d, k * ps_);
        if (got < k * ps_) {
          left_ = 0;
          return i + got / ps_;
        }
      }
      i += k;
      left_ -= k;
    }
    return i;
  }

 private:
  TChunkSource& src_;
  int ps_;
  int64_t left_ = 0;
  bool repeat_ = false;
  uint8_t value_[4] = {};
};

RV_ROW_KERNEL void BgraToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    dst[3 * x] = src[4 * x];
    dst[3 * x + 1] = src[4 * x + 1];
    dst[3 * x + 2] = src[4 * x + 2];
  }
}

// The fourth byte of each pixel into alpha; *anyBits and *allBits collect
// the OR and the AND of the values.
RV_ROW_KERNEL void AlphaOfBgra(const uint8_t* __restrict src, uint8_t* __restrict alpha, int64_t w, uint8_t* anyBits,
                               uint8_t* allBits) {
  uint8_t o = *anyBits, a = *allBits;
  for (int64_t x = 0; x < w; ++x) {
    const uint8_t v = src[4 * x + 3];
    alpha[x] = v;
    o |= v;
    a &= v;
  }
  *anyBits = o;
  *allBits = a;
}

enum class TPixelKind {
  kMono,       // 1 bit
  kBlack,      // 4 bits: not decoded
  kIndexed,    // 8 bits through the colour table
  kRgb16,      // 5-5-5
  kGrayAlpha,  // 16-bit gray pictures: gray byte, alpha byte
  kRgb24,
  kRgb32,
};

struct TTgaHeader {
  int64_t start = 0;
  int64_t end = 0;
  int idLength = 0;
  int mapType = 0;
  int imageType = 0;
  int64_t mapFirst = 0;
  int64_t mapLength = 0;
  int mapEntryBits = 0;
  int xOrigin = 0;
  int yOrigin = 0;
  int64_t width = 0;
  int64_t height = 0;
  int depth = 0;
  int descriptor = 0;
  int64_t dataStart = 0;
  bool rle() const { return imageType >= 9; }
  bool gray() const { return imageType == 3 || imageType == 11; }
  int alphaBits() const { return descriptor & 15; }
  bool topDown() const { return (descriptor & 0x20) != 0; }
  bool rightToLeft() const { return (descriptor & 0x10) != 0; }
};

class TTgaReader {
 public:
  TTgaReader(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
             std::unique_ptr<TPxMask>& mask, bool paramsOnly, TProgressRecord& progress)
      : stream_(stream),
        bitmap_(bitmap),
        params_(params),
        ignoreAlpha_(ignoreAlpha),
        maskOut_(mask),
        paramsOnly_(paramsOnly),
        progress_(progress) {}

  void Run();

 private:
  bool Fail(const std::string& why) {
    progress_.Fail("TGA: " + why);
    return false;
  }
  void ReadFooter();
  bool ReadHeader();
  bool ReadColorMap();
  void FillParams();
  bool Allocate();
  void Decode();
  // Converts the first w pixels of a row (all of it for 1-bit pixels).
  void ConvertRow(const uint8_t* src, uint8_t* dst, uint8_t* alpha, int64_t w);
  void Mirror(uint8_t* dst, uint8_t* alpha) const;
  int DestRow(int64_t fileRow) const { return int(h_.topDown() ? fileRow : rows_ - 1 - fileRow); }

  TStream& stream_;
  TPxBitmap& bitmap_;
  TIOParamsVals& params_;
  bool ignoreAlpha_;
  std::unique_ptr<TPxMask>& maskOut_;
  bool paramsOnly_;
  TProgressRecord& progress_;

  TTgaHeader h_;
  TPixelKind kind_ = TPixelKind::kRgb24;
  int pixelBytes_ = 3;
  std::array<TColorBGR, 256> table_{};  // black past the map's entries
  std::array<uint8_t, 256> tableAlpha_{};
  bool mapHasAlpha_ = false;
  bool hasFileMap_ = false;
  std::vector<TColorBGR> fileMap_;
  TPxMask* mask_ = nullptr;
  int64_t rows_ = 0;
  uint8_t alphaOr_ = 0;
  uint8_t alphaAnd_ = 255;
};

void TTgaReader::ReadFooter() {
  params_.TgaAuthor.clear();
  params_.TgaJobName.clear();
  params_.TgaDate = std::chrono::system_clock::now();
  params_.TgaKeyColor = TColorBGR{};
  params_.TgaAspectRatio = 1.0;
  params_.TgaGamma = 2.2;
  if (h_.end - h_.start < kHeaderSize + kFooterSize) return;
  uint8_t f[kFooterSize];
  stream_.Seek(h_.end - kFooterSize, soBeginning);
  if (stream_.Read(f, kFooterSize) != kFooterSize || std::memcmp(f + 8, kFooterSignature, 18) != 0) return;
  const int64_t offset = Le32(f);
  // No extension area, or one that does not lie whole inside the file.
  if (offset < kHeaderSize || h_.start + offset + kExtensionSize > h_.end - kFooterSize) return;
  uint8_t x[kExtensionSize];
  stream_.Seek(h_.start + offset, soBeginning);
  if (stream_.Read(x, kExtensionSize) != kExtensionSize) return;
  params_.TgaAuthor = FieldText(x + 2, 41);
  params_.TgaJobName = FieldText(x + 379, 41);
  using namespace std::chrono;
  const int month = Le16(x + 367), day = Le16(x + 369), year = Le16(x + 371);
  const int hour = Le16(x + 373), minute = Le16(x + 375), second = Le16(x + 377);
  const year_month_day date{std::chrono::year(year), std::chrono::month(unsigned(month)),
                            std::chrono::day(unsigned(day))};
  // The clock counts nanoseconds, which reach only the years 1678 to 2261;
  // year 0 is how most writers say "no date".
  if (date.ok() && year >= 1900 && year < 2200 && hour < 24 && minute < 60 && second < 60)
    params_.TgaDate = sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
  params_.TgaKeyColor = TColorBGR{x[470], x[471], x[472]};
  const uint16_t aspectNum = Le16(x + 474), aspectDen = Le16(x + 476);
  if (aspectNum != 0 && aspectDen != 0) params_.TgaAspectRatio = double(aspectNum) / aspectDen;
  const uint16_t gammaNum = Le16(x + 478), gammaDen = Le16(x + 480);
  if (gammaNum != 0 && gammaDen != 0) params_.TgaGamma = double(gammaNum) / gammaDen;
}

bool TTgaReader::ReadHeader() {
  uint8_t b[kHeaderSize];
  stream_.Seek(h_.start, soBeginning);
  if (h_.end - h_.start < kHeaderSize || stream_.Read(b, kHeaderSize) != kHeaderSize)
    return Fail("file ends inside the 18-byte header at offset " + std::to_string(h_.start));
  h_.idLength = b[0];
  h_.mapType = b[1];
  h_.imageType = b[2];
  h_.mapFirst = Le16(b + 3);
  h_.mapLength = Le16(b + 5);
  h_.mapEntryBits = b[7];
  h_.xOrigin = Le16(b + 8);
  h_.yOrigin = Le16(b + 10);
  h_.width = Le16(b + 12);
  h_.height = Le16(b + 14);
  h_.depth = b[16];
  h_.descriptor = b[17];
  const std::string at = " at offset ";
  const int t = h_.imageType;
  if (!(t == 1 || t == 2 || t == 3 || t == 9 || t == 10 || t == 11))
    return Fail("image type " + std::to_string(t) + at + std::to_string(h_.start + 2));
  const int d = h_.depth;
  if (!(d == 1 || d == 4 || d == 8 || d == 15 || d == 16 || d == 24 || d == 32))
    return Fail("pixel depth " + std::to_string(d) + at + std::to_string(h_.start + 16));
  if (h_.mapType > 1) return Fail("colour-map type " + std::to_string(h_.mapType) + at + std::to_string(h_.start + 1));
  if (h_.rle() && d < 8) return Fail("run-length data of " + std::to_string(d) + "-bit pixels");
  const int e = h_.mapEntryBits;
  if (h_.mapType == 1 && h_.mapLength > 0 && !(e == 8 || e == 15 || e == 16 || e == 24 || e == 32))
    return Fail("colour-map entry size " + std::to_string(e) + " bits" + at + std::to_string(h_.start + 7));

  switch (d) {
    case 1:
      kind_ = TPixelKind::kMono;
      break;
    case 4:
      kind_ = TPixelKind::kBlack;
      break;
    case 8:
      kind_ = TPixelKind::kIndexed;
      break;
    case 15:
    case 16:
      kind_ = h_.gray() ? TPixelKind::kGrayAlpha : TPixelKind::kRgb16;
      break;
    case 24:
      kind_ = TPixelKind::kRgb24;
      break;
    default:
      kind_ = TPixelKind::kRgb32;
      break;
  }
  pixelBytes_ = (d + 7) / 8;

  // The image ID.
  uint8_t id[255];
  const int64_t got = std::max<int64_t>(stream_.Read(id, h_.idLength), 0);
  params_.TgaImageName = FieldText(id, size_t(got));
  h_.dataStart = h_.start + kHeaderSize + h_.idLength;
  return ReadColorMap();
}

bool TTgaReader::ReadColorMap() {
  hasFileMap_ = h_.mapType == 1 && h_.mapLength > 0;
  fileMap_.clear();
  // Pixel values without an entry are black and opaque.
  tableAlpha_.fill(255);
  if (hasFileMap_) {
    const int entryBytes = (h_.mapEntryBits + 7) / 8;
    const int64_t bytes = h_.mapLength * entryBytes;
    std::vector<uint8_t> raw(static_cast<size_t>(bytes));
    stream_.Seek(h_.dataStart, soBeginning);
    const int64_t got = std::max<int64_t>(stream_.Read(raw.data(), bytes), 0);
    const int64_t count = got / entryBytes;
    mapHasAlpha_ = h_.mapEntryBits == 32;
    for (int64_t i = 0; i < count; ++i) {
      const uint8_t* p = raw.data() + i * entryBytes;
      TColorBGR c;
      uint8_t a = 255;
      if (entryBytes == 1) {
        c = MakeBGR(p[0], p[0], p[0]);  // 8-bit entries are gray levels
      } else if (entryBytes == 2) {
        const uint16_t v = Le16(p);
        c = MakeBGR(uint8_t(((v >> 10) & 31) << 3), uint8_t(((v >> 5) & 31) << 3), uint8_t((v & 31) << 3));
      } else {
        c = TColorBGR{p[0], p[1], p[2]};
        if (entryBytes == 4) a = p[3];
      }
      if (fileMap_.size() < 256) fileMap_.push_back(c);
      // Entry i stands for the pixel value first index + i; the 8-bit
      // pixels reach no value past 255.
      const int64_t index = h_.mapFirst + i;
      if (index < 256) {
        table_[size_t(index)] = c;
        tableAlpha_[size_t(index)] = a;
      }
    }
    h_.dataStart += bytes;
  }
  // Gray pictures, and 8-bit pictures without a map, show their values as gray.
  if (kind_ == TPixelKind::kIndexed && (h_.gray() || !hasFileMap_)) {
    for (int i = 0; i < 256; ++i) table_[size_t(i)] = MakeBGR(uint8_t(i), uint8_t(i), uint8_t(i));
    tableAlpha_.fill(255);
    mapHasAlpha_ = false;
  }
  return true;
}

void TTgaReader::FillParams() {
  params_.Width = int32_t(h_.width);
  params_.Height = int32_t(h_.height);
  params_.SetDpiX(300);
  params_.SetDpiY(300);
  params_.TgaXOrigin = h_.xOrigin;
  params_.TgaYOrigin = h_.yOrigin;
  params_.TgaRunLength = h_.rle() ? 1 : 0;
  params_.TgaGrayscale = kind_ == TPixelKind::kIndexed && (h_.gray() || !hasFileMap_) ? 1 : 0;
  switch (kind_) {
    case TPixelKind::kMono:
    case TPixelKind::kBlack:
    case TPixelKind::kIndexed:
      params_.BitsPerSample = h_.depth;
      params_.SamplesPerPixel = 1;
      break;
    case TPixelKind::kRgb16:
      params_.BitsPerSample = 5;
      params_.SamplesPerPixel = 3;
      break;
    case TPixelKind::kGrayAlpha:
      params_.BitsPerSample = 8;
      params_.SamplesPerPixel = 2;
      break;
    case TPixelKind::kRgb24:
      params_.BitsPerSample = 8;
      params_.SamplesPerPixel = 3;
      break;
    case TPixelKind::kRgb32:
      params_.BitsPerSample = 8;
      params_.SamplesPerPixel = 4;
      break;
  }
  if (hasFileMap_) {
    params_.SetColorMap(fileMap_.data(), int32_t(fileMap_.size()));
  } else {
    params_.FreeColorMap();
  }
}

bool TTgaReader::Allocate() {
  TImageHeader check;
  check.Format = "TGA";
  check.Offset = h_.start;
  check.Width = h_.width;
  check.Height = h_.height;
  check.BitsPerPixel = h_.depth == 15 ? 16 : h_.depth;
  if (h_.rle()) {
    check.CompressedBytes = std::max<int64_t>(h_.end - h_.dataStart, 0);
    check.MaxPixelsPerByte = kRleMaxPixelsPerByte;
  } else {
    check.DataBytes = std::max<int64_t>(h_.end - h_.dataStart, 0);
  }
  // A file that ends early keeps the header's size: Decode clears the rest.
  if (!CheckImageHeader(check, progress_).Ok) return false;
  rows_ = h_.height;
  bitmap_.AllocatePixels(int(h_.width), int(rows_), kind_ == TPixelKind::kMono ? pxMono1 : pxRGB24);
  const bool alpha = (kind_ == TPixelKind::kRgb32 && h_.alphaBits() > 0) ||
                     (kind_ == TPixelKind::kGrayAlpha && h_.alphaBits() > 0) ||
                     (kind_ == TPixelKind::kIndexed && mapHasAlpha_);
  if (alpha && !ignoreAlpha_) {
    if (!maskOut_) maskOut_ = std::make_unique<TPxMask>();
    maskOut_->AllocateMask(int(h_.width), int(rows_), 8);
    maskOut_->FillMask(255);
    mask_ = maskOut_.get();
  }
  progress_.Scale = 100.0 / double(rows_);
  return true;
}

void TTgaReader::ConvertRow(const uint8_t* src, uint8_t* dst, uint8_t* alpha, int64_t w) {
  uint8_t aOr = alphaOr_, aAnd = alphaAnd_;
  switch (kind_) {
    case TPixelKind::kMono:
      std::memcpy(dst, src, size_t((h_.width + 7) / 8));
      break;
    case TPixelKind::kBlack:
      std::memset(dst, 0, size_t(3 * w));
      break;
    case TPixelKind::kIndexed:
      for (int64_t x = 0; x < w; ++x) std::memcpy(dst + 3 * x, &table_[src[x]], 3);
      if (alpha) {
        for (int64_t x = 0; x < w; ++x) {
          const uint8_t a = tableAlpha_[src[x]];
          alpha[x] = a;
          aOr |= a;
          aAnd &= a;
        }
      }
      break;
    case TPixelKind::kRgb16:
      for (int64_t x = 0; x < w; ++x) {
        const unsigned v = Le16(src + 2 * x);
        dst[3 * x] = uint8_t((v & 31) << 3);
        dst[3 * x + 1] = uint8_t(((v >> 5) & 31) << 3);
        dst[3 * x + 2] = uint8_t(((v >> 10) & 31) << 3);
      }
      break;
    case TPixelKind::kGrayAlpha:
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t g = src[2 * x];
        dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = g;
      }
      if (alpha) {
        for (int64_t x = 0; x < w; ++x) {
          const uint8_t a = src[2 * x + 1];
          alpha[x] = a;
          aOr |= a;
          aAnd &= a;
        }
      }
      break;
    case TPixelKind::kRgb24:
      std::memcpy(dst, src, size_t(3 * w));
      break;
    case TPixelKind::kRgb32:
      BgraToBgr(src, dst, w);
      if (alpha) AlphaOfBgra(src, alpha, w, &aOr, &aAnd);
      break;
  }
  alphaOr_ = aOr;
  alphaAnd_ = aAnd;
}

// Right-to-left rows: the first stored pixel is the rightmost one.
void TTgaReader::Mirror(uint8_t* dst, uint8_t* alpha) const {
  const int64_t w = h_.width;
  if (kind_ == TPixelKind::kMono) {
    for (int64_t x = 0, y = w - 1; x < y; ++x, --y) {
      const bool a = (dst[x >> 3] >> (7 - (x & 7))) & 1, b = (dst[y >> 3] >> (7 - (y & 7))) & 1;
      if (a == b) continue;
      dst[x >> 3] ^= uint8_t(0x80 >> (x & 7));
      dst[y >> 3] ^= uint8_t(0x80 >> (y & 7));
    }
    return;
  }
  for (int64_t x = 0, y = w - 1; x < y; ++x, --y) {
    std::swap_ranges(dst + 3 * x, dst + 3 * x + 3, dst + 3 * y);
    if (alpha) std::swap(alpha[x], alpha[y]);
  }
}

void TTgaReader::Decode() {
  const int64_t w = h_.width;
  const int64_t rowBytes = (w * (h_.depth == 15 ? 16 : h_.depth) + 7) / 8;
  std::vector<uint8_t> scratch(static_cast<size_t>(rowBytes));
  std::vector<uint8_t> alphaRow(mask_ ? size_t(w) : 0);
  TChunkSource source(stream_, h_.dataStart, h_.end);
  TTgaRle rle(source, pixelBytes_);
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessWrite);  // whole rows are written
  int64_t fileRow = 0;
  bool ended = false;
  for (; fileRow < rows_ && !ended && !progress_.IsAborted(); ++fileRow) {
    const uint8_t* src;
    int64_t got;
    if (h_.rle()) {
      got = rle.Fill(scratch.data(), w) * pixelBytes_;
      src = scratch.data();
    } else {
      src = source.Take(rowBytes, scratch.data(), &got);
    }
    // Rows the data does not reach are cleared below, not decoded from zeros.
    if (got == 0) break;
    if (got < rowBytes) {
      // The data ends in this row: the rest of it is black.
      if (src != scratch.data()) std::memcpy(scratch.data(), src, size_t(got));
      std::memset(scratch.data() + got, 0, size_t(rowBytes - got));
      src = scratch.data();
      ended = true;
    }
    const int row = DestRow(fileRow);
    uint8_t* alpha = mask_ ? alphaRow.data() : nullptr;
    uint8_t* dst = bitmap_.RowPointer(row);
    // In a row the data ends in, the pixels it does not reach at all are
    // black and opaque, like the rows it does not reach.
    const int64_t reached = got < rowBytes ? (got + pixelBytes_ - 1) / pixelBytes_ : w;
    ConvertRow(src, dst, alpha, reached);
    if (reached < w && kind_ != TPixelKind::kMono) {
      std::memset(dst + 3 * reached, 0, size_t(3 * (w - reached)));
      if (alpha) std::memset(alpha + reached, 255, size_t(w - reached));
    }
    if (h_.rightToLeft()) Mirror(dst, alpha);
    if (mask_) std::memcpy(mask_->MaskRow(row), alphaRow.data(), size_t(w));
    if ((fileRow & 63) == 63) progress_.Report(fileRow + 1);
  }
  // Rows the data did not reach are black (opaque where there is a mask).
  for (int64_t r = fileRow; r < rows_; ++r) std::memset(bitmap_.RowPointer(DestRow(r)), 0, size_t(bitmap_.RowLength()));
  access.reset();
  progress_.Report(rows_);

  if (mask_) {
    if (alphaOr_ == 0 || alphaAnd_ == 255) {
      maskOut_.reset();
      mask_ = nullptr;
    } else {
      mask_->SetAllSet(false);
      mask_->RecomputeBox();
    }
  }
}

void TTgaReader::Run() {
  h_.start = stream_.Position();
  h_.end = stream_.Size();
  ReadFooter();
  if (!ReadHeader()) return;
  FillParams();
  if (paramsOnly_) return;
  if (!Allocate()) return;
  Decode();
}

}  // namespace

void ReadTga(TReadContext& ctx, const TTgaReadOptions& options) {
  std::unique_ptr<TPxMask> spare;
  try {
    TTgaReader(ctx.Stream, ctx.Bitmap, ctx.Params, options.IgnoreAlpha, MaskSlot(ctx, spare), ctx.ParamsOnly,
               ctx.Progress)
        .Run();
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("TGA: ") + e.what());
  }
}

}  // namespace rv

namespace rv {

bool IsTga(TStream& stream) {
  uint8_t h[kHeaderSize];
  if (stream.Read(h, kHeaderSize) != kHeaderSize) return false;
  const int type = h[2], mapType = h[1], depth = h[16];
  const bool typeOk = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
  const bool depthOk = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  return typeOk && mapType <= 1 && depthOk && Le16(h + 12) != 0 && Le16(h + 14) != 0;
}

}  // namespace rv
