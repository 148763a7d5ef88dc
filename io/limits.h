// The one sanity gate every reader passes its header through before it
// allocates anything whose size comes from the file.
//
// Limits: each side at most MaxSide pixels and at most MaxPixels pixels in all.
// The process-wide limits start at the hard maxima (1,000,000 per side, 2^28
// pixels) and can only be lowered; a TProgressRecord may point at its own
// limits (TPictureIO::SetImageLimits), again only lower than the hard maxima.
//
// Truncated uncompressed data. When the reader knows the bytes one row takes in
// the file (RowBytes) and how many bytes of pixel data follow (DataBytes), the
// check reports in RowsInData how many rows the data reaches: whole rows plus
// a final partial one, capped at the claimed height; 0 when not one pixel
// byte follows the header. A file that ends early keeps the header's size,
// as browsers show a cut picture. The rule for readers:
//   - allocate Width × Height whatever RowsInData is, and decode the
//     RowsInData rows there are, in file order (for a bottom-up file those
//     are the bottom rows of the picture);
//   - a final partial row is completed as the reader completes it;
//   - the rows the data does not reach are cleared: zero in the bitmap
//     (black, or palette index 0 for an indexed bitmap), opaque where there
//     is an alpha mask;
//   - none of this is an error: the abort flag stays clear. A header-only
//     file (RowsInData == 0) shows at the header's size, all cleared.
// Memory stays bounded by the file all the same: the claimed pixel data,
// max(RowBytes, Width) × Height (at least a byte a pixel, as readers widen
// smaller pixels), may be at most max(kCutDataFloorBytes, kCutDataFactor ×
// DataBytes), that is 64 MiB or 64 times the bytes present; beyond that the
// header is refused.
// Compressed data passes DataBytes = -1: only the size limits apply, plus, when
// the reader gives MaxPixelsPerByte (the format's greatest expansion) and
// CompressedBytes, pixels beyond CompressedBytes × MaxPixelsPerByte are refused.
//
// A side of 0 or less is refused; formats whose rules treat a zero side as
// "no picture, not an error" handle that before calling the check.
//
// All arithmetic is 64-bit; the check allocates nothing. A refused header
// calls TProgressRecord::Fail (abort flag set, reason kept) and returns false.
#pragma once

#include <cstdint>

#include "io/progress.h"

namespace rv {

struct TImageLimits {
  static constexpr int64_t kHardMaxSide = 1000000;
  static constexpr int64_t kHardMaxPixels = int64_t(1) << 28;
  int64_t MaxSide = kHardMaxSide;
  int64_t MaxPixels = kHardMaxPixels;
  // Both values clamped to 1 .. the hard maxima.
  TImageLimits Clamped() const;
};

// The process-wide limits (used when a progress record names none). Setting
// them clamps to the hard maxima. Not locked: set them before loading.
TImageLimits ProcessImageLimits();
void SetProcessImageLimits(const TImageLimits& limits);

struct TImageHeader {
  const char* Format = "";  // format name for the reason text ("BMP")
  int64_t Offset = 0;       // stream offset of the header, for the reason text
  int64_t Width = 0;
  int64_t Height = 0;
  int BitsPerPixel = 0;          // bits of one pixel as stored (all samples)
  int64_t RowBytes = 0;          // bytes one row takes in the file, padding included; 0: ceil(Width × bits / 8)
  int64_t DataBytes = -1;        // uncompressed: bytes of pixel data the stream holds; -1: compressed
  int64_t CompressedBytes = -1;  // compressed: bytes of compressed data available, -1 unknown
  int64_t MaxPixelsPerByte = 0;  // compressed: greatest expansion of the format, 0 unbounded
};

// The bound on what a cut uncompressed file may claim (see the rule above).
inline constexpr int64_t kCutDataFloorBytes = int64_t(64) << 20;
inline constexpr int64_t kCutDataFactor = 64;

struct THeaderCheck {
  bool Ok = false;
  int64_t RowsInData = 0;  // see the rule above (0 .. Height); equals Height for compressed data
};

// Checks the header against the limits of progress.Limits (else the process
// ones). On refusal: progress.Fail(reason) and Ok = false.
THeaderCheck CheckImageHeader(const TImageHeader& header, TProgressRecord& progress);

// Positional form for the common case (the reason names offset 0); rowsInData
// may be null and is set as THeaderCheck::RowsInData.
bool CheckImageHeader(const char* format, int64_t width, int64_t height, int bitsPerPixel, int64_t dataBytes,
                      int64_t rowBytes, TProgressRecord& progress, int64_t* rowsInData = nullptr);

}  // namespace rv
