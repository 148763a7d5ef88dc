#include "imaging/pxbitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "imaging/pxblock.h"
#include "imaging/pxcolor.h"
#include "imaging/pxdibbitmap.h"
#include "imaging/pxmask.h"
#include "platform/system.h"

namespace rv {

namespace {

constexpr int64_t kDefaultThreshold = 33554432;  // 32 MiB when free memory is unknown

int64_t TruncValue(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

bool IsWhite(TColorBGR c) {
  return c.r == 255 && c.g == 255 && c.b == 255;
}

}  // namespace

TPxBitmap::TPxBitmap() : fileBuffer_(std::make_unique<TPxFileBuffer>()) {
  uint64_t free = FreePhysicalMemory();
  memoryThreshold_ = free ? int64_t(free / 2) : kDefaultThreshold;
}

TPxBitmap::~TPxBitmap() {
  ReleaseStorage(true);
}

// ---------------------------------------------------------------- storage

void TPxBitmap::ResetFields() {
  pixelBase_ = nullptr;
  pixelBlock_ = nullptr;
  bitmap_ = nullptr;
  palette_.reset();
  paletteCount_ = 0;
  width_ = height_ = rowLength_ = bitsPerPixel_ = channels_ = 0;
  rowTable_.clear();
  rowTable_.shrink_to_fit();
  rowView_ = nullptr;
  allOpaque_ = false;
  externalTBitmap_ = false;
}

void TPxBitmap::ReleaseRowView() {
  if (rowView_) fileBuffer_->UnmapView(rowView_);
  rowView_ = nullptr;
}

void TPxBitmap::ReleaseStorage(bool freeAlpha) {
  if (freeAlpha) alpha_.reset();
  palette_.reset();
  ReleaseRowView();
  fileBuffer_->Release();
  std::free(pixelBlock_);
  ownedBitmap_.reset();
  ResetFields();
}

void TPxBitmap::BuildRowTable() {
  rowTable_.assign(size_t(std::max(height_, 0)), nullptr);
  if (!bitmap_) return;
  int h = std::min(height_, bitmap_->Height());
  for (int r = 0; r < h; ++r) rowTable_[size_t(r)] = bitmap_->ScanLine(r);
}

// Sets the platform bitmap's depth for `format` (1 x 1 first, as a fresh
// allocation does). Raises for formats it cannot hold, leaving this bitmap empty.
void TPxBitmap::PrepareTBitmap(TPxBitmapFormat& format) {
  if (!bitmap_) {
    ownedBitmap_ = std::make_unique<TBitmap>();
    bitmap_ = ownedBitmap_.get();
  }
  bitmap_->SetSize(1, 1);
  bitmap_->SetPixelFormat(TPixelFormat::pfDevice);
  const char* refused = nullptr;
  switch (format) {
    case pxMono1:
      bitmap_->SetPixelFormat(TPixelFormat::pf1bit);
      bitmap_->SetMonochrome(true);
      break;
    case pxGray16:
      format = pxGray8;
      [[fallthrough]];
    case pxPalette8:
    case pxGray8:
      bitmap_->SetPixelFormat(TPixelFormat::pf8bit);
      break;
    case pxRGB24:
      bitmap_->SetPixelFormat(TPixelFormat::pf24bit);
      break;
    case px32f:
      refused = "px32f pixel format not allowed when Location=pxTBitmap";
      break;
    case pxCMYK:
      refused = "pxCMYK pixel format not allowed when Location=pxTBitmap";
      break;
    case pxRGB48:
      refused = "pxRGB48 pixel format not allowed when Location=pxTBitmap";
      break;
    case pxCIELab:
      refused = "pxCIELab pixel format not allowed when Location=pxTBitmap";
      break;
    default:
      break;
  }
  if (refused) {
    palette_.reset();
    width_ = height_ = rowLength_ = bitsPerPixel_ = channels_ = paletteCount_ = 0;
    rowTable_.clear();
    throw EPxBitmapError(refused);
  }
}

void TPxBitmap::Reallocate(int width, int height, TPxBitmapFormat format, bool freeAlpha) {
  if (!externalTBitmap_) {
    // Keep our own platform bitmap object: callers that asked for it keep a valid one.
    std::unique_ptr<TBitmap> keep = location_ == pxTBitmap ? std::move(ownedBitmap_) : nullptr;
    ReleaseStorage(freeAlpha);
    if (keep) {
      ownedBitmap_ = std::move(keep);
      bitmap_ = ownedBitmap_.get();
    }
  } else {
    if (freeAlpha) alpha_.reset();
    palette_.reset();
    paletteCount_ = 0;
  }
  allOpaque_ = false;
  format_ = format;
  if (width <= 0 || height <= 0 || format == pxNoFormat) {
    width_ = height_ = rowLength_ = bitsPerPixel_ = channels_ = 0;
    rowTable_.clear();
    return;
  }
  // Every size in 64 bits; what a row length or the address space cannot hold is refused.
  const int64_t rowLength = RowLengthFor(width, FormatBitsPerPixel(format));
  // rowLength below 2^31 keeps the product below 2^62.
  const int64_t size = rowLength <= std::numeric_limits<int32_t>::max() ? rowLength * height : -1;
  if (size < 0 || size > (int64_t(1) << 46)) {
    width_ = height_ = rowLength_ = bitsPerPixel_ = channels_ = 0;
    throw std::bad_alloc();
  }
  try {
    width_ = width;
    height_ = height;
    if (format == pxPalette8) {
      palette_.reset(new TColorBGR[256]);
      paletteCount_ = 256;
    }
    if (location_ != pxTBitmap) {
      if (location_ == pxTempFile && size < memoryThreshold_) location_ = pxInMemory;
      if (location_ == pxInMemory && size > memoryThreshold_) location_ = pxTempFile;
      if (location_ == pxTempFile && !fileBuffer_->Create("IMG", size)) location_ = pxInMemory;
      if (location_ == pxInMemory) {
        pixelBlock_ = AllocatePxBlock(size_t(size) + 32);
        if (!pixelBlock_) throw std::bad_alloc();
        pixelBase_ = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(pixelBlock_) + 31) & ~uintptr_t(31));
      }
    } else {
      PrepareTBitmap(format);
      format_ = format;
      bitmap_->SetSize(width, height);
      if (format == pxGray8) {
        TRGBQuad ramp[256];
        for (int i = 0; i < 256; ++i) ramp[i] = TRGBQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
        bitmap_->SetColorTable(0, 256, ramp);
      }
    }
    bitsPerPixel_ = FormatBitsPerPixel(format_);
    channels_ = FormatChannels(format_);
    rowLength_ = int(RowLengthFor(width, bitsPerPixel_));
    if (location_ == pxTBitmap) BuildRowTable();
  } catch (const std::bad_alloc&) {
    // Storage already released stays released; the bitmap is empty.
    std::unique_ptr<TPxBitmap> alpha = std::move(alpha_);
    ReleaseStorage(true);
    if (!freeAlpha) alpha_ = std::move(alpha);
    throw;
  }
}

void TPxBitmap::AllocatePixels(int width, int height, TPxBitmapFormat format) {
  Reallocate(width, height, format, true);
}

void TPxBitmap::MoveStorageTo(TPxBitmap& target) {
  if (&target == this) return;
  target.ReleaseStorage(true);
  target.width_ = width_;
  target.height_ = height_;
  target.bitsPerPixel_ = bitsPerPixel_;
  target.channels_ = channels_;
  target.rowLength_ = rowLength_;
  target.format_ = format_;
  target.palette_ = std::move(palette_);
  target.paletteCount_ = paletteCount_;
  target.alpha_ = std::move(alpha_);
  target.isAlphaChannel_ = isAlphaChannel_;
  target.pixelBase_ = pixelBase_;
  target.pixelBlock_ = pixelBlock_;
  target.bitmap_ = bitmap_;
  target.ownedBitmap_ = std::move(ownedBitmap_);
  target.rowTable_ = std::move(rowTable_);
  target.rowView_ = rowView_;
  target.location_ = location_;
  target.allOpaque_ = allOpaque_;
  target.externalTBitmap_ = externalTBitmap_;
  target.fileBuffer_ = std::move(fileBuffer_);
  fileBuffer_ = std::make_unique<TPxFileBuffer>();
  ResetFields();
  format_ = pxNoFormat;
}

// Copies rows of a source of the same size into freshly allocated storage.
// A 16-bit gray source landing in 8 bits (platform bitmaps) keeps its high bytes.
void TPxBitmap::CopyRowsFrom(TPxBitmap& source) {
  const TPxAccessGuard sourceGuard(source, kAccessRead), destGuard(*this, kAccessWrite);
  const int h = std::min(height_, source.Height());
  const bool narrow = source.Format() == pxGray16 && format_ == pxGray8;
  const int n = std::min(rowLength_, source.RowLength());
  for (int r = 0; r < h; ++r) {
    const uint8_t* s = source.RowPointer(r);
    uint8_t* d = RowPointer(r);
    if (narrow) {
      for (int x = 0; x < width_; ++x) d[x] = s[2 * x + 1];
    } else {
      std::memcpy(d, s, size_t(n));
    }
  }
  ReleaseRowView();
  source.ReleaseRowView();
}

void TPxBitmap::SetLocation(TPxBitmapStorage location) {
  if (location == location_) return;
  TPxBitmap tmp;
  MoveStorageTo(tmp);
  location_ = location;
  memoryThreshold_ = std::max<int64_t>(memoryThreshold_, 0);
  AllocatePixels(tmp.width_, tmp.height_, tmp.format_);
  if (!IsEmpty()) {
    CopyRowsFrom(tmp);
    for (int i = 0; i < std::min(paletteCount_, tmp.paletteCount_); ++i) palette_[size_t(i)] = tmp.palette_[size_t(i)];
    SyncPaletteToTBitmap();
  }
  allOpaque_ = tmp.allOpaque_;
  isAlphaChannel_ = tmp.isAlphaChannel_;
  alpha_ = std::move(tmp.alpha_);
  if (alpha_ && location_ == pxTBitmap) alpha_->SetLocation(pxInMemory);
}

TBitmap* TPxBitmap::AsTBitmap() {
  SetLocation(pxTBitmap);
  if (!bitmap_) {
    ownedBitmap_ = std::make_unique<TBitmap>();
    bitmap_ = ownedBitmap_.get();
  }
  return bitmap_;
}

void TPxBitmap::AdoptTBitmap(TBitmap* bitmap, bool releaseFirst) {
  // Our own pixels are always let go so nothing is leaked; the alpha channel
  // stays unless asked.
  ReleaseStorage(releaseFirst);
  if (!bitmap) return;
  // Rows are addressed by the row length of the format; depths other than
  // 1, 8 and 24 bits are turned into 24 bits so they cannot be misread.
  int bits = bitmap->BitCount();
  if (bits != 1 && bits != 8 && bits != 24) bitmap->SetPixelFormat(TPixelFormat::pf24bit);
  bits = bitmap->BitCount();
  width_ = bitmap->Width();
  height_ = bitmap->Height();
  if (bits == 1)
    format_ = pxMono1;
  else if (bits == 24)
    format_ = pxRGB24;
  else if (format_ != pxGray8 && format_ != pxPalette8)
    format_ = pxPalette8;
  bitsPerPixel_ = FormatBitsPerPixel(format_);
  channels_ = FormatChannels(format_);
  rowLength_ = int(RowLengthFor(width_, bitsPerPixel_));
  location_ = pxTBitmap;
  externalTBitmap_ = true;
  bitmap_ = bitmap;
  BuildRowTable();
  FollowTBitmap();
}

// Callers may resize or redraw the platform bitmap behind our back; every
// geometry query first catches up with it.
void TPxBitmap::FollowTBitmap() {
  if (location_ != pxTBitmap || !bitmap_) return;
  int bits = bitmap_->BitCount();
  if (bits != 1 && bits != 8 && bits != 24) {
    bitmap_->SetPixelFormat(TPixelFormat::pf24bit);
    bits = 24;
  }
  TPxBitmapFormat f = pxRGB24;
  if (bits == 1) {
    f = pxMono1;
  } else if (bits == 8) {
    bool ramp = true;
    const TRGBQuad* t = bitmap_->ColorTable();
    if (!isAlphaChannel_)
      for (int i = 0; i < 256 && ramp; ++i) ramp = t[i].rgbRed == i && t[i].rgbGreen == i && t[i].rgbBlue == i;
    f = ramp ? pxGray8 : pxPalette8;
  }
  const int w = bitmap_->Width(), h = bitmap_->Height();
  if (w != width_ || h != height_ || f != format_) {
    width_ = w;
    height_ = h;
    format_ = f;
    bitsPerPixel_ = FormatBitsPerPixel(f);
    channels_ = FormatChannels(f);
    rowLength_ = int(RowLengthFor(w, bitsPerPixel_));
    if (alpha_ && (alpha_->Width() != w || alpha_->Height() != h)) {
      alpha_->AllocatePixels(w, h, pxGray8);
      alpha_->FillWith(255);
    }
    BuildRowTable();
  }
  if (height_ > 0 && (rowTable_.empty() || bitmap_->ScanLine(0) != rowTable_[0])) BuildRowTable();
  if (format_ == pxPalette8) {
    if (!palette_) palette_.reset(new TColorBGR[256]);
    paletteCount_ = 256;
    const TRGBQuad* t = bitmap_->ColorTable();
    for (int i = 0; i < 256; ++i) palette_[size_t(i)] = TColorBGR{t[i].rgbBlue, t[i].rgbGreen, t[i].rgbRed};
  }
}

// ---------------------------------------------------------------- geometry

uint8_t* TPxBitmap::RowPointer(int row) {
  switch (location_) {
    case pxInMemory:
      return pixelBase_ + size_t(height_ - 1 - row) * size_t(rowLength_);
    case pxTBitmap:
      return rowTable_[size_t(row)];
    case pxTempFile:
      ReleaseRowView();
      rowView_ = fileBuffer_->MapView(int64_t(row) * rowLength_, rowLength_, access_);
      return rowView_;
  }
  return nullptr;
}

int TPxBitmap::BitsPerPixel() {
  FollowTBitmap();
  return bitsPerPixel_;
}
int TPxBitmap::Height() {
  FollowTBitmap();
  return height_;
}
int TPxBitmap::Width() {
  FollowTBitmap();
  return width_;
}
TPxBitmapFormat TPxBitmap::Format() {
  FollowTBitmap();
  return format_;
}
int TPxBitmap::RowLength() {
  FollowTBitmap();
  return rowLength_;
}
bool TPxBitmap::IsEmpty() {
  FollowTBitmap();
  return width_ <= 0 || height_ <= 0 || rowLength_ == 0 || bitsPerPixel_ == 0;
}

// ---------------------------------------------------------------- palette

void TPxBitmap::GetPaletteEntry(int index, TColorBGR& color) {
  if (index >= 0 && index < paletteCount_ && palette_) color = palette_[size_t(index)];
}

void TPxBitmap::SetPaletteEntry(int index, const TColorBGR& color) {
  if (index < 0 || index >= paletteCount_ || !palette_) return;
  palette_[size_t(index)] = color;
  SyncPaletteToTBitmap();
}

void TPxBitmap::SyncPaletteToTBitmap() {
  if (location_ != pxTBitmap || !bitmap_ || paletteCount_ < 1 || !palette_) return;
  TRGBQuad table[256];
  const int n = std::min(paletteCount_, 256);
  for (int i = 0; i < n; ++i)
    table[i] = TRGBQuad{palette_[size_t(i)].b, palette_[size_t(i)].g, palette_[size_t(i)].r, 0};
  bitmap_->SetColorTable(0, n, table);
}

// ---------------------------------------------------------------- alpha

TPxBitmap* TPxBitmap::AlphaChannel() {
  if (isAlphaChannel_) return nullptr;
  if (!alpha_) {
    auto alpha = std::make_unique<TPxBitmap>();
    alpha->isAlphaChannel_ = true;
    alpha->location_ = location_ == pxTBitmap ? pxInMemory : location_;
    alpha->memoryThreshold_ = memoryThreshold_;
    alpha->AllocatePixels(Width(), Height(), pxGray8);
    alpha->FillWith(255);
    alpha_ = std::move(alpha);
  }
  return alpha_.get();
}

void TPxBitmap::RemoveAlphaChannel() {
  if (!isAlphaChannel_) alpha_.reset();
}

void TPxBitmap::UpdateAllOpaque() {
  allOpaque_ = true;
  const int h = Height(), n = RowLength();
  for (int r = 0; r < h && allOpaque_; ++r) {
    const uint8_t* p = RowPointer(r);
    for (int i = 0; i < n; ++i)
      if (p[i] != 255) {
        allOpaque_ = false;
        break;
      }
  }
}

// ---------------------------------------------------------------- copying

void TPxBitmap::AssignFrom(TPxBaseBitmap& base) {
  auto* source = dynamic_cast<TPxBitmap*>(&base);
  if (!source || source == this) return;
  if (location_ == pxTBitmap && source->IsEmpty()) return;
  Reallocate(source->Width(), source->Height(), source->Format(), true);
  allOpaque_ = source->allOpaque_;
  if (!IsEmpty()) {
    if (location_ == pxTempFile && source->location_ == pxTempFile && rowLength_ == source->rowLength_) {
      ReleaseRowView();
      source->ReleaseRowView();
      fileBuffer_->CopyFrom(*source->fileBuffer_, 0, int64_t(rowLength_) * height_);
    } else {
      CopyRowsFrom(*source);
    }
  }
  if (!isAlphaChannel_) {
    if (source->alpha_) {
      AlphaChannel()->AssignFrom(*source->alpha_);
    } else {
      alpha_.reset();
    }
  }
  const int n = std::min(paletteCount_, source->paletteCount_);
  for (int i = 0; i < n; ++i) palette_[size_t(i)] = source->palette_[size_t(i)];
  SyncPaletteToTBitmap();
}

void TPxBitmap::AssignPixels(TPxBitmap& source) {
  if (&source == this || source.IsEmpty()) return;
  Reallocate(source.Width(), source.Height(), source.Format(), false);
  if (!IsEmpty()) CopyRowsFrom(source);
  const int n = std::min(paletteCount_, source.paletteCount_);
  for (int i = 0; i < n; ++i) palette_[size_t(i)] = source.palette_[size_t(i)];
  SyncPaletteToTBitmap();
  allOpaque_ = false;
}

void TPxBitmap::CopyRegionTo(TPxBitmap& dest, int srcX, int srcY, int dstX, int dstY, int width, int height) {
  if (&dest == this) {
    // One row of a file-backed bitmap at a time: copy through a separate bitmap.
    TPxBitmap tmp;
    tmp.SetLocation(location_ == pxTBitmap ? pxInMemory : location_);
    tmp.AllocatePixels(Width(), Height(), Format());
    tmp.CopyRowsFrom(*this);
    tmp.CopyRegionTo(*this, srcX, srcY, dstX, dstY, width, height);
    return;
  }
  const int64_t W = Width(), H = Height(), DW = dest.Width(), DH = dest.Height();
  if (W <= 0 || H <= 0 || DW <= 0 || DH <= 0) return;
  // A negative corner on either side moves the other one along and shortens
  // the span; what is left is cut to both pictures. A rectangle that lies
  // outside either picture copies nothing.
  int64_t sx = srcX, sy = srcY, dx = dstX, dy = dstY, w = width, h = height;
  if (dx < 0) {
    sx -= dx;
    w += dx;
    dx = 0;
  }
  if (dy < 0) {
    sy -= dy;
    h += dy;
    dy = 0;
  }
  if (sx < 0) {
    dx -= sx;
    w += sx;
    sx = 0;
  }
  if (sy < 0) {
    dy -= sy;
    h += sy;
    sy = 0;
  }
  w = std::min({w, W - sx, DW - dx});
  h = std::min({h, H - sy, DH - dy});
  if (w <= 0 || h <= 0) return;
  const TPxBitmapFormat sf = Format(), df = dest.Format();
  const bool mono = sf == pxMono1 && df == pxMono1;
  const bool monoToRgb = sf == pxMono1 && df == pxRGB24;
  if (!mono && !monoToRgb && sf != df) return;
  const int bpp = FormatBytesPerPixel(sf);
  // Both rows must be held at once: a file-backed destination row is read and
  // written back (it keeps its other pixels); the source row is only read.
  const TPxAccessGuard guard(*this, kAccessRead);
  for (int64_t i = 0; i < h; ++i) {
    const uint8_t* s = RowPointer(int(sy + i));
    uint8_t* d = dest.RowPointer(int(dy + i));
    if (mono) {
      for (int64_t k = 0; k < w; ++k) {
        const int64_t si = sx + k, di = dx + k;
        const uint8_t m = uint8_t(0x80 >> (di & 7));
        if (s[si >> 3] & (0x80 >> (si & 7)))
          d[di >> 3] |= m;
        else
          d[di >> 3] &= uint8_t(~m);
      }
    } else if (monoToRgb) {
      for (int64_t k = 0; k < w; ++k) {
        const int64_t si = sx + k;
        std::memset(d + (dx + k) * 3, (s[si >> 3] & (0x80 >> (si & 7))) ? 255 : 0, 3);
      }
    } else {
      std::memcpy(d + dx * bpp, s + sx * bpp, size_t(w * bpp));
    }
  }
  ReleaseRowView();
  dest.ReleaseRowView();
}

void TPxBitmap::MergeAlphaRegionTo(TPxBitmap& dest, int srcX, int srcY, int dstX, int dstY, int width, int height) {
  TPxBitmap* sa = isAlphaChannel_ ? this : AlphaChannel();
  TPxBitmap* da = dest.isAlphaChannel_ ? &dest : dest.AlphaChannel();
  if (!sa || !da) return;
  // The same clipping as CopyRegionTo: copy the destination's alpha aside,
  // paste the source's over it, then keep the larger value of the two.
  TPxBitmap before;
  before.SetLocation(pxInMemory);
  before.AssignFrom(*da);
  sa->CopyRegionTo(*da, srcX, srcY, dstX, dstY, width, height);
  const int w = da->Width(), h = da->Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* b = before.RowPointer(y);
    uint8_t* d = da->RowPointer(y);
    for (int x = 0; x < w; ++x) d[x] = std::max(d[x], b[x]);
  }
  da->ReleaseRowView();
}

void TPxBitmap::ImportTBitmap(TBitmap& bitmap) {
  if (location_ == pxTBitmap) {
    if (!bitmap_) {
      ownedBitmap_ = std::make_unique<TBitmap>();
      bitmap_ = ownedBitmap_.get();
    }
    if (bitmap_ != &bitmap) bitmap_->Assign(bitmap);
    width_ = bitmap_->Width();
    height_ = bitmap_->Height();
    if (bitmap_->BitCount() == 1)
      format_ = pxMono1;
    else if (bitmap_->BitCount() == 24)
      format_ = pxRGB24;
    else if (bitmap_->BitCount() != 8) {
      bitmap_->SetPixelFormat(TPixelFormat::pf24bit);
      format_ = pxRGB24;
    }
    bitsPerPixel_ = FormatBitsPerPixel(format_);
    channels_ = FormatChannels(format_);
    rowLength_ = int(RowLengthFor(width_, bitsPerPixel_));
    BuildRowTable();
    FollowTBitmap();
    allOpaque_ = false;
    return;
  }
  const TPixelFormat pf = bitmap.PixelFormat();
  if (pf == TPixelFormat::pfDevice || pf == TPixelFormat::pfCustom) return;
  const int w = bitmap.Width(), h = bitmap.Height();
  TPxBitmapFormat f = pxRGB24;
  if (pf == TPixelFormat::pf1bit && bitmap.Monochrome())
    f = pxMono1;
  else if (pf == TPixelFormat::pf1bit || pf == TPixelFormat::pf4bit || pf == TPixelFormat::pf8bit)
    f = pxPalette8;
  AllocatePixels(w, h, f);
  if (IsEmpty()) return;
  if (f == pxPalette8) {
    const int n = bitmap.ColorTableCount();
    const TRGBQuad* t = bitmap.ColorTable();
    for (int i = 0; i < n; ++i) palette_[size_t(i)] = TColorBGR{t[i].rgbBlue, t[i].rgbGreen, t[i].rgbRed};
  }
  const TPxAccessGuard guard(*this, kAccessWrite);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = bitmap.ScanLine(y);
    uint8_t* d = RowPointer(y);
    switch (pf) {
      case TPixelFormat::pf1bit:
        if (f == pxMono1) {
          std::memcpy(d, s, size_t(std::min(rowLength_, bitmap.RowLength())));
        } else {
          for (int x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
        }
        break;
      case TPixelFormat::pf4bit:
        for (int x = 0; x < w; ++x) d[x] = (x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4;
        break;
      case TPixelFormat::pf8bit:
        std::memcpy(d, s, size_t(w));
        break;
      case TPixelFormat::pf15bit:
        for (int x = 0; x < w; ++x) {
          const unsigned v = s[2 * x] | (s[2 * x + 1] << 8);
          d[3 * x + 2] = uint8_t(((v >> 10) & 31) * 8);
          d[3 * x + 1] = uint8_t(((v >> 5) & 31) * 8);
          d[3 * x] = uint8_t((v & 31) * 8);
        }
        break;
      case TPixelFormat::pf16bit:
        for (int x = 0; x < w; ++x) {
          const unsigned v = s[2 * x] | (s[2 * x + 1] << 8);
          d[3 * x + 2] = uint8_t((v >> 11) * 8);
          d[3 * x + 1] = uint8_t(((v >> 5) & 63) * 4);
          d[3 * x] = uint8_t((v & 31) * 8);
        }
        break;
      case TPixelFormat::pf24bit:
        std::memcpy(d, s, size_t(3) * w);
        break;
      default:
        for (int x = 0; x < w; ++x) std::memcpy(d + 3 * x, s + 4 * x, 3);
        break;
    }
  }
  ReleaseRowView();
  allOpaque_ = false;
}

void TPxBitmap::ImportMask(TPxMask* mask) {
  if (!mask) {
    FillWith(255);
    return;
  }
  const int bits = mask->BitsPerPixel();
  if (bits != 1 && bits != 8) return;
  AllocatePixels(mask->Width(), mask->Height(), bits == 1 ? pxMono1 : pxGray8);
  if (IsEmpty()) return;
  const int n = std::min(rowLength_, mask->RowLength());
  for (int y = 0; y < height_; ++y) std::memcpy(RowPointer(y), mask->MaskRow(y), size_t(n));
  ReleaseRowView();
  allOpaque_ = mask->AllSet();
}

void TPxBitmap::ExportMask(TPxMask& mask) {
  const TPxBitmapFormat f = Format();
  if (f != pxMono1 && f != pxGray8) return;
  mask.AllocateMask(width_, height_, f == pxMono1 ? 1 : 8);
  const int n = std::min(rowLength_, mask.RowLength());
  for (int y = 0; y < height_ && n > 0; ++y) std::memcpy(mask.MaskRow(y), RowPointer(y), size_t(n));
  ReleaseRowView();
  mask.SetAllSet(allOpaque_);
}

void TPxBitmap::ImportDib(TPxDibbitmap& dib) {
  const int bits = dib.BitsPerPixel();
  const TPxBitmapFormat f = bits == 1 ? pxMono1 : bits == 8 ? pxGray8 : bits == 24 ? pxRGB24 : pxNoFormat;
  if (f == pxNoFormat) return;
  AllocatePixels(dib.Width(), dib.Height(), f);
  if (IsEmpty()) return;
  const int n = std::min(rowLength_, dib.RowLength());
  for (int y = 0; y < height_; ++y) std::memcpy(RowPointer(y), dib.RowPointer(y), size_t(n));
  ReleaseRowView();
}

// ---------------------------------------------------------------- geometry changes

void TPxBitmap::ChangeSize(int newWidth, int newHeight) {
  if (newWidth == Width() && newHeight == Height()) return;
  if (alpha_) alpha_->ChangeSize(newWidth, newHeight);
  if (location_ == pxTBitmap) {
    if (!bitmap_) {
      ownedBitmap_ = std::make_unique<TBitmap>();
      bitmap_ = ownedBitmap_.get();
    }
    // The platform bitmap keeps its overlapping pixels at every depth.
    bitmap_->SetSize(newWidth, newHeight);
    width_ = bitmap_->Width();
    height_ = bitmap_->Height();
    rowLength_ = int(RowLengthFor(width_, bitsPerPixel_));
    BuildRowTable();
    return;
  }
  if (format_ == pxNoFormat || height_ <= 0) {
    width_ = std::max(newWidth, 0);
    height_ = std::max(newHeight, 0);
    return;
  }
  TPxBitmap tmp;
  MoveStorageTo(tmp);
  AllocatePixels(newWidth, newHeight, tmp.format_);
  if (!IsEmpty()) {
    CopyRowsFrom(tmp);
    // The palette belongs to the picture, not to the old geometry.
    for (int i = 0; i < std::min(paletteCount_, tmp.paletteCount_); ++i) palette_[size_t(i)] = tmp.palette_[size_t(i)];
  }
  alpha_ = std::move(tmp.alpha_);
  allOpaque_ = false;
}

void TPxBitmap::ChangeWidth(int newWidth) {
  ChangeSize(newWidth, Height());
}
void TPxBitmap::ChangeHeight(int newHeight) {
  ChangeSize(Width(), newHeight);
}

void TPxBitmap::MoveRegion(int x1, int y1, int x2, int y2, int dstX, int dstY, double fill) {
  TPxBitmap tmp;
  tmp.SetLocation(location_ == pxTBitmap ? pxInMemory : location_);
  tmp.memoryThreshold_ = memoryThreshold_;
  tmp.AllocatePixels(x2 - x1 + 1, y2 - y1 + 1, Format());
  if (tmp.IsEmpty()) return;
  CopyRegionTo(tmp, x1, y1, 0, 0, tmp.width_, tmp.height_);
  FillArea(x1, y1, x2, y2, fill);
  tmp.CopyRegionTo(*this, 0, 0, dstX, dstY, tmp.width_, tmp.height_);
}

void TPxBitmap::ResizeCanvas(int nw, int nh, double fill, double alphaFill, int horzAlign, int vertAlign) {
  const int ow = Width(), oh = Height();
  auto shrink = [&](TPxBitmap& b, double v) {
    if (nw < ow) {
      if (horzAlign == 1)
        b.MoveRegion((ow - nw) / 2, 0, (ow - nw) / 2 + nw - 1, oh - 1, 0, 0, v);
      else if (horzAlign == 2)
        b.MoveRegion(ow - nw, 0, ow - 1, oh - 1, 0, 0, v);
    }
    if (nh < oh) {
      if (vertAlign == 1)
        b.MoveRegion(0, (oh - nh) / 2, ow - 1, (oh - nh) / 2 + nh - 1, 0, 0, v);
      else if (vertAlign == 2)
        b.MoveRegion(0, oh - nh, ow - 1, oh - 1, 0, 0, v);
    }
  };
  auto grow = [&](TPxBitmap& b, double v) {
    if (ow < nw) {
      b.FillArea(ow, 0, nw - 1, nh - 1, v);
      if (horzAlign == 1)
        b.MoveRegion(0, 0, ow - 1, oh - 1, (nw - ow) / 2, 0, v);
      else if (horzAlign == 2)
        b.MoveRegion(0, 0, ow - 1, oh - 1, nw - ow, 0, v);
    }
    if (oh < nh) {
      b.FillArea(0, oh, nw - 1, nh - 1, v);
      if (vertAlign == 1)
        b.MoveRegion(0, 0, nw - 1, oh - 1, 0, (nh - oh) / 2, v);
      else if (vertAlign == 2)
        b.MoveRegion(0, 0, nw - 1, oh - 1, 0, nh - oh, v);
    }
  };
  shrink(*this, fill);
  if (alpha_) shrink(*alpha_, alphaFill);
  ChangeWidth(nw);
  ChangeHeight(nh);
  grow(*this, fill);
  if (alpha_) grow(*alpha_, alphaFill);
}

// ---------------------------------------------------------------- pixels

uint8_t TPxBitmap::ByteAt(int x, int y) {
  return RowPointer(y)[x];
}
void TPxBitmap::SetByteAt(int x, int y, uint8_t v) {
  RowPointer(y)[x] = v;
}

uint16_t TPxBitmap::WordAt(int x, int y) {
  uint16_t v;
  std::memcpy(&v, RowPointer(y) + 2 * size_t(x), 2);
  return v;
}
void TPxBitmap::SetWordAt(int x, int y, uint16_t v) {
  std::memcpy(RowPointer(y) + 2 * size_t(x), &v, 2);
  if (v != 65535) allOpaque_ = false;
}

float TPxBitmap::FloatAt(int x, int y) {
  float v;
  std::memcpy(&v, RowPointer(y) + 4 * size_t(x), 4);
  return v;
}
void TPxBitmap::SetFloatAt(int x, int y, float v) {
  std::memcpy(RowPointer(y) + 4 * size_t(x), &v, 4);
  if (!(v >= 1.0f)) allOpaque_ = false;
}

uint32_t TPxBitmap::CMYKAt(int x, int y) {
  uint32_t v;
  std::memcpy(&v, RowPointer(y) + 4 * size_t(x), 4);
  return v;
}
void TPxBitmap::SetCMYKAt(int x, int y, uint32_t v) {
  std::memcpy(RowPointer(y) + 4 * size_t(x), &v, 4);
}

TColorBGR TPxBitmap::PixelBGR(int x, int y) {
  TColorBGR c;
  std::memcpy(&c, RowPointer(y) + 3 * size_t(x), 3);
  return c;
}
void TPxBitmap::SetPixelBGR(int x, int y, const TColorBGR& c) {
  std::memcpy(RowPointer(y) + 3 * size_t(x), &c, 3);
}

void TPxBitmap::RGB48At(int x, int y, uint16_t rgb[3]) {
  std::memcpy(rgb, RowPointer(y) + 6 * size_t(x), 6);
}
void TPxBitmap::SetRGB48At(int x, int y, const uint16_t rgb[3]) {
  std::memcpy(RowPointer(y) + 6 * size_t(x), rgb, 6);
  if (rgb[0] != 65535 || rgb[1] != 65535 || rgb[2] != 65535) allOpaque_ = false;
}

TColorBGR TPxBitmap::ColorAt(int x, int y) {
  const TPxBitmapFormat f = Format();
  if (f == pxNoFormat) return TColorBGR{};
  const uint8_t* p = RowPointer(y);
  switch (f) {
    case pxMono1: {
      const uint8_t v = (p[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      return TColorBGR{v, v, v};
    }
    case pxPalette8: {
      TColorBGR c;
      GetPaletteEntry(p[x], c);
      return c;
    }
    case pxGray8:
      return TColorBGR{p[x], p[x], p[x]};
    case pxGray16:
      return TColorBGR{p[2 * x + 1], p[2 * x + 1], p[2 * x + 1]};
    case pxRGB24: {
      TColorBGR c;
      std::memcpy(&c, p + 3 * size_t(x), 3);
      return c;
    }
    case px32f: {
      float v;
      std::memcpy(&v, p + 4 * size_t(x), 4);
      const uint8_t g = uint8_t(TruncValue(double(v) * 255));
      return TColorBGR{g, g, g};
    }
    case pxCMYK:
      return InvertedCMYKToBGR(p + 4 * size_t(x));
    case pxRGB48:
      return TColorBGR{p[6 * x + 5], p[6 * x + 3], p[6 * x + 1]};
    case pxCIELab:
      return LabToBGR(p + 3 * size_t(x));
    default:
      return TColorBGR{};
  }
}

uint8_t TPxBitmap::AlphaAt(int x, int y) {
  if (isAlphaChannel_) return ByteAt(x, y);
  return AlphaChannel()->ByteAt(x, y);
}

template <typename Fn>
void TPxBitmap::ForEachRow(int y1, int y2, uint8_t access, Fn&& fn) {
  const TPxAccessGuard guard(*this, access);
  for (int y = y1; y <= y2; ++y) fn(RowPointer(y));
  ReleaseRowView();
}

namespace {

struct FillValue {
  uint8_t bytes[8] = {};
  int size = 0;
  bool opaque = false;
};

FillValue MakeFill(TPxBitmapFormat f, double value, bool truncateFloat) {
  FillValue fv;
  const int64_t v = TruncValue(value);
  const TColorBGR c = ColorToBGR(uint32_t(v));
  switch (f) {
    case pxPalette8:
    case pxGray8:
      fv.bytes[0] = uint8_t(v);
      fv.size = 1;
      fv.opaque = v == 255;
      break;
    case pxGray16: {
      const uint16_t w = uint16_t(v);
      std::memcpy(fv.bytes, &w, 2);
      fv.size = 2;
      fv.opaque = v == 65535;
      break;
    }
    case pxRGB24:
      std::memcpy(fv.bytes, &c, 3);
      fv.size = 3;
      fv.opaque = IsWhite(c);
      break;
    case px32f: {
      const float fl = truncateFloat ? float(v) : float(value);
      std::memcpy(fv.bytes, &fl, 4);
      fv.size = 4;
      fv.opaque = value == 1.0;
      break;
    }
    case pxCMYK: {
      const uint32_t k = BGRToInvertedCMYK(c);
      std::memcpy(fv.bytes, &k, 4);
      fv.size = 4;
      fv.opaque = IsWhite(c);
      break;
    }
    case pxRGB48: {
      const uint16_t w[3] = {uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257)};
      std::memcpy(fv.bytes, w, 6);
      fv.size = 6;
      fv.opaque = IsWhite(c);
      break;
    }
    case pxCIELab:
      BGRToLab(c, fv.bytes);
      fv.size = 3;
      fv.opaque = IsWhite(c);
      break;
    default:
      break;
  }
  return fv;
}

// A span of `pixels` pixels all equal to one fill value, built once so that a
// fill writes each row with one memset or memcpy instead of a call per pixel.
class TFillSpan {
 public:
  TFillSpan(const FillValue& fv, int64_t pixels) : bytes_(size_t(pixels) * size_t(fv.size)), first_(fv.bytes[0]) {
    uniform_ = std::all_of(fv.bytes, fv.bytes + fv.size, [&](uint8_t b) { return b == first_; });
    if (uniform_ || bytes_ == 0) return;
    span_.reset(new uint8_t[bytes_]);
    // Doubling: every copy repeats whole pixels, so the period stays fv.size.
    size_t filled = std::min(bytes_, size_t(fv.size));
    std::memcpy(span_.get(), fv.bytes, filled);
    while (filled < bytes_) {
      const size_t n = std::min(filled, bytes_ - filled);
      std::memcpy(span_.get() + filled, span_.get(), n);
      filled += n;
    }
  }

  void WriteTo(uint8_t* d) const {
    if (uniform_)
      std::memset(d, first_, bytes_);
    else
      std::memcpy(d, span_.get(), bytes_);
  }

 private:
  size_t bytes_;
  uint8_t first_;
  bool uniform_ = false;
  std::unique_ptr<uint8_t[]> span_;
};

}  // namespace

void TPxBitmap::FillWith(double value) {
  const TPxBitmapFormat f = Format();
  if (IsEmpty()) return;
  if (f == pxMono1) {
    const bool set = TruncValue(value) != 0;
    ForEachRow(0, height_ - 1, kAccessWrite, [&](uint8_t* d) { std::memset(d, set ? 255 : 0, size_t(rowLength_)); });
    allOpaque_ = set;
    return;
  }
  const FillValue fv = MakeFill(f, value, false);
  if (fv.size == 0) return;
  if (fv.size == 1) {
    // Padding included, so UpdateAllOpaque sees a filled alpha channel as opaque.
    ForEachRow(0, height_ - 1, kAccessWrite, [&](uint8_t* d) { std::memset(d, fv.bytes[0], size_t(rowLength_)); });
  } else {
    const TFillSpan span(fv, width_);
    ForEachRow(0, height_ - 1, kAccessWrite, [&](uint8_t* d) { span.WriteTo(d); });
  }
  allOpaque_ = fv.opaque;
}

void TPxBitmap::FillArea(int x1, int y1, int x2, int y2, double value) {
  const TPxBitmapFormat f = Format();
  if (IsEmpty()) return;
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, width_ - 1);
  y2 = std::min(y2, height_ - 1);
  if (y2 < y1 || x2 < x1) return;
  if (f == pxMono1) {
    const bool set = TruncValue(value) != 0;
    ForEachRow(y1, y2, kAccessReadWrite, [&](uint8_t* d) {
      for (int x = x1; x <= x2; ++x) {
        const uint8_t m = uint8_t(0x80 >> (x & 7));
        if (set)
          d[x >> 3] |= m;
        else
          d[x >> 3] &= uint8_t(~m);
      }
    });
    return;
  }
  const FillValue fv = MakeFill(f, value, true);
  if (fv.size == 0) return;
  const TFillSpan span(fv, x2 - x1 + 1);
  ForEachRow(y1, y2, kAccessReadWrite, [&](uint8_t* d) { span.WriteTo(d + size_t(x1) * fv.size); });
}

bool TPxBitmap::HasOnlyGrays() {
  const TPxBitmapFormat f = Format();
  if (f == pxPalette8) {
    for (int i = 0; i < paletteCount_; ++i) {
      const TColorBGR c = palette_[size_t(i)];
      if (c.r != c.g || c.g != c.b) return false;
    }
    return true;
  }
  if (f != pxRGB24) return true;
  const TPxAccessGuard guard(*this, kAccessRead);
  bool gray = true;
  for (int y = 0; y < height_ && gray; ++y) {
    const uint8_t* p = RowPointer(y);
    for (int x = 0; x < width_; ++x, p += 3)
      if (p[0] != p[1] || p[1] != p[2]) {
        gray = false;
        break;
      }
  }
  ReleaseRowView();
  return gray;
}

}  // namespace rv
