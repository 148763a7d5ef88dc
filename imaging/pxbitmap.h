// TPxBitmap: the one picture type. Pixels live in a heap block, a temporary
// file paged one row at a time, or a platform bitmap; every access goes through
// RowPointer so the three stores look alike to callers.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/pxfilebuffer.h"
#include "imaging/pxtypes.h"
#include "platform/tbitmap.h"

namespace rv {

class TPxMask;
class TPxDibbitmap;
class TPxBitmap;

// Raised for formats a platform bitmap cannot hold.
class EPxBitmapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Abstract base of TPxBitmap and TPxDibbitmap. The access bits (kAccessRead,
// kAccessWrite) say how the rows a file-backed bitmap hands out are used.
class TPxBaseBitmap {
 public:
  virtual ~TPxBaseBitmap() = default;

  uint8_t Access() const { return access_; }
  void SetAccess(uint8_t a) { access_ = a; }

  virtual uint8_t* RowPointer(int row) = 0;
  virtual int BitsPerPixel() = 0;
  virtual int Height() = 0;
  virtual int Width() = 0;
  virtual TPxBitmapFormat Format() = 0;
  virtual int RowLength() = 0;
  virtual void GetPaletteEntry(int index, TColorBGR& color) = 0;
  virtual void SetPaletteEntry(int index, const TColorBGR& color) = 0;
  virtual int PaletteCount() = 0;
  virtual void AllocatePixels(int width, int height, TPxBitmapFormat format) = 0;
  virtual void AssignFrom(TPxBaseBitmap& source) = 0;

 protected:
  uint8_t access_ = kAccessReadWrite;
};

// Sets a bitmap's access bits for a scope and puts the old ones back however
// the scope ends: row views and progress handlers can throw.
class TPxAccessGuard {
 public:
  TPxAccessGuard(TPxBaseBitmap& bitmap, uint8_t access) : bitmap_(bitmap), saved_(bitmap.Access()) {
    bitmap.SetAccess(access);
  }
  ~TPxAccessGuard() { bitmap_.SetAccess(saved_); }
  TPxAccessGuard(const TPxAccessGuard&) = delete;
  TPxAccessGuard& operator=(const TPxAccessGuard&) = delete;

 private:
  TPxBaseBitmap& bitmap_;
  uint8_t saved_;
};

using TProgressHandler = std::function<void(int percent)>;

// Failure: formats a platform bitmap cannot hold raise EPxBitmapError; sizes
// that cannot be held (more than 2^62 bytes, or memory exhausted) raise
// std::bad_alloc with the bitmap left empty. Bad coordinates are clipped by
// the region operations and not checked by the single-pixel accessors.
class TPxBitmap : public TPxBaseBitmap {
 public:
  TPxBitmap();
  ~TPxBitmap() override;
  TPxBitmap(const TPxBitmap&) = delete;
  TPxBitmap& operator=(const TPxBitmap&) = delete;

  // --- geometry and rows -------------------------------------------------
  uint8_t* RowPointer(int row) override;
  int BitsPerPixel() override;
  int Height() override;
  int Width() override;
  TPxBitmapFormat Format() override;
  int RowLength() override;
  int Channels() const { return channels_; }
  bool IsEmpty();

  // --- palette ----------------------------------------------------------
  void GetPaletteEntry(int index, TColorBGR& color) override;
  void SetPaletteEntry(int index, const TColorBGR& color) override;
  int PaletteCount() override { return paletteCount_; }
  // The 256-entry block of an allocated pxPalette8 bitmap, else nullptr.
  TColorBGR* Palette() { return palette_.get(); }
  void SyncPaletteToTBitmap();

  // --- storage ----------------------------------------------------------
  void AllocatePixels(int width, int height, TPxBitmapFormat format) override;
  void ReleaseStorage(bool freeAlpha);
  void MoveStorageTo(TPxBitmap& target);
  TPxBitmapStorage Location() const { return location_; }
  void SetLocation(TPxBitmapStorage location);
  TBitmap* AsTBitmap();
  void AdoptTBitmap(TBitmap* bitmap, bool releaseFirst);
  TBitmap* Bitmap() const { return bitmap_; }
  bool ExternalTBitmap() const { return externalTBitmap_; }
  int64_t MemoryThreshold() const { return memoryThreshold_; }
  void SetMemoryThreshold(int64_t bytes) { memoryThreshold_ = bytes; }
  TPxFileBuffer& FileBuffer() { return *fileBuffer_; }

  // --- flags --------------------------------------------------------------
  bool AllOpaque() const { return allOpaque_; }
  void SetAllOpaque(bool v) { allOpaque_ = v; }
  bool IsAlphaChannel() const { return isAlphaChannel_; }
  void SetIsAlphaChannel(bool v) { isAlphaChannel_ = v; }
  int QuantizeColors() const { return quantizeColors_; }
  void SetQuantizeColors(int n) { quantizeColors_ = n; }

  // --- alpha channel --------------------------------------------------------
  // Created on first call filled with 255; nullptr for an alpha channel itself.
  TPxBitmap* AlphaChannel();
  bool HasAlphaChannel() const { return alpha_ != nullptr; }
  void RemoveAlphaChannel();
  void UpdateAllOpaque();

  // --- copying ------------------------------------------------------------
  void AssignFrom(TPxBaseBitmap& source) override;
  void AssignFrom(TBitmap& source) { ImportTBitmap(source); }
  void AssignPixels(TPxBitmap& source);
  void CopyRegionTo(TPxBitmap& dest, int srcX, int srcY, int dstX, int dstY, int width, int height);
  void MergeAlphaRegionTo(TPxBitmap& dest, int srcX, int srcY, int dstX, int dstY, int width, int height);
  void ImportTBitmap(TBitmap& bitmap);
  void ImportMask(TPxMask* mask);
  void ExportMask(TPxMask& mask);
  void ImportDib(TPxDibbitmap& dib);

  // --- geometry changes ---------------------------------------------------
  void ChangeWidth(int newWidth);
  void ChangeHeight(int newHeight);
  void ResizeCanvas(int newWidth, int newHeight, double fill, double alphaFill, int horzAlign, int vertAlign);
  void MoveRegion(int x1, int y1, int x2, int y2, int dstX, int dstY, double fill);

  // --- format -------------------------------------------------------------
  // Conversions live in pxconvert.cpp.
  void ChangeFormat(TPxBitmapFormat format);
  void ConvertPixelsFrom(TPxBitmap& source);

  // --- pixels ---------------------------------------------------------------
  uint8_t ByteAt(int x, int y);
  void SetByteAt(int x, int y, uint8_t v);
  uint16_t WordAt(int x, int y);
  void SetWordAt(int x, int y, uint16_t v);
  float FloatAt(int x, int y);
  void SetFloatAt(int x, int y, float v);
  uint32_t CMYKAt(int x, int y);
  void SetCMYKAt(int x, int y, uint32_t v);
  TColorBGR PixelBGR(int x, int y);
  void SetPixelBGR(int x, int y, const TColorBGR& c);
  void RGB48At(int x, int y, uint16_t rgb[3]);
  void SetRGB48At(int x, int y, const uint16_t rgb[3]);
  TColorBGR ColorAt(int x, int y);
  uint8_t AlphaAt(int x, int y);
  void FillWith(double value);
  void FillArea(int x1, int y1, int x2, int y2, double value);
  bool HasOnlyGrays();

 private:
  void ResetFields();
  void Reallocate(int width, int height, TPxBitmapFormat format, bool freeAlpha);
  void BuildRowTable();
  void FollowTBitmap();
  void PrepareTBitmap(TPxBitmapFormat& format);
  void ReleaseRowView();
  void ChangeSize(int newWidth, int newHeight);
  void CopyRowsFrom(TPxBitmap& source);
  template <typename Fn>
  void ForEachRow(int y1, int y2, uint8_t access, Fn&& fn);

  std::unique_ptr<TPxFileBuffer> fileBuffer_;
  uint8_t* rowView_ = nullptr;
  std::unique_ptr<TColorBGR[]> palette_;
  int paletteCount_ = 0;
  std::unique_ptr<TPxBitmap> alpha_;
  uint8_t* pixelBase_ = nullptr;
  void* pixelBlock_ = nullptr;
  TBitmap* bitmap_ = nullptr;
  std::unique_ptr<TBitmap> ownedBitmap_;
  std::vector<uint8_t*> rowTable_;
  int width_ = 0;
  int height_ = 0;
  int bitsPerPixel_ = 0;
  int channels_ = 0;
  int rowLength_ = 0;
  TPxBitmapFormat format_ = pxNoFormat;
  bool isAlphaChannel_ = false;
  TPxBitmapStorage location_ = pxTempFile;
  bool allOpaque_ = false;
  bool externalTBitmap_ = false;
  int64_t memoryThreshold_ = 0;
  int quantizeColors_ = 256;
};

// Converts Source to 1 bit into Dest (allocated pxMono1 of the same size).
// Threshold -1: average colour; -2: maximum entropy; else used as is.
void ConvertToMono(TPxBitmap& source, TPxBitmap& dest, int threshold, const TProgressHandler& progress = {});

}  // namespace rv
