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
// check reports in RowsInData how many rows the file can fill: whole rows plus
// a final partial one, capped at the claimed height. The rule for readers:
//   - RowsInData == Height: allocate Width × Height as usual.
//   - 0 < RowsInData < Height: the file ends early. Allocate Width × RowsInData
//     and decode the rows that are there, in file order (for a bottom-up file
//     those are the bottom rows of the claimed picture, so they form the whole
//     shortened bitmap). The parameter record keeps the header's Width and
//     Height; the bitmap has the rows present. This is not an error.
//   - RowsInData == 0: no pixel byte is present; the header is refused.
// So memory stays proportional to the file, never to the claimed height.
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

struct THeaderCheck {
  bool Ok = false;
  int64_t RowsInData = 0;  // see the rule above; equals Height for compressed data
};

// Checks the header against the limits of progress.Limits (else the process
// ones). On refusal: progress.Fail(reason) and Ok = false.
THeaderCheck CheckImageHeader(const TImageHeader& header, TProgressRecord& progress);

// Positional form for the common case (the reason names offset 0); rowsInData may be null.
bool CheckImageHeader(const char* format, int64_t width, int64_t height, int bitsPerPixel, int64_t dataBytes,
                      int64_t rowBytes, TProgressRecord& progress, int64_t* rowsInData = nullptr);

}  // namespace rv
