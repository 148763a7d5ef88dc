#include "io/readers/pngreader.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "platform/stream.h"

namespace rv {

namespace {

// Deflate expands one byte into at most 1032, so a picture needs at least
// its raw size / 1032 bytes of compressed data.
constexpr int64_t kMaxInflateRatio = 1032;

// What the callbacks share with the reader; plain data only.
struct TPngIo {
  TStream* stream;
  int64_t bytesRead;
  bool truncated;  // the stream ended before libpng had what it asked for
  char message[160];
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* io = static_cast<TPngIo*>(png_get_error_ptr(png));
  if (!io->truncated) std::snprintf(io->message, sizeof io->message, "%s", message ? message : "error");
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng holds one row and one chunk at a time: at most 8 bytes for each of a
// million pixels, or the chunk limit. Anything larger comes from a length no
// real file has (libpng lets some through below 2^31); refusing it makes
// libpng skip the chunk or fail the file instead of reserving gigabytes.
constexpr png_alloc_size_t kPngMaxAlloc = png_alloc_size_t(32) << 20;

png_voidp OnPngMalloc(png_structp, png_alloc_size_t size) {
  return size > kPngMaxAlloc ? nullptr : std::malloc(size);
}

void OnPngFree(png_structp, png_voidp p) {
  std::free(p);
}

void OnPngRead(png_structp png, png_bytep data, size_t length) {
  auto* io = static_cast<TPngIo*>(png_get_io_ptr(png));
  int64_t got = 0;
  try {
    got = io->stream->Read(data, static_cast<int64_t>(length));
  } catch (...) {
    got = 0;  // an unreadable stream ends the data here
  }
  if (got > 0) io->bytesRead += got;
  if (got < static_cast<int64_t>(length)) {
    io->truncated = true;
    png_error(png, "data ends early");
  }
}

using TPngOp = void (*)(png_structp png, png_infop info, void* arg);

// The one place where libpng's error exit lands. Nothing in this frame, in
// the operations it runs or in the callbacks above has a destructor, so the
// jump skips no C++ clean-up. Returns false when libpng failed.
bool Guarded(png_structp png, png_infop info, TPngOp op, void* arg) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  op(png, info, arg);
  return true;
}

// What the header pass learns; plain data so it can be filled under the trap.
struct THeader {
  bool native;       // in: NativePixelFormat
  uint32_t maxSide;  // in: libpng's user limit
  png_uint_32 width, height;
  int bitDepth, colorType, interlace;
  int passes, channels;
  bool mono;  // 1-bit rows taken as they are
  png_uint_32 ppmX, ppmY;
  png_colorp palette;
  int paletteCount;
  png_textp text;
  int textCount;
};

void ReadHeaderOp(png_structp png, png_infop info, void* arg) {
  auto* h = static_cast<THeader*>(arg);
  png_set_user_limits(png, h->maxSide, h->maxSide);
  png_set_chunk_cache_max(png, kPngMaxCachedChunks);
  png_set_chunk_malloc_max(png, kPngMaxChunkBytes);
  png_read_info(png, info);
  png_get_IHDR(png, info, &h->width, &h->height, &h->bitDepth, &h->colorType, &h->interlace, nullptr, nullptr);
  h->palette = nullptr;
  h->paletteCount = 0;
  if (h->colorType == PNG_COLOR_TYPE_PALETTE) png_get_PLTE(png, info, &h->palette, &h->paletteCount);
  h->text = nullptr;
  h->textCount = png_get_text(png, info, &h->text, nullptr);

  const bool gray = h->colorType == PNG_COLOR_TYPE_GRAY;
  const bool palette = h->colorType == PNG_COLOR_TYPE_PALETTE;
  const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  // 1-bit rows go to pxMono1 as they are: right for gray, and for a palette
  // only when it is black then white, which is what pxMono1 shows. With tRNS
  // they are expanded instead, as pxMono1 has no alpha.
  bool blackWhite = false;
  if (palette && h->paletteCount >= 2) {
    const png_color& a = h->palette[0];
    const png_color& b = h->palette[1];
    blackWhite = a.red == 0 && a.green == 0 && a.blue == 0 && b.red == 255 && b.green == 255 && b.blue == 255;
  }
  h->mono = h->bitDepth == 1 && (gray || (palette && blackWhite)) && !transparency;
  const bool native = h->native && h->bitDepth == 8 && (gray || palette);
  if (!native && !h->mono) {
    if (palette) png_set_expand(png);
    if (gray && h->bitDepth < 8) png_set_expand(png);
    // The colour key of gray and truecolour pictures (all 16 bits of a
    // 16-bit key compare) becomes an alpha channel; palettes get theirs
    // through the expansion above.
    if (transparency) png_set_tRNS_to_alpha(png);
    if (h->bitDepth == 16) png_set_strip_16(png);
    if (h->bitDepth == 2 || h->bitDepth == 4) png_set_packing(png);
    if (h->colorType == PNG_COLOR_TYPE_GRAY || h->colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_bgr(png);
  }
  h->passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  h->channels = png_get_channels(png, info);
  h->ppmX = png_get_x_pixels_per_meter(png, info);
  h->ppmY = png_get_y_pixels_per_meter(png, info);
}

struct TRowArg {
  png_bytep row;
};

void ReadRowOp(png_structp png, png_infop, void* arg) {
  png_read_row(png, static_cast<TRowArg*>(arg)->row, nullptr);
}

void ReadEndOp(png_structp png, png_infop, void*) {
  png_read_end(png, nullptr);
}

// Owns the libpng structures.
struct TPngSession {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~TPngSession() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  }
};

int32_t DpiFromPpm(png_uint_32 ppm) {
  // Half to even, as the default rounding mode does.
  const int32_t dpi = static_cast<int32_t>(std::nearbyint(ppm / 100.0 * 2.54));
  return dpi == 0 ? 300 : dpi;
}

int SamplesOf(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;
  }
}

}  // namespace

void ReadPng(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress) {
  TPngIo io{};
  io.stream = &stream;
  const int64_t start = stream.Position();
  auto failAt = [&](const std::string& what) {
    progress.Fail("PNG: " + what + " at offset " + std::to_string(start + io.bytesRead));
  };

  TPngSession s;
  s.png =
      png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &io, OnPngError, OnPngWarning, nullptr, OnPngMalloc, OnPngFree);
  if (!s.png) {
    progress.Fail("PNG: cannot create the read structure");
    return;
  }
  s.info = png_create_info_struct(s.png);
  if (!s.info) {
    progress.Fail("PNG: cannot create the info structure");
    return;
  }
  png_set_read_fn(s.png, &io, OnPngRead);

  TImageLimits limits = progress.Limits ? progress.Limits->Clamped() : ProcessImageLimits();
  THeader h{};
  h.native = params.NativePixelFormat != 0;
  h.maxSide = static_cast<uint32_t>(std::min<int64_t>(limits.MaxSide, kPngMaxSide));
  if (!Guarded(s.png, s.info, ReadHeaderOp, &h)) {
    // Even a file that ends inside its header is no picture.
    failAt(io.truncated ? std::string("header cut short") : std::string(io.message));
    return;
  }

  params.PngTextKeys.clear();
  params.PngTextValues.clear();
  for (int i = 0; i < h.textCount; ++i) {
    params.PngTextKeys.emplace_back(h.text[i].key ? h.text[i].key : "");
    params.PngTextValues.emplace_back(h.text[i].text ? h.text[i].text : "");
  }
  const int width = static_cast<int>(h.width), height = static_cast<int>(h.height);
  params.Width = width;
  params.Height = height;
  params.BitsPerSample = h.bitDepth;
  params.SamplesPerPixel = SamplesOf(h.colorType);
  params.SetDpiX(DpiFromPpm(h.ppmX));
  params.SetDpiY(DpiFromPpm(h.ppmY));
  params.FreeColorMap();
  std::vector<TColorBGR> colorMap;
  for (int i = 0; i < h.paletteCount; ++i)
    colorMap.push_back(MakeBGR(h.palette[i].red, h.palette[i].green, h.palette[i].blue));
  if (!colorMap.empty()) params.SetColorMap(colorMap.data(), static_cast<int32_t>(colorMap.size()));
  params.PngInterlaced = h.interlace != PNG_INTERLACE_NONE ? 1 : 0;
  if (paramsOnly) return;

  TImageHeader header;
  header.Format = "PNG";
  header.Offset = start;
  header.Width = width;
  header.Height = height;
  header.BitsPerPixel = h.bitDepth * SamplesOf(h.colorType);
  header.CompressedBytes = std::max<int64_t>(stream.Size() - stream.Position(), 0);
  header.MaxPixelsPerByte = std::max<int64_t>(kMaxInflateRatio * 8 / header.BitsPerPixel, 1);
  if (!CheckImageHeader(header, progress).Ok) return;

  const bool palette = h.colorType == PNG_COLOR_TYPE_PALETTE;
  const bool native = h.native && h.bitDepth == 8 && (palette || h.colorType == PNG_COLOR_TYPE_GRAY);
  TPxBitmapFormat format = pxRGB24;
  if (h.mono) {
    format = pxMono1;
  } else if (native) {
    format = palette ? pxPalette8 : pxGray8;
  }
  bitmap.AllocatePixels(width, height, format);
  if (format == pxPalette8) {
    for (int i = 0; i < static_cast<int>(colorMap.size()); ++i) bitmap.SetPaletteEntry(i, colorMap[size_t(i)]);
    bitmap.SetQuantizeColors(1 << h.bitDepth);
  }

  const bool interlaced = h.passes > 1;
  const bool withAlpha = h.channels == 4;
  // Pixels a cut-short file never reaches must not show stale memory, and
  // interlaced rows are built up pass by pass from what they hold.
  if (interlaced) bitmap.FillWith(0);
  TPxBitmap* alpha = nullptr;
  std::vector<uint8_t> buffer;
  if (withAlpha) {
    alpha = bitmap.AlphaChannel();
    alpha->SetAllOpaque(false);
    buffer.assign(size_t(width) * 4 * (interlaced ? size_t(height) : 1), 0);
  }

  const int64_t units = int64_t(height) * h.passes;
  progress.Scale = 100.0 / double(units);
  int64_t counter = 0;
  int rowsDone = 0;  // rows of the last pass completed
  bool stopped = false;
  for (int pass = 0; pass < h.passes && !stopped; ++pass) {
    for (int y = 0; y < height; ++y) {
      uint8_t* src = withAlpha ? buffer.data() + (interlaced ? size_t(y) * width * 4 : 0) : bitmap.RowPointer(y);
      TRowArg arg{src};
      if (!Guarded(s.png, s.info, ReadRowOp, &arg)) {
        if (!io.truncated) failAt(io.message);
        stopped = true;
        break;
      }
      if (withAlpha) {
        uint8_t* dst = bitmap.RowPointer(y);
        uint8_t* a = alpha->RowPointer(y);
        for (int x = 0; x < width; ++x) {
          std::memcpy(dst + 3 * size_t(x), src + 4 * size_t(x), 3);
          a[x] = src[4 * size_t(x) + 3];
        }
      }
      if (pass == h.passes - 1) rowsDone = y + 1;
      // In integers, so the last row reports exactly 100.
      progress.ReportPercent(static_cast<int>(++counter * 100 / units));
      if (progress.IsAborted()) {
        stopped = true;
        break;
      }
    }
  }
  if (!interlaced) {
    // Rows after an early end are black.
    for (int y = rowsDone; y < height; ++y) std::memset(bitmap.RowPointer(y), 0, size_t(bitmap.RowLength()));
  }
  if (!stopped && !Guarded(s.png, s.info, ReadEndOp, nullptr) && !io.truncated) failAt(io.message);
}

void ReadPngFormat(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                   TProgressRecord& progress, std::unique_ptr<TPxMask>&) {
  ReadPng(stream, bitmap, params, paramsOnly, progress);
}

}  // namespace rv
