#include "io/readers/pcxreader.h"

#include <algorithm>
#include <array>
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

constexpr int64_t kHeaderSize = 128;
constexpr int64_t kPaletteBytes = 768;
constexpr uint8_t kPaletteMarker = 0x0C;
constexpr uint32_t kDcxMagic = 987654321u;
// A DCX table holds at most 1024 words, the last of them the closing 0.
constexpr int kDcxMaxPages = 1023;
// Two bytes of run-length data give at most 63 bytes of 8 one-bit pixels.
constexpr int64_t kRleMaxPixelsPerByte = 63 * 8 / 2 + 1;

// PCX run-length decoding. A run may pass the end of the bytes asked for; the
// rest is kept for the next call, so runs that cross lines and rows work and
// no run writes past the caller's buffer.
class TPcxRle {
 public:
  explicit TPcxRle(TChunkSource& source) : src_(source) {}

  // Produces up to n bytes; fewer only when the data ends.
  int64_t Fill(uint8_t* out, int64_t n) {
    int64_t i = 0;
    if (pending_ > 0) {
      const int64_t k = std::min(pending_, n);
      std::memset(out, pendingValue_, size_t(k));
      pending_ -= k;
      i = k;
    }
    while (i < n) {
      const uint8_t* p = src_.p;
      const uint8_t* e = src_.e;
      // Fast path: a control byte and its value are both in the buffer.
      while (i < n && e - p >= 2) {
        const uint8_t b = *p++;
        if (b < 0xC0) {
          out[i++] = b;
          continue;
        }
        const int64_t count = b & 0x3F;
        const uint8_t v = *p++;
        const int64_t k = std::min(count, n - i);
        std::memset(out + i, v, size_t(k));
        i += k;
        if (k < count) {
          pending_ = count - k;
          pendingValue_ = v;
        }
      }
      src_.p = p;
      if (i >= n) break;
      // Zero or one byte left in the buffer: take the pair byte by byte.
      if (src_.p == src_.e && !src_.Refill()) break;
      const uint8_t b = *src_.p++;
      if (b < 0xC0) {
        out[i++] = b;
        continue;
      }
      if (src_.p == src_.e && !src_.Refill()) break;
      const uint8_t v = *src_.p++;
      const int64_t count = b & 0x3F;
      const int64_t k = std::min(count, n - i);
      std::memset(out + i, v, size_t(k));
      i += k;
      if (k < count) {
        pending_ = count - k;
        pendingValue_ = v;
      }
    }
    return i;
  }

 private:
  TChunkSource& src_;
  int64_t pending_ = 0;
  uint8_t pendingValue_ = 0;
};

RV_ROW_KERNEL void PlanesToBgr(const uint8_t* __restrict r, const uint8_t* __restrict g, const uint8_t* __restrict b,
                               uint8_t* __restrict dst, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    dst[3 * x] = b[x];
    dst[3 * x + 1] = g[x];
    dst[3 * x + 2] = r[x];
  }
}

enum class TLayout {
  kMono,      // 1 bit x 1 plane
  kPacked,    // 2 or 4 bits x 1 plane: indexes into the header table
  kPlanar,    // 1 bit x 2..4 planes: index bit p in plane p
  kIndexed8,  // 8 bits x 1 plane: the 256-entry table
  kRgb,       // 8 bits x 3 or 4 planes
  kNone,      // not decoded: black rows
};

struct TPcxHeader {
  int64_t start = 0;
  int64_t end = 0;
  int version = 0;
  int encoding = 0;
  int bits = 0;
  int64_t width = 0;
  int64_t height = 0;
  int hres = 0;
  int vres = 0;
  int planes = 0;
  int64_t bytesPerLine = 0;
  std::array<TColorBGR, 16> table16{};
};

class TPcxReader {
 public:
  TPcxReader(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress,
             int64_t dataSize)
      : stream_(stream),
        bitmap_(bitmap),
        params_(params),
        paramsOnly_(paramsOnly),
        progress_(progress),
        dataSize_(dataSize) {}

  void Run();

 private:
  bool Fail(const std::string& why) {
    progress_.Fail("PCX: " + why);
    return false;
  }
  bool ReadHeader();
  void ReadPalette256();
  void FillParams();
  bool Allocate();
  void Decode();
  void ConvertRow(const uint8_t* scan, uint8_t* dst) const;

  TStream& stream_;
  TPxBitmap& bitmap_;
  TIOParamsVals& params_;
  bool paramsOnly_;
  TProgressRecord& progress_;
  int64_t dataSize_;

  TPcxHeader h_;
  TLayout layout_ = TLayout::kNone;
  std::array<TColorBGR, 256> table256_{};
};

bool TPcxReader::ReadHeader() {
  h_.start = stream_.Position();
  const int64_t size = stream_.Size();
  h_.end = dataSize_ > 0 ? std::min(size, h_.start + dataSize_) : size;
  uint8_t b[kHeaderSize];
  if (h_.end - h_.start < kHeaderSize || stream_.Read(b, kHeaderSize) != kHeaderSize)
    return Fail("file ends inside the 128-byte header at offset " + std::to_string(h_.start));
  const std::string at = " at offset ";
  if (b[0] != 10) return Fail("manufacturer byte " + std::to_string(b[0]) + ", not 10" + at + std::to_string(h_.start));
  h_.version = b[1];
  h_.encoding = b[2];
  h_.bits = b[3];
  if (h_.encoding > 1) return Fail("encoding " + std::to_string(h_.encoding) + at + std::to_string(h_.start + 2));
  if (h_.bits != 1 && h_.bits != 2 && h_.bits != 4 && h_.bits != 8)
    return Fail(std::to_string(h_.bits) + " bits per plane" + at + std::to_string(h_.start + 3));
  const int64_t xmin = Le16(b + 4), ymin = Le16(b + 6), xmax = Le16(b + 8), ymax = Le16(b + 10);
  h_.width = xmax - xmin + 1;
  h_.height = ymax - ymin + 1;
  h_.hres = Le16(b + 12);
  h_.vres = Le16(b + 14);
  for (int i = 0; i < 16; ++i) h_.table16[size_t(i)] = MakeBGR(b[16 + 3 * i], b[17 + 3 * i], b[18 + 3 * i]);
  h_.planes = b[65];
  h_.bytesPerLine = Le16(b + 66);
  if (h_.width <= 0 || h_.height <= 0)
    return Fail("window " + std::to_string(xmin) + ".." + std::to_string(xmax) + " x " + std::to_string(ymin) + ".." +
                std::to_string(ymax) + " is empty" + at + std::to_string(h_.start + 4));
  if (h_.planes < 1 || h_.planes > 4)
    return Fail(std::to_string(h_.planes) + " planes" + at + std::to_string(h_.start + 65));
  // Lines are indexed by bytes per line, so a smaller value would make the
  // planes of a row overlap and the row read past its line.
  const int64_t needed = (h_.width * h_.bits + 7) / 8;
  if (h_.bytesPerLine < needed)
    return Fail("bytes per line " + std::to_string(h_.bytesPerLine) + " < " + std::to_string(needed) +
                " that a row of " + std::to_string(h_.width) + " pixels needs" + at + std::to_string(h_.start + 66));

  if (h_.planes == 1) {
    layout_ = h_.bits == 1 ? TLayout::kMono : h_.bits == 8 ? TLayout::kIndexed8 : TLayout::kPacked;
  } else if (h_.bits == 1) {
    layout_ = TLayout::kPlanar;
  } else if (h_.bits == 8 && h_.planes >= 3) {
    layout_ = TLayout::kRgb;
  } else {
    layout_ = TLayout::kNone;
  }
  return true;
}

void TPcxReader::ReadPalette256() {
  // Without the table (too little data, or no marker byte in front of it)
  // the indexes are shown as gray levels.
  for (int i = 0; i < 256; ++i) table256_[size_t(i)] = MakeBGR(uint8_t(i), uint8_t(i), uint8_t(i));
  if (h_.end - h_.start < kHeaderSize + kPaletteBytes + 1) return;
  uint8_t raw[kPaletteBytes + 1];
  stream_.Seek(h_.end - kPaletteBytes - 1, soBeginning);
  if (stream_.Read(raw, kPaletteBytes + 1) != kPaletteBytes + 1 || raw[0] != kPaletteMarker) return;
  for (int i = 0; i < 256; ++i) table256_[size_t(i)] = MakeBGR(raw[1 + 3 * i], raw[2 + 3 * i], raw[3 + 3 * i]);
}

void TPcxReader::FillParams() {
  params_.Width = int32_t(h_.width);
  params_.Height = int32_t(h_.height);
  const bool noResolution = h_.hres == 0 || h_.vres == 0;
  params_.SetDpiX(noResolution ? 300 : h_.hres);
  params_.SetDpiY(noResolution ? 300 : h_.vres);
  params_.PcxVersion = h_.version;
  params_.BitsPerSample = h_.bits;
  params_.SamplesPerPixel = h_.planes;
  if (layout_ == TLayout::kIndexed8) {
    params_.SetColorMap(table256_.data(), 256);
  } else if (layout_ == TLayout::kPlanar) {
    // Planes of one bit make one index of as many bits.
    params_.BitsPerSample = h_.planes;
    params_.SamplesPerPixel = 1;
    params_.SetColorMap(h_.table16.data(), 1 << h_.planes);
  } else if (h_.bits < 8 && h_.planes == 1) {
    params_.SetColorMap(h_.table16.data(), 1 << h_.bits);
  } else {
    params_.FreeColorMap();
  }
}

bool TPcxReader::Allocate() {
  TImageHeader check;
  check.Format = "PCX";
  check.Offset = h_.start;
  check.Width = h_.width;
  check.Height = h_.height;
  check.BitsPerPixel = h_.bits * h_.planes;
  const int64_t dataBytes = h_.end - h_.start - kHeaderSize;
  if (h_.encoding == 0) {
    check.DataBytes = dataBytes;
    check.RowBytes = h_.bytesPerLine * h_.planes;
  } else {
    check.CompressedBytes = dataBytes;
    check.MaxPixelsPerByte = kRleMaxPixelsPerByte;
  }
  if (!CheckImageHeader(check, progress_).Ok) return false;
  // Data that ends early keeps the full height: the missing rows are black.
  bitmap_.AllocatePixels(int(h_.width), int(h_.height), layout_ == TLayout::kMono ? pxMono1 : pxRGB24);
  progress_.Scale = 100.0 / double(h_.height);
  return true;
}

void TPcxReader::ConvertRow(const uint8_t* scan, uint8_t* dst) const {
  const int64_t w = h_.width;
  const int64_t bpl = h_.bytesPerLine;
  switch (layout_) {
    case TLayout::kMono:
      std::memcpy(dst, scan, size_t((w + 7) / 8));
      break;
    case TLayout::kPacked: {
      const int bits = h_.bits;
      const int perByte = 8 / bits;
      const unsigned valueMask = (1u << bits) - 1;
      for (int64_t x = 0; x < w; ++x) {
        const int shift = 8 - bits * int(x % perByte + 1);
        std::memcpy(dst + 3 * x, &h_.table16[(scan[x / perByte] >> shift) & valueMask], 3);
      }
      break;
    }
    case TLayout::kPlanar: {
      const int planes = h_.planes;
      for (int64_t x = 0; x < w; ++x) {
        const int shift = 7 - int(x & 7);
        unsigned index = 0;
        for (int p = 0; p < planes; ++p) index |= ((scan[p * bpl + (x >> 3)] >> shift) & 1u) << p;
        std::memcpy(dst + 3 * x, &h_.table16[index], 3);
      }
      break;
    }
    case TLayout::kIndexed8:
      for (int64_t x = 0; x < w; ++x) std::memcpy(dst + 3 * x, &table256_[scan[x]], 3);
      break;
    case TLayout::kRgb:
      PlanesToBgr(scan, scan + bpl, scan + 2 * bpl, dst, w);
      break;
    case TLayout::kNone:
      std::memset(dst, 0, size_t(w * 3));
      break;
  }
}

void TPcxReader::Decode() {
  const int64_t lineBytes = h_.bytesPerLine * h_.planes;
  std::vector<uint8_t> scan(static_cast<size_t>(lineBytes));
  TChunkSource source(stream_, h_.start + kHeaderSize, h_.end);
  TPcxRle rle(source);
  std::optional<TPxAccessGuard> access(std::in_place, bitmap_, kAccessWrite);  // whole rows are written
  const int rowLength = bitmap_.RowLength();
  int64_t row = 0;
  for (; row < h_.height && !progress_.IsAborted(); ++row) {
    const int64_t got = h_.encoding == 1 ? rle.Fill(scan.data(), lineBytes) : source.Copy(scan.data(), lineBytes);
    if (got == 0) break;  // not reached: black below, not decoded from zeros
    if (got < lineBytes) std::memset(scan.data() + got, 0, size_t(lineBytes - got));
    ConvertRow(scan.data(), bitmap_.RowPointer(int(row)));
    if ((row & 31) == 31) progress_.Report(row + 1);
    if (got < lineBytes) {
      ++row;
      break;
    }
  }
  // The data ended early: the rows that were not decoded are black.
  for (int64_t r = row; r < h_.height; ++r) std::memset(bitmap_.RowPointer(int(r)), 0, size_t(rowLength));
  access.reset();
  progress_.Report(h_.height);
}

void TPcxReader::Run() {
  if (!ReadHeader()) return;
  if (layout_ == TLayout::kIndexed8) ReadPalette256();
  FillParams();
  if (paramsOnly_) return;
  if (!Allocate()) return;
  Decode();
}

}  // namespace

void ReadPcx(TReadContext& ctx, const TPcxReadOptions& options) {
  try {
    TPcxReader(ctx.Stream, ctx.Bitmap, ctx.Params, ctx.ParamsOnly, ctx.Progress, options.DataSize).Run();
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("PCX: ") + e.what());
  }
}

void ReadDcx(TReadContext& ctx) {
  TStream& stream = ctx.Stream;
  TIOParamsVals& params = ctx.Params;
  TProgressRecord& progress = ctx.Progress;
  const int64_t start = stream.Position();
  const int64_t size = stream.Size();
  uint8_t table[4 + 4 * (kDcxMaxPages + 1)];
  const int64_t got = std::max<int64_t>(stream.Read(table, sizeof table), 0);
  if (got < 4 || Le32(table) != kDcxMagic) {
    progress.Fail("DCX: no DCX magic number at offset " + std::to_string(start));
    return;
  }
  std::vector<int64_t> pages;
  for (int64_t i = 4; i + 4 <= got && int(pages.size()) < kDcxMaxPages; i += 4) {
    const uint32_t offset = Le32(table + i);
    if (offset == 0) break;
    // A page must hold at least a PCX header inside the file.
    if (start + int64_t(offset) + kHeaderSize > size) {
      progress.Fail("DCX: page " + std::to_string(pages.size()) + " at offset " + std::to_string(offset) +
                    " lies past the end of the file (" + std::to_string(size) + " bytes)");
      return;
    }
    pages.push_back(start + int64_t(offset));
  }
  if (pages.empty()) {
    progress.Fail("DCX: the page table at offset " + std::to_string(start + 4) + " lists no page");
    return;
  }
  const int32_t index = std::clamp<int32_t>(params.DcxImageIndex, 0, int32_t(pages.size()) - 1);
  params.SetImageIndex(index);
  params.ImageCount = int32_t(pages.size());
  const int64_t pageStart = pages[size_t(index)];
  int64_t pageEnd = size;
  for (int64_t p : pages)
    if (p > pageStart) pageEnd = std::min(pageEnd, p);
  stream.Seek(pageStart, soBeginning);
  ReadPcx(ctx, {.DataSize = pageEnd - pageStart});
}

}  // namespace rv

namespace rv {

bool IsPcx(TStream& stream) {
  const int64_t size = stream.Size();
  char h[5] = {};
  const int64_t got = std::max<int64_t>(stream.Read(h, 5), 0);
  // The first n bytes as text, up to their first zero.
  auto text = [&](int64_t n) { return std::string(h, strnlen(h, size_t(std::min(got, n)))); };
  // The stream headers a picture component writes before PCX data: the
  // 12-byte "PCX2" one with a length, the older 4-byte "PCX" one without.
  if (size > 12 && text(5) == "PCX2") return true;
  if (size > 4 && text(4) == "PCX") return true;
  // The manufacturer byte and a version up to 5, and more than a header.
  return size > kHeaderSize && got >= 2 && h[0] == 0x0A && uint8_t(h[1]) <= 5;
}

bool IsDcx(TStream& stream) {
  const int64_t size = stream.Size();
  uint8_t table[4 * 1025];
  const int64_t got = std::max<int64_t>(stream.Read(table, sizeof table), 0);
  if (got < 4 || Le32(table) != kDcxMagic) return false;
  // Every page the table lists starts inside the file.
  for (int64_t i = 4; i + 4 <= got; i += 4) {
    const uint32_t offset = Le32(table + i);
    if (offset == 0) break;
    if (int64_t(offset) >= size) return false;
  }
  return true;
}

}  // namespace rv
