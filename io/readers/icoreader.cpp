#include "io/readers/icoreader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/bmpreader.h"
#include "io/readers/pngreader.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

constexpr int64_t kDirectoryHeader = 6;
constexpr int64_t kEntrySize = 16;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Bits an index needs to tell count colours apart (0 for no colours).
int BitsForColors(int count) {
  int bits = 0;
  while (bits < 8 && (1 << bits) < count) ++bits;
  return count > 0 ? std::max(bits, 1) : 0;
}

struct TIconEntry {
  int width = 0;  // 0 stands for 256
  int height = 0;
  int colors = 0;
  int planesOrHotX = 0;
  int bitCountOrHotY = 0;
  int64_t size = 0;
  int64_t offset = 0;
};

class TIconReader {
 public:
  TIconReader(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
              std::unique_ptr<TPxMask>& mask, TProgressRecord& progress, bool paramsOnly, bool cursor)
      : stream_(stream),
        bitmap_(bitmap),
        params_(params),
        ignoreAlpha_(ignoreAlpha),
        maskOut_(mask),
        progress_(progress),
        paramsOnly_(paramsOnly),
        cursor_(cursor),
        label_(cursor ? "CUR: " : "ICO: ") {}

  void Run();

 private:
  bool Fail(const std::string& why) {
    progress_.Fail(label_ + why);
    return false;
  }
  bool ReadDirectory();
  bool ReadEntryData(const TIconEntry& entry, int index);
  void ReadPngEntry();
  bool DecodeDib(bool paramsOnly, std::unique_ptr<TPxMask>& alpha);
  void ReadDibEntry(const TIconEntry& entry);
  void ApplyAndBitmap();
  void FinishMask(bool opaque);

  TStream& stream_;
  TPxBitmap& bitmap_;
  TIOParamsVals& params_;
  bool ignoreAlpha_;
  std::unique_ptr<TPxMask>& maskOut_;
  TProgressRecord& progress_;
  bool paramsOnly_;
  bool cursor_;
  std::string label_;

  int64_t start_ = 0;
  int64_t end_ = 0;
  std::vector<TIconEntry> entries_;
  int64_t dataStart_ = 0;  // absolute offset of the chosen entry's data
  std::vector<uint8_t> data_;
  int dibFallbackBitCount_ = 0;
  TBmpIconLayout dib_;
};

bool TIconReader::ReadDirectory() {
  uint8_t h[kDirectoryHeader];
  stream_.Seek(start_, soBeginning);
  if (stream_.Read(h, kDirectoryHeader) != kDirectoryHeader)
    return Fail("file ends inside the 6-byte directory header at offset " + std::to_string(start_));
  const uint16_t reserved = Le16(h), type = Le16(h + 2);
  const int declaredCount = Le16(h + 4);
  if (reserved != 0 || (type != 1 && type != 2))
    return Fail("directory header at offset " + std::to_string(start_) + " has reserved word " +
                std::to_string(reserved) + " and type " + std::to_string(type) + ", not 0 and 1 or 2");
  if (declaredCount == 0) return Fail("the directory lists no image");
  // A count larger than the file can hold gives the entries that are there.
  const int64_t fit = (end_ - start_ - kDirectoryHeader) / kEntrySize;
  const int count = int(std::min<int64_t>(declaredCount, fit));
  if (count <= 0) return Fail("file ends inside the first directory entry");
  std::vector<uint8_t> raw(size_t(count * kEntrySize));
  if (stream_.Read(raw.data(), int64_t(raw.size())) != int64_t(raw.size()))
    return Fail("file ends inside the directory");
  entries_.resize(size_t(count));
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = raw.data() + i * kEntrySize;
    TIconEntry& entry = entries_[size_t(i)];
    entry.width = e[0];
    entry.height = e[1];
    entry.colors = e[2];
    entry.planesOrHotX = Le16(e + 4);
    entry.bitCountOrHotY = Le16(e + 6);
    entry.size = Le32(e + 8);
    entry.offset = Le32(e + 12);
  }
  return true;
}

bool TIconReader::ReadEntryData(const TIconEntry& entry, int index) {
  // The data may not lie on the directory up to this entry (with an absurd
  // count the rest of the "directory" is the images themselves).
  const int64_t directoryEnd = kDirectoryHeader + int64_t(index + 1) * kEntrySize;
  if (entry.offset < directoryEnd)
    return Fail("image data at offset " + std::to_string(entry.offset) + " lies inside the directory (" +
                std::to_string(directoryEnd) + " bytes)");
  if (start_ + entry.offset >= end_)
    return Fail("image data at offset " + std::to_string(entry.offset) + " lies past the end of the file (" +
                std::to_string(end_ - start_) + " bytes)");
  dataStart_ = start_ + entry.offset;
  // Everything to the end of the file for now: the embedded header decides
  // how much of it the image takes (ReadDibEntry).
  const int64_t size = end_ - dataStart_;
  data_.resize(size_t(size));
  stream_.Seek(dataStart_, soBeginning);
  data_.resize(size_t(std::max<int64_t>(stream_.Read(data_.data(), size), 0)));
  return true;
}

void TIconReader::FinishMask(bool opaque) {
  if (ignoreAlpha_) {
    maskOut_.reset();
    return;
  }
  if (cursor_) {
    // Cursors always come with their mask.
    if (!maskOut_) {
      maskOut_ = std::make_unique<TPxMask>();
      maskOut_->AllocateMask(bitmap_.Width(), bitmap_.Height(), 8);
      maskOut_->FillMask(255);
    }
    return;
  }
  if (opaque) maskOut_.reset();
}

void TIconReader::ReadPngEntry() {
  const uint8_t savedNative = params_.NativePixelFormat;
  params_.NativePixelFormat = 0;  // icons load as pxRGB24 (or pxMono1)
  TPxMemStream png(data_.data(), int64_t(data_.size()));
  TReadContext pngContext{
      .Stream = png, .Bitmap = bitmap_, .Params = params_, .Progress = progress_, .ParamsOnly = paramsOnly_};
  ReadPng(pngContext);
  params_.NativePixelFormat = savedNative;
  if (progress_.IsAborted() || paramsOnly_) return;
  // The PNG reader puts alpha into the bitmap's alpha channel; icons hand it
  // back as their mask.
  maskOut_.reset();
  bool opaque = true;
  if (bitmap_.HasAlphaChannel()) {
    TPxBitmap* alpha = bitmap_.AlphaChannel();
    auto mask = std::make_unique<TPxMask>();
    alpha->ExportMask(*mask);
    bitmap_.RemoveAlphaChannel();
    mask->UpdateAllSet();
    opaque = mask->AllSet();
    if (!opaque) mask->RecomputeBox();
    maskOut_ = std::move(mask);
  }
  FinishMask(opaque);
}

void TIconReader::ApplyAndBitmap() {
  const TBmpIconLayout& d = dib_;
  const int64_t width = d.Width, height = d.Height;
  // Compressed XOR data leaves no way to find the AND bitmap: opaque. (The
  // size check guards the writes below.)
  if (d.AndStart < 0 || bitmap_.Height() != height || bitmap_.Width() != width) {
    FinishMask(true);
    return;
  }
  const int64_t size = int64_t(data_.size());
  const int64_t andStart = d.AndStart, andRowBytes = d.AndRowBytes;
  // Rows the data holds whole; the rest stay opaque.
  const int64_t andRows = andStart < size ? std::min<int64_t>((size - andStart) / andRowBytes, height) : 0;

  const bool mono = bitmap_.Format() == pxMono1;
  const TColorBGR background = cursor_ ? params_.CurBackground : params_.IcoBackground;
  const bool whiteBackground = background == MakeBGR(255, 255, 255);
  TPxMask* mask = nullptr;
  if (!ignoreAlpha_) {
    maskOut_ = std::make_unique<TPxMask>();
    maskOut_->AllocateMask(int(width), int(height), 8);
    maskOut_->FillMask(255);
    mask = maskOut_.get();
  }
  bool opaque = true;
  for (int64_t i = 0; i < andRows; ++i) {
    const uint8_t* bits = data_.data() + andStart + i * andRowBytes;
    const int row = int(d.TopDown ? i : height - 1 - i);
    uint8_t* dst = nullptr;
    uint8_t* alpha = mask ? mask->MaskRow(row) : nullptr;
    for (int64_t x = 0; x < width; ++x) {
      if (((bits[x >> 3] >> (7 - (x & 7))) & 1) == 0) continue;
      if (!dst) dst = bitmap_.RowPointer(row);
      opaque = false;
      if (alpha) alpha[x] = 0;
      if (mono) {
        // Over a white screen the XOR bit shows inverted.
        if (whiteBackground) dst[x >> 3] ^= uint8_t(0x80 >> (x & 7));
      } else {
        std::memcpy(dst + 3 * x, &background, 3);
      }
    }
  }
  if (mask && !opaque) {
    mask->SetAllSet(false);
    mask->RecomputeBox();
  }
  FinishMask(opaque);
}

// The BMP reader decodes the entry's bitmap as an icon's (IconEntry);
// icons load as pxRGB24 or pxMono1, and its own record fields stay as they
// were.
bool TIconReader::DecodeDib(bool paramsOnly, std::unique_ptr<TPxMask>& alpha) {
  const uint8_t savedNative = params_.NativePixelFormat, savedVersion = params_.BmpVersion,
                savedRunLength = params_.BmpRunLength;
  params_.NativePixelFormat = 0;
  TPxMemStream dib(data_.data(), int64_t(data_.size()));
  TReadContext dibContext{.Stream = dib,
                          .Bitmap = bitmap_,
                          .Params = params_,
                          .Progress = progress_,
                          .ParamsOnly = paramsOnly,
                          .MaskOut = &alpha};
  dib_ = ReadBmp(dibContext,
                 {.DataSize = int32_t(data_.size()), .IconEntry = true, .IconFallbackBitCount = dibFallbackBitCount_})
             .IconLayout;
  params_.NativePixelFormat = savedNative;
  params_.BmpVersion = savedVersion;
  params_.BmpRunLength = savedRunLength;
  return !progress_.IsAborted();
}

void TIconReader::ReadDibEntry(const TIconEntry& entry) {
  if (data_.size() < 16) {
    Fail("image data at offset " + std::to_string(dataStart_) + " is too short");
    return;
  }
  const int64_t headerSize = Le32(data_.data());
  const int colorBits = BitsForColors(entry.colors);
  // A cursor's entry holds the hot spot where an icon's holds the bit count.
  dib_ = TBmpIconLayout{};
  dibFallbackBitCount_ = cursor_ ? colorBits : entry.bitCountOrHotY != 0 ? entry.bitCountOrHotY : colorBits;
  // First the layout, to hold the entry's size against it.
  std::unique_ptr<TPxMask> alpha;
  if (!DecodeDib(true, alpha)) return;
  // An entry size too small for the header, colour table and XOR bitmap the
  // header describes is no size at all (writers leave 0 or get it wrong):
  // the header then says how much the image takes (compressed data: all
  // there is). Otherwise the entry's size bounds the image (an AND bitmap
  // cut by it is partly missing); the file's end cuts all.
  const TBmpIconLayout& d = dib_;
  const bool uncompressed = d.AndStart >= 0;
  int64_t size = entry.size;
  if (entry.size < (uncompressed ? d.AndStart : headerSize))
    size = uncompressed ? d.AndStart + d.AndRowBytes * d.Height : int64_t(data_.size());
  data_.resize(size_t(std::min(int64_t(data_.size()), std::max(size, headerSize))));

  if (!DecodeDib(paramsOnly_, alpha)) return;
  params_.Width = int32_t(d.Width);
  params_.Height = int32_t(d.Height);
  auto dpi = [](int32_t ppm) { return ppm < 1 ? 300 : int32_t(std::nearbyint(double(ppm) / 100.0 * 2.54)); };
  params_.SetDpiX(d.Core ? 300 : dpi(d.Xppm));
  params_.SetDpiY(d.Core ? 300 : dpi(d.Yppm));
  if (cursor_) {
    params_.BitsPerSample = d.BitCount;
    params_.SamplesPerPixel = 1;
  } else {
    params_.BitsPerSample = d.BitCount == 32 ? 8 : d.BitCount > 8 ? 8 : d.BitCount;
    params_.SamplesPerPixel = d.BitCount == 32 ? 4 : d.BitCount > 8 ? 3 : 1;
  }
  if (paramsOnly_) return;

  if (alpha) {
    // 32-bit data with real alpha: the fourth bytes, not the AND bitmap.
    maskOut_ = std::move(alpha);
    FinishMask(false);
    return;
  }
  ApplyAndBitmap();
}

void TIconReader::Run() {
  start_ = stream_.Position();
  end_ = stream_.Size();
  if (!cursor_) {
    uint8_t sig[2] = {};
    if (stream_.Read(sig, 2) == 2 && sig[0] == 'B' && sig[1] == 'M') {
      // An icon that is really a BMP file.
      stream_.Seek(start_, soBeginning);
      TReadContext bmpContext{.Stream = stream_,
                              .Bitmap = bitmap_,
                              .Params = params_,
                              .Progress = progress_,
                              .ParamsOnly = paramsOnly_,
                              .MaskOut = &maskOut_};
      ReadBmp(bmpContext, {.DataSize = int32_t(std::min<int64_t>(end_ - start_, std::numeric_limits<int32_t>::max())),
                           .IgnoreAlpha = ignoreAlpha_});
      return;
    }
  }
  if (!ReadDirectory()) return;
  const int32_t index = cursor_ ? params_.CurImageIndex : params_.IcoImageIndex;
  // An image that is not there: nothing happens, and that is no error.
  if (index < 0 || index >= int32_t(entries_.size())) return;
  params_.ImageCount = int32_t(entries_.size());
  if (!cursor_) {
    params_.IcoSizes.fill(TIcoSize{});
    params_.IcoBitCounts.fill(0);
    for (size_t i = 0; i < std::min<size_t>(entries_.size(), 16); ++i) {
      const TIconEntry& e = entries_[i];
      params_.IcoSizes[i] = TIcoSize{e.width == 0 ? 256 : e.width, e.height == 0 ? 256 : e.height};
      const int colorBits = BitsForColors(e.colors);
      params_.IcoBitCounts[i] = e.bitCountOrHotY != 0 ? e.bitCountOrHotY : colorBits != 0 ? colorBits : 24;
    }
  }
  const TIconEntry& entry = entries_[size_t(index)];
  if (cursor_) {
    params_.CurHotSpotX = entry.planesOrHotX;
    params_.CurHotSpotY = entry.bitCountOrHotY;
  }
  if (!ReadEntryData(entry, index)) return;
  if (data_.size() >= sizeof kPngSignature && std::memcmp(data_.data(), kPngSignature, sizeof kPngSignature) == 0) {
    ReadPngEntry();
  } else {
    ReadDibEntry(entry);
  }
}

}  // namespace

void ReadIco(TReadContext& ctx, const TIcoReadOptions& options) {
  std::unique_ptr<TPxMask> spare;
  try {
    TIconReader(ctx.Stream, ctx.Bitmap, ctx.Params, options.IgnoreAlpha, MaskSlot(ctx, spare), ctx.Progress,
                ctx.ParamsOnly, false)
        .Run();
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("ICO: ") + e.what());
  }
}

void ReadCur(TReadContext& ctx, const TIcoReadOptions& options) {
  std::unique_ptr<TPxMask> spare;
  try {
    TIconReader(ctx.Stream, ctx.Bitmap, ctx.Params, options.IgnoreAlpha, MaskSlot(ctx, spare), ctx.Progress,
                ctx.ParamsOnly, true)
        .Run();
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("CUR: ") + e.what());
  }
}

}  // namespace rv

namespace rv {

namespace {

// A directory of the given resource type (1 icons, 2 cursors) whose entries
// all have a zero reserved byte, a data size, and a data offset not below the
// entry's own end taken as a stream position.
bool IsIconDirectory(TStream& stream, uint16_t type) {
  const int64_t start = stream.Position();
  if (stream.Size() < 23) return false;
  uint8_t h[6];
  if (stream.Read(h, 6) != 6 || Le16(h) != 0 || Le16(h + 2) != type || Le16(h + 4) == 0) return false;
  const int64_t count = Le16(h + 4);
  std::vector<uint8_t> entries(size_t(count * kEntrySize));
  if (stream.Read(entries.data(), count * kEntrySize) != count * kEntrySize) return false;
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* e = entries.data() + i * kEntrySize;
    const int64_t entryEnd = start + 6 + (i + 1) * kEntrySize;
    if (e[3] != 0 || Le32(e + 8) == 0 || int64_t(Le32(e + 12)) < entryEnd) return false;
  }
  return true;
}

}  // namespace

bool IsIco(TStream& stream) {
  return IsIconDirectory(stream, 1);
}

bool IsCur(TStream& stream) {
  return IsIconDirectory(stream, 2);
}

}  // namespace rv
