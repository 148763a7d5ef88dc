#include "io/readers/pnmreader.h"

#include <algorithm>
#include <array>
#include <cctype>
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
#include "io/readers/rowconvert.h"
#include "io/readers/rowkernel.h"
#include "platform/stream.h"

namespace rv {

namespace {

// Real headers are a few lines; this bounds endless comments and digit runs.
constexpr int64_t kMaxHeaderBytes = 65536;
constexpr size_t kMaxTokenChars = 64;
constexpr size_t kMaxCommentChars = 4096;
// A plain sample takes at least one character.
constexpr int64_t kPlainMaxPixelsPerByte = 1;

bool IsAlnum(int c) {
  return c >= 0 && c < 128 && std::isalnum(c);
}

// The header's tokens: runs of ASCII letters and digits; "#" starts a
// comment to the end of the line, returned as "#" and the trimmed text.
// Tokens longer than kMaxTokenChars are cut (and are no valid number then),
// comments longer than kMaxCommentChars too. Nothing at or past the offset
// limit is read.
std::string NextToken(TChunkSource& in, int64_t limit) {
  int c = -1;
  while (in.Offset() < limit && (c = in.Get()) >= 0 && !IsAlnum(c) && c != '#') {
  }
  if (c < 0 || (!IsAlnum(c) && c != '#')) return {};
  std::string t(1, char(c));
  if (c == '#') {
    while (in.Offset() < limit && (c = in.Get()) >= 0 && c != '\r' && c != '\n')
      if (t.size() <= kMaxCommentChars) t.push_back(char(c));
    size_t b = 1, e = t.size();
    while (b < e && std::isspace(static_cast<unsigned char>(t[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1]))) --e;
    std::string comment(1, '#');
    comment.append(t, b, e - b);
    return comment;
  }
  while (in.Offset() < limit && IsAlnum(in.Peek())) {
    c = in.Get();
    if (t.size() <= kMaxTokenChars) t.push_back(char(c));
  }
  return t;
}

// A decimal number, -1 when the token is not one or exceeds 2^31 - 1.
int64_t HeaderNumber(const std::string& t) {
  if (t.empty() || t.size() > 10) return -1;
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= 2147483647 ? v : -1;
}

RV_ROW_KERNEL void GrayToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    const uint8_t g = src[x];
    dst[3 * x] = g;
    dst[3 * x + 1] = g;
    dst[3 * x + 2] = g;
  }
}

// Big-endian 16-bit samples: the first byte of each is its upper byte.
RV_ROW_KERNEL void Gray16HighToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    const uint8_t g = src[2 * x];
    dst[3 * x] = g;
    dst[3 * x + 1] = g;
    dst[3 * x + 2] = g;
  }
}

RV_ROW_KERNEL void Rgb16HighToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    dst[3 * x] = src[6 * x + 4];
    dst[3 * x + 1] = src[6 * x + 2];
    dst[3 * x + 2] = src[6 * x];
  }
}

enum class TRowKind {
  kMonoRaw,     // P4
  kGray8,       // P5, one byte per sample
  kGray16,      // P5, two bytes per sample, to 8 bits
  kGray16Keep,  // P5, two bytes per sample, to pxGray16
  kRgb8Swap,    // P6, maxval 255
  kRgb8,        // P6, one byte per sample, scaled
  kRgb16,       // P6, two bytes per sample, to 8 bits
  kRgb16Keep,   // P6, two bytes per sample, to pxRGB48
};

class TPnmReader {
 public:
  TPnmReader(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress)
      : stream_(stream), bitmap_(bitmap), params_(params), paramsOnly_(paramsOnly), progress_(progress) {}

  void Run();

 private:
  bool Fail(const std::string& why) {
    progress_.Fail("PNM: " + why);
    return false;
  }
  bool ReadHeader(TChunkSource& in);
  void FillParams();
  void BuildTables();
  bool DecodeRaw(TChunkSource& in);
  void ConvertRow(const uint8_t* src, uint8_t* dst) const;
  bool DecodePlainBits(TChunkSource& in);
  bool DecodePlainSamples(TChunkSource& in);

  TStream& stream_;
  TPxBitmap& bitmap_;
  TIOParamsVals& params_;
  bool paramsOnly_;
  TProgressRecord& progress_;

  int64_t start_ = 0;
  int magic_ = 0;  // 1..6
  int64_t width_ = 0;
  int64_t height_ = 0;
  int64_t maxval_ = 1;
  int64_t dataStart_ = 0;
  TRowKind kind_ = TRowKind::kGray8;
  std::array<uint8_t, 256> lut8_{};
  std::vector<uint8_t> lut16_;
};

bool TPnmReader::ReadHeader(TChunkSource& in) {
  params_.PnmComments.clear();
  const int64_t limit = start_ + kMaxHeaderBytes;
  std::vector<int64_t> values;
  std::string magic;
  int needed = 3;  // width, height, maxval
  while (magic.empty() || int(values.size()) < needed) {
    const std::string t = NextToken(in, limit);
    if (in.Offset() >= limit)
      return Fail("header longer than " + std::to_string(kMaxHeaderBytes) + " bytes at offset " +
                  std::to_string(start_));
    if (t.empty()) return Fail("file ends inside the header at offset " + std::to_string(in.Offset()));
    if (t[0] == '#') {
      params_.PnmComments.push_back(t.substr(1));
      continue;
    }
    if (magic.empty()) {
      magic = t;
      if (magic.size() != 2 || magic[0] != 'P' || magic[1] < '1' || magic[1] > '6')
        return Fail("magic \"" + magic.substr(0, 8) + "\" at offset " + std::to_string(start_) + " is not P1..P6");
      magic_ = magic[1] - '0';
      if (magic_ == 1 || magic_ == 4) needed = 2;
      continue;
    }
    const int64_t v = HeaderNumber(t);
    static const char* const names[3] = {"width", "height", "maxval"};
    if (v < 0)
      return Fail(std::string(names[values.size()]) + " \"" + t.substr(0, 16) + "\" is not a number below 2^31" +
                  " (before offset " + std::to_string(in.Offset()) + ")");
    values.push_back(v);
  }
  width_ = values[0];
  height_ = values[1];
  maxval_ = needed == 3 ? values[2] : 1;
  if (needed == 3 && (maxval_ < 1 || maxval_ > 65535))
    return Fail("maxval " + std::to_string(maxval_) + " is outside 1..65535");
  // One whitespace byte ends the header; a comment there ends with its line.
  if (in.Peek() == '#') {
    params_.PnmComments.push_back(NextToken(in, limit).substr(1));
  } else {
    in.Get();
  }
  dataStart_ = in.Offset();
  return true;
}

void TPnmReader::FillParams() {
  params_.Width = int32_t(std::min<int64_t>(width_, 2147483647));
  params_.Height = int32_t(std::min<int64_t>(height_, 2147483647));
  params_.SetDpiX(300);
  params_.SetDpiY(300);
  params_.FreeColorMap();
  const bool wide = maxval_ > 255;
  switch (magic_) {
    case 1:
    case 4:
      params_.BitsPerSample = 1;
      params_.SamplesPerPixel = 1;
      break;
    case 2:
    case 5:
      params_.BitsPerSample = wide ? 16 : 8;
      params_.SamplesPerPixel = 1;
      break;
    default:
      params_.BitsPerSample = wide ? 16 : 8;
      params_.SamplesPerPixel = 3;
      break;
  }
}

void TPnmReader::BuildTables() {
  const uint32_t max = uint32_t(maxval_);
  if (max <= 255) {
    for (uint32_t v = 0; v < 256; ++v) lut8_[v] = uint8_t(std::min(v, max) * 255 / max);
    return;
  }
  lut16_.resize(65536);
  for (uint32_t v = 0; v < 65536; ++v) lut16_[v] = uint8_t(max == 65535 ? v >> 8 : std::min(v, max) * 255 / max);
}

void TPnmReader::ConvertRow(const uint8_t* src, uint8_t* dst) const {
  const int64_t w = width_;
  switch (kind_) {
    case TRowKind::kMonoRaw: {
      const int64_t n = (w + 7) / 8;
      for (int64_t i = 0; i < n; ++i) dst[i] = uint8_t(~src[i]);
      break;
    }
    case TRowKind::kGray8:
      if (maxval_ == 255) {
        GrayToBgr(src, dst, w);
        break;
      }
      for (int64_t x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = lut8_[src[x]];
      break;
    case TRowKind::kGray16: {
      if (maxval_ == 65535) {
        Gray16HighToBgr(src, dst, w);
        break;
      }
      const uint8_t* lut = lut16_.data();
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t g = lut[(src[2 * x] << 8) | src[2 * x + 1]];
        dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = g;
      }
      break;
    }
    case TRowKind::kGray16Keep: {
      const uint16_t max = uint16_t(maxval_);
      for (int64_t x = 0; x < w; ++x) {
        const uint16_t v = std::min<uint16_t>(uint16_t((src[2 * x] << 8) | src[2 * x + 1]), max);
        std::memcpy(dst + 2 * x, &v, 2);
      }
      break;
    }
    case TRowKind::kRgb8Swap:
      RgbToBgr(src, dst, w);
      break;
    case TRowKind::kRgb8:
      for (int64_t x = 0; x < w; ++x) {
        dst[3 * x] = lut8_[src[3 * x + 2]];
        dst[3 * x + 1] = lut8_[src[3 * x + 1]];
        dst[3 * x + 2] = lut8_[src[3 * x]];
      }
      break;
    case TRowKind::kRgb16: {
      if (maxval_ == 65535) {
        Rgb16HighToBgr(src, dst, w);
        break;
      }
      const uint8_t* lut = lut16_.data();
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* s = src + 6 * x;
        dst[3 * x] = lut[(s[4] << 8) | s[5]];
        dst[3 * x + 1] = lut[(s[2] << 8) | s[3]];
        dst[3 * x + 2] = lut[(s[0] << 8) | s[1]];
      }
      break;
    }
    case TRowKind::kRgb16Keep: {
      const uint16_t max = uint16_t(maxval_);
      for (int64_t i = 0; i < 3 * w; ++i) {
        const uint16_t v = std::min<uint16_t>(uint16_t((src[2 * i] << 8) | src[2 * i + 1]), max);
        std::memcpy(dst + 2 * i, &v, 2);
      }
      break;
    }
  }
}

bool TPnmReader::DecodeRaw(TChunkSource& in) {
  const bool wide = maxval_ > 255;
  const bool native = params_.NativePixelFormat != 0;
  int bitsPerPixel = 0;
  TPxBitmapFormat format = pxRGB24;
  switch (magic_) {
    case 4:
      kind_ = TRowKind::kMonoRaw;
      bitsPerPixel = 1;
      format = pxMono1;
      break;
    case 5:
      kind_ = !wide ? TRowKind::kGray8 : native ? TRowKind::kGray16Keep : TRowKind::kGray16;
      bitsPerPixel = wide ? 16 : 8;
      if (kind_ == TRowKind::kGray16Keep) format = pxGray16;
      break;
    default:
      kind_ = !wide    ? (maxval_ == 255 ? TRowKind::kRgb8Swap : TRowKind::kRgb8)
              : native ? TRowKind::kRgb16Keep
                       : TRowKind::kRgb16;
      bitsPerPixel = wide ? 48 : 24;
      if (kind_ == TRowKind::kRgb16Keep) format = pxRGB48;
      break;
  }
  const int64_t rowBytes = (width_ * bitsPerPixel + 7) / 8;
  TImageHeader check;
  check.Format = "PNM";
  check.Offset = start_;
  check.Width = width_;
  check.Height = height_;
  check.BitsPerPixel = bitsPerPixel;
  check.RowBytes = rowBytes;
  check.DataBytes = std::max<int64_t>(in.End() - dataStart_, 0);
  const THeaderCheck result = CheckImageHeader(check, progress_);
  if (!result.Ok) return false;
  // A file that ends early keeps the header's size; the rows past the data are black.
  const int64_t rows = result.RowsInData;
  BuildTables();
  bitmap_.AllocatePixels(int(width_), int(height_), format);
  progress_.Scale = 100.0 / double(height_);

  std::vector<uint8_t> scratch(static_cast<size_t>(rowBytes));
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessWrite);  // whole rows are written
  for (int64_t row = 0; row < rows && !progress_.IsAborted(); ++row) {
    int64_t got = 0;
    const uint8_t* src = in.Take(rowBytes, scratch.data(), &got);
    if (got < rowBytes) {
      // The last row is cut short: the rest of it is black.
      if (src != scratch.data()) std::memcpy(scratch.data(), src, size_t(got));
      std::memset(scratch.data() + got, kind_ == TRowKind::kMonoRaw ? 0xFF : 0, size_t(rowBytes - got));
      src = scratch.data();
    }
    ConvertRow(src, bitmap_.RowPointer(int(row)));
    if ((row & 63) == 63) progress_.Report(row + 1);
  }
  for (int64_t row = rows; row < height_; ++row)
    std::memset(bitmap_.RowPointer(int(row)), 0, size_t(bitmap_.RowLength()));
  access.reset();
  progress_.Report(height_);
  return true;
}

bool TPnmReader::DecodePlainBits(TChunkSource& in) {
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessWrite);
  const int rowLength = bitmap_.RowLength();
  int64_t row = 0;
  bool ended = false;
  for (; row < height_ && !ended && !progress_.IsAborted(); ++row) {
    uint8_t* dst = bitmap_.RowPointer(int(row));
    std::memset(dst, 0, size_t(rowLength));
    for (int64_t x = 0; x < width_;) {
      const int c = in.Get();
      if (c < 0) {
        ended = true;
        break;
      }
      if (c == '0') dst[x >> 3] |= uint8_t(0x80 >> (x & 7));  // 0 is white
      if (c == '0' || c == '1') ++x;
    }
    progress_.Report(row + 1);
  }
  for (; row < height_; ++row) std::memset(bitmap_.RowPointer(int(row)), 0, size_t(rowLength));
  access.reset();
  return true;
}

bool TPnmReader::DecodePlainSamples(TChunkSource& in) {
  const int samples = magic_ == 3 ? 3 : 1;
  const int64_t max = maxval_;
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessWrite);
  const int rowLength = bitmap_.RowLength();
  std::vector<uint8_t> values(size_t(width_ * samples));
  int64_t row = 0;
  bool ok = true;
  bool ended = false;
  for (; row < height_ && !ended && !progress_.IsAborted(); ++row) {
    int64_t n = 0;
    for (; n < int64_t(values.size()); ++n) {
      std::string t;
      do {
        t = NextToken(in, in.End());
      } while (!t.empty() && t[0] == '#');
      if (t.empty()) {
        ended = true;
        break;
      }
      int64_t v = 0;
      for (char c : t) {
        if (c < '0' || c > '9') {
          ok = Fail("sample \"" + t.substr(0, 16) + "\" in row " + std::to_string(row) + " is not a number");
          break;
        }
        v = std::min<int64_t>(v * 10 + (c - '0'), max);  // values above maxval are maxval
      }
      if (!ok) {
        ended = true;
        break;
      }
      values[size_t(n)] = uint8_t(max == 65535 ? v >> 8 : v * 255 / max);
    }
    std::fill(values.begin() + n, values.end(), uint8_t(0));
    uint8_t* dst = bitmap_.RowPointer(int(row));
    if (samples == 1) {
      for (int64_t x = 0; x < width_; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = values[size_t(x)];
    } else {
      for (int64_t x = 0; x < width_; ++x) {
        dst[3 * x] = values[size_t(3 * x + 2)];
        dst[3 * x + 1] = values[size_t(3 * x + 1)];
        dst[3 * x + 2] = values[size_t(3 * x)];
      }
    }
    progress_.Report(row + 1);
  }
  for (; row < height_; ++row) std::memset(bitmap_.RowPointer(int(row)), 0, size_t(rowLength));
  access.reset();
  return ok;
}

void TPnmReader::Run() {
  start_ = stream_.Position();
  TChunkSource in(stream_, start_, stream_.Size());
  if (!ReadHeader(in)) return;
  if (width_ <= 0 || height_ <= 0) {
    Fail("size " + std::to_string(width_) + " x " + std::to_string(height_) + " is not positive");
    return;
  }
  FillParams();
  if (paramsOnly_) return;
  if (magic_ >= 4) {
    DecodeRaw(in);
    return;
  }
  TImageHeader check;
  check.Format = "PNM";
  check.Offset = start_;
  check.Width = width_;
  check.Height = height_;
  check.BitsPerPixel = magic_ == 1 ? 1 : magic_ == 2 ? 8 : 24;
  check.CompressedBytes = std::max<int64_t>(in.End() - dataStart_, 0);
  check.MaxPixelsPerByte = kPlainMaxPixelsPerByte;
  if (!CheckImageHeader(check, progress_).Ok) return;
  bitmap_.AllocatePixels(int(width_), int(height_), magic_ == 1 ? pxMono1 : pxRGB24);
  progress_.Scale = 100.0 / double(height_);
  if (magic_ == 1) {
    DecodePlainBits(in);
  } else {
    DecodePlainSamples(in);
  }
}

}  // namespace

void ReadPnm(TReadContext& ctx) {
  try {
    TPnmReader(ctx.Stream, ctx.Bitmap, ctx.Params, ctx.ParamsOnly, ctx.Progress).Run();
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("PNM: ") + e.what());
  }
}

}  // namespace rv

namespace rv {

bool IsPnm(TStream& stream) {
  const int64_t start = stream.Position();
  const int64_t limit = start + kMaxHeaderBytes;
  TChunkSource in(stream, start, std::min(stream.Size(), limit));
  bool haveMagic = false;
  int sizes = 0;  // width and height
  while (sizes < 2) {
    const std::string t = NextToken(in, limit);
    if (t.empty() || in.Offset() >= limit) return false;
    if (t[0] == '#') continue;
    if (!haveMagic) {
      if (t.size() != 2 || t[0] != 'P' || t[1] < '1' || t[1] > '6') return false;
      haveMagic = true;
      continue;
    }
    if (HeaderNumber(t) <= 0) return false;
    ++sizes;
  }
  return true;
}

}  // namespace rv
