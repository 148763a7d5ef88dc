// The platform bitmap: a device-independent pixel buffer that the imaging core
// can use as storage and that the Qt layer paints without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace rv {

class TBitmap;

// Bit depths a TBitmap can hold. pfDevice is the "device-dependent" form: it
// stores 32 bits per pixel and is what a bitmap falls back to when its depth
// is reset. pfCustom exists so callers can tell foreign depths apart; this
// class never produces it.
enum class TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

// One colour-table entry in the platform's RGBQUAD layout.
struct TRGBQuad {
  uint8_t rgbBlue = 0;
  uint8_t rgbGreen = 0;
  uint8_t rgbRed = 0;
  uint8_t rgbReserved = 0;
};

using TBitmapChangeProc = std::function<void(TBitmap& sender)>;
// Handles are non-negative; -1 stands for "not registered".
using TBitmapListenerHandle = int32_t;

// Rows are padded to 4 bytes and stored top-down (row 0 first), so a QImage can
// wrap the block with a positive stride. Callers reach rows only through
// ScanLine, so nothing depends on that order. The bitmap owns its block.
// Resizing keeps the overlapping top-left pixels (the padding bits of a
// narrowed row keep their old values); changing the depth converts the pixels
// through 24-bit colour, onto the depth's default colour table for 1/4/8 bits.
// Sizes that cannot be held throw std::bad_alloc and leave the bitmap as it was.
class TBitmap {
 public:
  TBitmap();
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int w) { SetSize(w, height_); }
  void SetHeight(int h) { SetSize(width_, h); }
  void SetSize(int w, int h);

  TPixelFormat PixelFormat() const { return format_; }
  void SetPixelFormat(TPixelFormat f);
  // Bits per pixel of the current format (32 for pfDevice).
  int BitCount() const { return BitCountOf(format_); }
  static int BitCountOf(TPixelFormat f);

  // A 1-bit bitmap is monochrome unless a colour table other than black and
  // white has been given to it.
  bool Monochrome() const { return format_ == TPixelFormat::pf1bit && monochrome_; }
  void SetMonochrome(bool m) { monochrome_ = m; }

  // The device-dependent form keeps its depth private; switching back gives
  // the depth the bitmap had before.
  bool IsDeviceDependent() const { return format_ == TPixelFormat::pfDevice; }
  void SetDeviceDependent(bool deviceDependent);

  int RowLength() const { return rowLength_; }
  uint8_t* ScanLine(int row) { return bits_ + static_cast<size_t>(row) * rowLength_; }
  const uint8_t* ScanLine(int row) const { return bits_ + static_cast<size_t>(row) * rowLength_; }
  uint8_t* Bits() { return bits_; }
  bool Empty() const { return width_ <= 0 || height_ <= 0; }

  // Colour table of 1, 4 and 8-bit bitmaps: 2^bits entries.
  int ColorTableCount() const;
  void GetColorTable(int first, int count, TRGBQuad* out) const;
  void SetColorTable(int first, int count, const TRGBQuad* in);
  const TRGBQuad* ColorTable() const { return table_; }

  // The canvas operation the container needs: draw another bitmap at (0, 0),
  // clipped, converting its pixels to this bitmap's depth.
  void Draw(const TBitmap& source);
  // Copies size, depth, table and pixels of another bitmap.
  void Assign(const TBitmap& source);

  // Change listeners: called with the bitmap whenever the pixels are
  // replaced (a new size, depth, colour table, Draw, Assign, or an explicit
  // Changed() after writing rows), first-registered first. The viewer and the
  // program each keep their own; a listener may unregister itself or others
  // from its call, and one unregistered there is not called afterwards. The
  // bitmap does not announce its destruction: whoever registered unregisters
  // while the bitmap still exists, or simply forgets the handle with it.
  TBitmapListenerHandle RegisterChangeListener(TBitmapChangeProc callback);
  // Negative or unknown handles are ignored.
  void UnregisterChangeListener(TBitmapListenerHandle handle);
  void Changed();

  // Pixel colour as (blue, green, red) for any depth; used for depth changes and Draw.
  void PixelBGR(int x, int y, uint8_t bgr[3]) const;
  void SetPixelBGR(int x, int y, const uint8_t bgr[3]);

 private:
  void Reallocate(int w, int h, TPixelFormat f, bool keepPixels);
  void ConvertTo(TPixelFormat f, const TRGBQuad* table);
  int NearestIndex(const uint8_t bgr[3]) const;

  int width_ = 0;
  int height_ = 0;
  int rowLength_ = 0;
  TPixelFormat format_ = TPixelFormat::pfDevice;
  TPixelFormat formatBeforeDevice_ = TPixelFormat::pf24bit;
  bool monochrome_ = true;
  uint8_t* bits_ = nullptr;
  TRGBQuad table_[256] = {};

  struct TChangeListener {
    TBitmapListenerHandle Handle;
    TBitmapChangeProc Callback;
  };
  std::vector<TChangeListener> listeners_;
  TBitmapListenerHandle nextHandle_ = 0;
};

}  // namespace rv
