#include "io/limits.h"

#include <algorithm>
#include <limits>
#include <string>

namespace rv {

namespace {

TImageLimits processLimits;

// Bits per pixel beyond this are no format we read (RGBA of 64-bit floats is 256).
constexpr int kMaxBitsPerPixel = 256;

std::string Where(const TImageHeader& h) {
  return std::string(h.Format && *h.Format ? h.Format : "image") + ": header at offset " + std::to_string(h.Offset) +
         ": ";
}

}  // namespace

TImageLimits TImageLimits::Clamped() const {
  TImageLimits r;
  r.MaxSide = std::clamp<int64_t>(MaxSide, 1, kHardMaxSide);
  r.MaxPixels = std::clamp<int64_t>(MaxPixels, 1, kHardMaxPixels);
  return r;
}

TImageLimits ProcessImageLimits() {
  return processLimits;
}

void SetProcessImageLimits(const TImageLimits& limits) {
  processLimits = limits.Clamped();
}

THeaderCheck CheckImageHeader(const TImageHeader& h, TProgressRecord& progress) {
  const TImageLimits limits = progress.Limits ? progress.Limits->Clamped() : processLimits;
  THeaderCheck result;
  auto refuse = [&](const std::string& why) {
    progress.Fail(Where(h) + why);
    return result;
  };
  if (h.Width <= 0 || h.Height <= 0)
    return refuse("size " + std::to_string(h.Width) + " x " + std::to_string(h.Height) + " is not positive");
  if (h.Width > limits.MaxSide || h.Height > limits.MaxSide)
    return refuse("size " + std::to_string(h.Width) + " x " + std::to_string(h.Height) + " exceeds " +
                  std::to_string(limits.MaxSide) + " pixels per side");
  // Both sides are at most 10^6 here, so the product fits easily.
  const int64_t pixels = h.Width * h.Height;
  if (pixels > limits.MaxPixels)
    return refuse(std::to_string(pixels) + " pixels exceed the limit of " + std::to_string(limits.MaxPixels));
  if (h.BitsPerPixel <= 0 || h.BitsPerPixel > kMaxBitsPerPixel)
    return refuse(std::to_string(h.BitsPerPixel) + " bits per pixel");

  if (h.DataBytes >= 0) {
    const int64_t rowBytes = h.RowBytes > 0 ? h.RowBytes : (h.Width * h.BitsPerPixel + 7) / 8;
    // Readers allocate the claimed size even when the data ends early; the
    // claim may not stand too far beyond the bytes there are. Compared as
    // bytes a row against allowed / rows, so nothing overflows.
    const int64_t perRow = std::max(rowBytes, h.Width);
    const int64_t present = std::min(h.DataBytes, std::numeric_limits<int64_t>::max() / kCutDataFactor);
    const int64_t allowed = std::max(kCutDataFloorBytes, present * kCutDataFactor);
    if (perRow > allowed / h.Height)
      return refuse(std::to_string(h.Height) + " rows of " + std::to_string(perRow) +
                    " bytes claim far more than the " + std::to_string(h.DataBytes) +
                    " bytes of pixel data in the file");
    // A final partial row still counts: its pixels are worth showing.
    const int64_t rows = h.DataBytes / rowBytes + (h.DataBytes % rowBytes != 0 ? 1 : 0);
    result.RowsInData = std::min(rows, h.Height);
  } else {
    if (h.MaxPixelsPerByte > 0 && h.CompressedBytes >= 0 && pixels / h.MaxPixelsPerByte > h.CompressedBytes)
      return refuse(std::to_string(pixels) + " pixels cannot come from " + std::to_string(h.CompressedBytes) +
                    " bytes of compressed data");
    result.RowsInData = h.Height;
  }
  result.Ok = true;
  return result;
}

bool CheckImageHeader(const char* format, int64_t width, int64_t height, int bitsPerPixel, int64_t dataBytes,
                      int64_t rowBytes, TProgressRecord& progress, int64_t* rowsInData) {
  TImageHeader h;
  h.Format = format;
  h.Width = width;
  h.Height = height;
  h.BitsPerPixel = bitsPerPixel;
  h.DataBytes = dataBytes;
  h.RowBytes = rowBytes;
  const THeaderCheck r = CheckImageHeader(h, progress);
  if (rowsInData) *rowsInData = r.RowsInData;
  return r.Ok;
}

}  // namespace rv
