#include "platform/tbitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace rv {

namespace {

int64_t RowBytes(int64_t width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

// The Windows default 16-colour table, used when a bitmap becomes 4-bit.
constexpr uint8_t kVga16[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                   {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                   {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                   {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

void DefaultTable(TPixelFormat f, TRGBQuad* table) {
  std::fill(table, table + 256, TRGBQuad{});
  if (f == TPixelFormat::pf1bit) {
    table[1] = TRGBQuad{255, 255, 255, 0};
  } else if (f == TPixelFormat::pf4bit) {
    for (int i = 0; i < 16; ++i) table[i] = TRGBQuad{kVga16[i][2], kVga16[i][1], kVga16[i][0], 0};
  } else if (f == TPixelFormat::pf8bit) {
    // 6x6x6 colour cube plus a gray ramp: any colour has a near entry.
    int n = 0;
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b) table[n++] = TRGBQuad{uint8_t(b * 51), uint8_t(g * 51), uint8_t(r * 51), 0};
    for (int i = 0; n < 256; ++i, ++n) {
      uint8_t v = uint8_t(8 + i * 6);
      table[n] = TRGBQuad{v, v, v, 0};
    }
  }
}

}  // namespace

TBitmap::TBitmap() = default;

TBitmap::~TBitmap() {
  std::free(bits_);
}

int TBitmap::BitCountOf(TPixelFormat f) {
  switch (f) {
    case TPixelFormat::pf1bit:
      return 1;
    case TPixelFormat::pf4bit:
      return 4;
    case TPixelFormat::pf8bit:
      return 8;
    case TPixelFormat::pf15bit:
    case TPixelFormat::pf16bit:
      return 16;
    case TPixelFormat::pf24bit:
      return 24;
    case TPixelFormat::pf32bit:
    case TPixelFormat::pfDevice:
    case TPixelFormat::pfCustom:
      return 32;
  }
  return 32;
}

int TBitmap::ColorTableCount() const {
  switch (format_) {
    case TPixelFormat::pf1bit:
      return 2;
    case TPixelFormat::pf4bit:
      return 16;
    case TPixelFormat::pf8bit:
      return 256;
    default:
      return 0;
  }
}

void TBitmap::GetColorTable(int first, int count, TRGBQuad* out) const {
  for (int i = 0; i < count; ++i) {
    int k = first + i;
    out[i] = (k >= 0 && k < 256) ? table_[k] : TRGBQuad{};
  }
}

void TBitmap::SetColorTable(int first, int count, const TRGBQuad* in) {
  for (int i = 0; i < count; ++i) {
    int k = first + i;
    if (k >= 0 && k < 256) table_[k] = in[i];
  }
  if (format_ == TPixelFormat::pf1bit) {
    monochrome_ = table_[0].rgbRed == 0 && table_[0].rgbGreen == 0 && table_[0].rgbBlue == 0 &&
                  table_[1].rgbRed == 255 && table_[1].rgbGreen == 255 && table_[1].rgbBlue == 255;
  }
  Changed();
}

TBitmapListenerHandle TBitmap::RegisterChangeListener(TBitmapChangeProc callback) {
  const TBitmapListenerHandle handle = nextHandle_++;
  listeners_.push_back({handle, std::move(callback)});
  return handle;
}

void TBitmap::UnregisterChangeListener(TBitmapListenerHandle handle) {
  if (handle < 0) return;
  auto it = std::find_if(listeners_.begin(), listeners_.end(),
                         [handle](const TChangeListener& l) { return l.Handle == handle; });
  if (it != listeners_.end()) listeners_.erase(it);
}

void TBitmap::Changed() {
  if (listeners_.empty()) return;
  // Walk a snapshot of the handles: a listener may unregister itself or
  // others, or register new ones, from its call.
  std::vector<TBitmapListenerHandle> handles;
  handles.reserve(listeners_.size());
  for (const TChangeListener& l : listeners_) handles.push_back(l.Handle);
  for (TBitmapListenerHandle h : handles) {
    auto it =
        std::find_if(listeners_.begin(), listeners_.end(), [h](const TChangeListener& l) { return l.Handle == h; });
    if (it == listeners_.end()) continue;
    // A copy: the callback may change the list and invalidate the record.
    TBitmapChangeProc callback = it->Callback;
    if (callback) callback(*this);
  }
}

void TBitmap::PixelBGR(int x, int y, uint8_t bgr[3]) const {
  const uint8_t* row = ScanLine(y);
  auto fromTable = [&](int i) {
    bgr[0] = table_[i].rgbBlue;
    bgr[1] = table_[i].rgbGreen;
    bgr[2] = table_[i].rgbRed;
  };
  switch (format_) {
    case TPixelFormat::pf1bit:
      fromTable((row[x >> 3] >> (7 - (x & 7))) & 1);
      break;
    case TPixelFormat::pf4bit:
      fromTable((x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4);
      break;
    case TPixelFormat::pf8bit:
      fromTable(row[x]);
      break;
    case TPixelFormat::pf15bit: {
      uint16_t w = uint16_t(row[2 * x] | (row[2 * x + 1] << 8));
      bgr[2] = uint8_t(((w >> 10) & 31) * 8);
      bgr[1] = uint8_t(((w >> 5) & 31) * 8);
      bgr[0] = uint8_t((w & 31) * 8);
      break;
    }
    case TPixelFormat::pf16bit: {
      uint16_t w = uint16_t(row[2 * x] | (row[2 * x + 1] << 8));
      bgr[2] = uint8_t((w >> 11) * 8);
      bgr[1] = uint8_t(((w >> 5) & 63) * 4);
      bgr[0] = uint8_t((w & 31) * 8);
      break;
    }
    case TPixelFormat::pf24bit:
      std::memcpy(bgr, row + 3 * x, 3);
      break;
    default:
      std::memcpy(bgr, row + 4 * x, 3);
      break;
  }
}

int TBitmap::NearestIndex(const uint8_t bgr[3]) const {
  int n = ColorTableCount(), best = 0;
  int bestDist = 1 << 30;
  for (int i = 0; i < n; ++i) {
    int db = table_[i].rgbBlue - bgr[0], dg = table_[i].rgbGreen - bgr[1], dr = table_[i].rgbRed - bgr[2];
    int d = db * db + dg * dg + dr * dr;
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  return best;
}

void TBitmap::SetPixelBGR(int x, int y, const uint8_t bgr[3]) {
  uint8_t* row = ScanLine(y);
  switch (format_) {
    case TPixelFormat::pf1bit: {
      uint8_t m = uint8_t(0x80 >> (x & 7));
      if (NearestIndex(bgr))
        row[x >> 3] |= m;
      else
        row[x >> 3] &= uint8_t(~m);
      break;
    }
    case TPixelFormat::pf4bit: {
      int i = NearestIndex(bgr);
      uint8_t& b = row[x >> 1];
      b = (x & 1) ? uint8_t((b & 0xF0) | i) : uint8_t((b & 0x0F) | (i << 4));
      break;
    }
    case TPixelFormat::pf8bit:
      row[x] = uint8_t(NearestIndex(bgr));
      break;
    case TPixelFormat::pf15bit: {
      uint16_t w = uint16_t(((bgr[2] >> 3) << 10) | ((bgr[1] >> 3) << 5) | (bgr[0] >> 3));
      row[2 * x] = uint8_t(w);
      row[2 * x + 1] = uint8_t(w >> 8);
      break;
    }
    case TPixelFormat::pf16bit: {
      uint16_t w = uint16_t(((bgr[2] >> 3) << 11) | ((bgr[1] >> 2) << 5) | (bgr[0] >> 3));
      row[2 * x] = uint8_t(w);
      row[2 * x + 1] = uint8_t(w >> 8);
      break;
    }
    case TPixelFormat::pf24bit:
      std::memcpy(row + 3 * x, bgr, 3);
      break;
    default:
      std::memcpy(row + 4 * x, bgr, 3);
      row[4 * x + 3] = 0;
      break;
  }
}

void TBitmap::Reallocate(int w, int h, TPixelFormat f, bool keepPixels) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  // Refuse what cannot be addressed before asking for memory; a row below
  // 2^31 bytes keeps the product below 2^62.
  int64_t rowLength = RowBytes(w, BitCountOf(f));
  if (rowLength > 0x7FFFFFFF) throw std::bad_alloc();
  int64_t bytes = rowLength * h;
  if (bytes > (int64_t(1) << 40)) throw std::bad_alloc();
  uint8_t* bits = nullptr;
  if (bytes > 0) {
    bits = static_cast<uint8_t*>(std::calloc(1, size_t(bytes)));
    if (!bits) throw std::bad_alloc();
  }
  if (keepPixels && bits_ && bits && f == format_) {
    int ch = std::min(h, height_);
    int64_t n = std::min<int64_t>(rowLength, rowLength_);
    for (int y = 0; y < ch; ++y) std::memcpy(bits + y * rowLength, ScanLine(y), size_t(n));
  }
  std::free(bits_);
  bits_ = bits;
  width_ = w;
  height_ = h;
  rowLength_ = int(rowLength);
}

void TBitmap::SetSize(int w, int h) {
  if (w == width_ && h == height_) return;
  Reallocate(w, h, format_, true);
  Changed();
}

void TBitmap::ConvertTo(TPixelFormat f, const TRGBQuad* table) {
  TBitmap target;
  target.format_ = f;
  std::memcpy(target.table_, table, sizeof(table_));
  target.Reallocate(width_, height_, f, false);
  for (int y = 0; y < height_; ++y)
    for (int x = 0; x < width_; ++x) {
      uint8_t c[3];
      PixelBGR(x, y, c);
      target.SetPixelBGR(x, y, c);
    }
  std::swap(bits_, target.bits_);
  rowLength_ = target.rowLength_;
  format_ = f;
  std::memcpy(table_, table, sizeof(table_));
}

void TBitmap::SetPixelFormat(TPixelFormat f) {
  if (f == TPixelFormat::pfCustom) f = TPixelFormat::pf32bit;
  if (f == format_) return;
  if (f == TPixelFormat::pfDevice) formatBeforeDevice_ = format_;
  TRGBQuad table[256];
  if (BitCountOf(f) <= 8) {
    // Reducing to a palette: pixels map onto the depth's default table.
    DefaultTable(f, table);
  } else {
    std::memcpy(table, table_, sizeof(table_));
  }
  ConvertTo(f, table);
  if (BitCountOf(f) <= 8) monochrome_ = true;
  Changed();
}

void TBitmap::SetDeviceDependent(bool deviceDependent) {
  if (deviceDependent == IsDeviceDependent()) return;
  if (deviceDependent) {
    SetPixelFormat(TPixelFormat::pfDevice);
  } else {
    // Back to the depth it had, keeping its colour table for palette depths.
    TRGBQuad table[256];
    std::memcpy(table, table_, sizeof(table_));
    ConvertTo(formatBeforeDevice_, table);
    Changed();
  }
}

void TBitmap::Draw(const TBitmap& source) {
  int cw = std::min(width_, source.width_), ch = std::min(height_, source.height_);
  if (cw <= 0 || ch <= 0) return;
  if (source.format_ == format_ &&
      (BitCountOf(format_) > 8 || std::memcmp(table_, source.table_, sizeof(table_)) == 0)) {
    int64_t n = std::min<int64_t>(RowBytes(cw, BitCount()), rowLength_);
    int bits = BitCount();
    for (int y = 0; y < ch; ++y) {
      if (bits >= 8 || (int64_t(cw) * bits) % 8 == 0) {
        std::memcpy(ScanLine(y), source.ScanLine(y), size_t(std::min<int64_t>((int64_t(cw) * bits + 7) / 8, n)));
      } else {
        for (int x = 0; x < cw; ++x) {
          uint8_t c[3];
          source.PixelBGR(x, y, c);
          SetPixelBGR(x, y, c);
        }
      }
    }
  } else {
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        uint8_t c[3];
        source.PixelBGR(x, y, c);
        SetPixelBGR(x, y, c);
      }
  }
  Changed();
}

void TBitmap::Assign(const TBitmap& source) {
  if (&source == this) return;
  Reallocate(source.width_, source.height_, source.format_, false);
  format_ = source.format_;
  monochrome_ = source.monochrome_;
  std::memcpy(table_, source.table_, sizeof(table_));
  if (bits_ && source.bits_) std::memcpy(bits_, source.bits_, size_t(int64_t(rowLength_) * height_));
  Changed();
}

}  // namespace rv
