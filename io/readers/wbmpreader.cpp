#include "io/readers/wbmpreader.h"

#include <algorithm>
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
#include "platform/stream.h"

namespace rv {

namespace {

constexpr int kMaxIntegerBytes = 4;
// Bytes of 0x80 in front of an integer add nothing to it; writers may pad
// with a few (ImageMagick reads them).
constexpr int kMaxPaddingBytes = 16;
constexpr int64_t kChunkBytes = int64_t(1) << 18;

enum class TInteger { kOk, kTooLong, kCut };

// Multi-byte integers: 7 bits per byte, most significant first, bit 7 set on
// every byte but the last. More than 4 bytes after the leading zero groups
// are too long; *used counts the bytes taken.
TInteger ReadInteger(const uint8_t* p, int64_t available, int64_t* value, int64_t* used) {
  int64_t i = 0;
  while (i < kMaxPaddingBytes && i < available && p[i] == 0x80) ++i;
  int64_t v = 0;
  for (int n = 0; n < kMaxIntegerBytes; ++n, ++i) {
    if (i >= available) return TInteger::kCut;
    v = (v << 7) | (p[i] & 0x7F);
    if ((p[i] & 0x80) == 0) {
      *value = v;
      *used = i + 1;
      return TInteger::kOk;
    }
  }
  return TInteger::kTooLong;
}

void Decode(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress) {
  const int64_t start = stream.Position();
  const int64_t end = stream.Size();
  uint8_t head[4 * (kMaxPaddingBytes + kMaxIntegerBytes)];
  const int64_t got = std::max<int64_t>(stream.Read(head, sizeof head), 0);
  static const char* const names[4] = {"type", "fixed header", "width", "height"};
  int64_t fields[4] = {};
  int64_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    int64_t used = 0;
    const TInteger r = ReadInteger(head + pos, got - pos, &fields[i], &used);
    if (r != TInteger::kOk) {
      progress.Fail(std::string("WBMP: ") + names[i] + " at offset " + std::to_string(start + pos) +
                    (r == TInteger::kTooLong ? " is longer than 4 bytes" : " is cut off by the end of the file"));
      return;
    }
    pos += used;
  }
  if (fields[0] != 0 || fields[1] != 0) {
    progress.Fail("WBMP: type " + std::to_string(fields[0]) + " and fixed header " + std::to_string(fields[1]) +
                  " at offset " + std::to_string(start) + ", not 0 and 0");
    return;
  }
  const int64_t width = fields[2], height = fields[3];
  if (width == 0 || height == 0) {
    progress.Fail("WBMP: size " + std::to_string(width) + " x " + std::to_string(height) + " at offset " +
                  std::to_string(start) + " is empty");
    return;
  }
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.Width = int32_t(width);
  params.Height = int32_t(height);
  params.SetDpiX(300);
  params.SetDpiY(300);
  params.FreeColorMap();
  if (paramsOnly) return;

  const int64_t dataStart = start + pos;
  const int64_t rowBytes = (width + 7) / 8;
  TImageHeader check;
  check.Format = "WBMP";
  check.Offset = start;
  check.Width = width;
  check.Height = height;
  check.BitsPerPixel = 1;
  check.RowBytes = rowBytes;
  check.DataBytes = std::max<int64_t>(end - dataStart, 0);
  const THeaderCheck result = CheckImageHeader(check, progress);
  if (!result.Ok) return;
  // A file that ends early keeps the header's size; the rows past the data are black.
  const int64_t rows = result.RowsInData;
  bitmap.AllocatePixels(int(width), int(height), pxMono1);
  progress.Scale = 100.0 / double(height);

  const int64_t rowsPerChunk = std::max<int64_t>(1, kChunkBytes / rowBytes);
  std::vector<uint8_t> buffer(size_t(std::min(rowsPerChunk, rows) * rowBytes));
  std::optional<TPxAccessGuard> access(std::in_place, bitmap, kAccessWrite);  // whole rows are written
  stream.Seek(dataStart, soBeginning);
  for (int64_t row = 0; row < rows && !progress.IsAborted();) {
    const int64_t n = std::min(rowsPerChunk, rows - row);
    const int64_t want = n * rowBytes;
    const int64_t read = std::max<int64_t>(stream.Read(buffer.data(), want), 0);
    // A final partial row is completed with black.
    if (read < want) std::memset(buffer.data() + read, 0, size_t(want - read));
    for (int64_t i = 0; i < n; ++i)
      std::memcpy(bitmap.RowPointer(int(row + i)), buffer.data() + i * rowBytes, size_t(rowBytes));
    row += n;
    progress.Report(row);
  }
  for (int64_t row = rows; row < height; ++row) std::memset(bitmap.RowPointer(int(row)), 0, size_t(bitmap.RowLength()));
  access.reset();
  progress.Report(height);
}

}  // namespace

void ReadWbmp(TReadContext& ctx) {
  try {
    Decode(ctx.Stream, ctx.Bitmap, ctx.Params, ctx.ParamsOnly, ctx.Progress);
  } catch (const std::exception& e) {
    ctx.Progress.Fail(std::string("WBMP: ") + e.what());
  }
}

}  // namespace rv
