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
#include "io/readers/chunksource.h"
#include "io/readers/rowconvert.h"
#include "io/readers/rowkernel.h"
#include "platform/stream.h"

namespace rv {

namespace {

// Deflate expands one byte into at most 1032, so a picture needs at least
// its raw size / 1032 bytes of compressed data.
constexpr int64_t kMaxInflateRatio = 1032;

// What the callbacks share with the reader; plain data only.
struct TPngIo {
  // libpng asks for a few bytes at a time around every chunk; reading the
  // stream in large pieces saves a system call for each.
  TChunkSource* source;
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
    got = io->source->Copy(data, static_cast<int64_t>(length));
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
  void* rowTarget;   // in: what PlaceRowOp is given for pxRGB24 pictures
  png_uint_32 width, height;
  int bitDepth, colorType, interlace;
  int channels;
  bool mono;  // 1-bit rows taken as they are
  png_uint_32 ppmX, ppmY;
  png_colorp palette;
  int paletteCount;
  png_textp text;
  int textCount;
};

void PlaceRowOp(png_structp png, png_row_infop row, png_bytep data);

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
    // Rows stay red first: PlaceRowOp swaps red and blue while it places
    // them, which saves libpng's own pass over every pixel (png_set_bgr).
    png_set_read_user_transform_fn(png, PlaceRowOp);
    png_set_user_transform_info(png, h->rowTarget, 0, 0);
  }
  // No png_set_interlace_handling: interlaced pictures come pass by pass as
  // small pictures, which StorePassRow places (libpng would widen every pass
  // row to the full width and merge it into a whole row).
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

// The seven Adam7 passes: first column and row, column and row steps.
struct TPass {
  int x0, y0, dx, dy;
};
constexpr TPass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                             {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr TPass kWhole = {0, 0, 1, 1};

int PassSpan(int size, int start, int step) {
  return size > start ? (size - start + step - 1) / step : 0;
}

// How libpng hands out the rows of a picture.
enum class TRowKind {
  kBits,  // pxMono1: 1 bit a pixel, first pixel in the high bit
  kByte,  // pxGray8 or pxPalette8
  kRgb,   // pxRGB24, from red, green, blue
  kRgba,  // pxRGB24 plus the alpha channel, from red, green, blue, alpha
};

// Red, green, blue into the picture's blue, green, red and alpha into its
// channel; vectorised (byte shuffles) where the clones allow.
RV_ROW_KERNEL void SplitRgba(const uint8_t* __restrict src, uint8_t* __restrict bgr, uint8_t* __restrict alpha,
                             int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    bgr[3 * x] = src[4 * x + 2];
    bgr[3 * x + 1] = src[4 * x + 1];
    bgr[3 * x + 2] = src[4 * x];
    alpha[x] = src[4 * x + 3];
  }
}

// Places the n pixels of src at columns x0, x0 + dx, ... of a picture row
// (and of its alpha row for kRgba).
void StorePassRow(TRowKind kind, const uint8_t* __restrict src, int n, int x0, int dx, uint8_t* __restrict dst,
                  uint8_t* __restrict alpha) {
  switch (kind) {
    case TRowKind::kBits:
      for (int i = 0, x = x0; i < n; ++i, x += dx) {
        const uint8_t bit = uint8_t(0x80u >> (x & 7));
        if (src[i >> 3] & (0x80u >> (i & 7))) {
          dst[x >> 3] |= bit;
        } else {
          dst[x >> 3] &= uint8_t(~bit);
        }
      }
      break;
    case TRowKind::kByte:
      for (int i = 0; i < n; ++i) dst[x0 + size_t(i) * dx] = src[i];
      break;
    case TRowKind::kRgb:
      if (dx == 1) {
        RgbToBgr(src, dst + 3 * size_t(x0), n);
      } else {
        for (int i = 0; i < n; ++i) {
          const size_t x = x0 + size_t(i) * dx;
          const uint8_t* p = src + 3 * size_t(i);
          dst[3 * x] = p[2];
          dst[3 * x + 1] = p[1];
          dst[3 * x + 2] = p[0];
        }
      }
      break;
    case TRowKind::kRgba:
      if (dx == 1) {
        SplitRgba(src, dst + 3 * size_t(x0), alpha + x0, n);
      } else {
        for (int i = 0; i < n; ++i) {
          const size_t x = x0 + size_t(i) * dx;
          const uint8_t* p = src + 4 * size_t(i);
          dst[3 * x] = p[2];
          dst[3 * x + 1] = p[1];
          dst[3 * x + 2] = p[0];
          alpha[x] = p[3];
        }
      }
      break;
  }
}

// Where PlaceRowOp puts the row libpng is finishing (nowhere while dst is null).
struct TRowTarget {
  TRowKind kind;  // kRgb or kRgba
  uint8_t* dst;
  uint8_t* alpha;
  int x0, dx;
};

// libpng's last step on every row of a pxRGB24 picture: the row goes from
// libpng's own buffer into the picture (and its alpha channel), so it is not
// first copied out whole. Runs inside png_read_row and raises no error.
void PlaceRowOp(png_structp png, png_row_infop row, png_bytep data) {
  auto* t = static_cast<TRowTarget*>(png_get_user_transform_ptr(png));
  if (t && t->dst && row->bit_depth == 8 && row->channels == (t->kind == TRowKind::kRgba ? 4 : 3))
    StorePassRow(t->kind, data, static_cast<int>(row->width), t->x0, t->dx, t->dst, t->alpha);
}

}  // namespace

void ReadPng(TReadContext& ctx) {
  TStream& stream = ctx.Stream;
  TPxBitmap& bitmap = ctx.Bitmap;
  TIOParamsVals& params = ctx.Params;
  const bool paramsOnly = ctx.ParamsOnly;
  TProgressRecord& progress = ctx.Progress;
  const int64_t start = stream.Position();
  TChunkSource source(stream, start, stream.Size());
  // However the read ends, the stream is left after the bytes libpng took.
  struct TLeaveAfterUsed {
    TStream& stream;
    TChunkSource& source;
    ~TLeaveAfterUsed() { stream.Seek(source.Offset(), soBeginning); }
  } leave{stream, source};
  TPngIo io{};
  io.source = &source;
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
  TRowTarget target{};
  THeader h{};
  h.rowTarget = &target;
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
  header.CompressedBytes = std::max<int64_t>(source.End() - source.Offset(), 0);
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

  const bool interlaced = h.interlace != PNG_INTERLACE_NONE;
  const int passes = interlaced ? 7 : 1;
  const TRowKind kind = h.mono              ? TRowKind::kBits
                        : format != pxRGB24 ? TRowKind::kByte
                        : h.channels == 4   ? TRowKind::kRgba
                                            : TRowKind::kRgb;
  TPxBitmap* alpha = nullptr;
  if (kind == TRowKind::kRgba) {
    alpha = bitmap.AlphaChannel();
    alpha->SetAllOpaque(false);
  }
  // Passes set single bits of bytes other passes complete; start them clean.
  if (interlaced && kind == TRowKind::kBits)
    for (int y = 0; y < height; ++y) std::memset(bitmap.RowPointer(y), 0, size_t(bitmap.RowLength()));
  // libpng copies whole rows of the full width, whatever the pass.
  std::vector<uint8_t> rowBuffer(png_get_rowbytes(s.png, s.info));

  // Progress counts every row of every pass, as libpng's own de-interlacing
  // visits them.
  const int64_t units = int64_t(height) * passes;
  progress.Scale = 100.0 / double(units);
  int64_t counter = 0;
  int passRowsDone[7] = {};
  bool stopped = false;
  for (int pass = 0; pass < passes && !stopped; ++pass) {
    const TPass& p = interlaced ? kAdam7[pass] : kWhole;
    const int columns = PassSpan(width, p.x0, p.dx);
    // libpng skips passes without pixels.
    const bool empty = columns == 0 || PassSpan(height, p.y0, p.dy) == 0;
    for (int y = 0; y < height; ++y) {
      if (!empty && y >= p.y0 && (y - p.y0) % p.dy == 0) {
        uint8_t* dst = bitmap.RowPointer(y);
        // pxRGB24 rows are placed by PlaceRowOp while libpng reads them;
        // whole rows of the other formats go straight into the picture.
        const bool placed = kind == TRowKind::kRgb || kind == TRowKind::kRgba;
        const bool direct = p.dx == 1 && !placed;
        if (placed) target = TRowTarget{kind, dst, alpha ? alpha->RowPointer(y) : nullptr, p.x0, p.dx};
        TRowArg arg{direct ? dst : placed ? nullptr : rowBuffer.data()};
        const bool ok = Guarded(s.png, s.info, ReadRowOp, &arg);
        target.dst = nullptr;
        if (!ok) {
          if (!io.truncated) failAt(io.message);
          stopped = true;
          break;
        }
        if (!direct && !placed) StorePassRow(kind, rowBuffer.data(), columns, p.x0, p.dx, dst, nullptr);
        ++passRowsDone[pass];
      }
      // In integers, so the last row reports exactly 100.
      progress.ReportPercent(static_cast<int>(++counter * 100 / units));
      if (progress.IsAborted()) {
        stopped = true;
        break;
      }
    }
  }
  if (stopped) {
    // Pixels an early end never reached are black (and, interlaced, transparent).
    if (!interlaced) {
      // The row libpng failed in may have reached the picture through the
      // row transform: it counts as missing, alpha included.
      for (int y = passRowsDone[0]; y < height; ++y) {
        std::memset(bitmap.RowPointer(y), 0, size_t(bitmap.RowLength()));
        if (alpha) std::memset(alpha->RowPointer(y), 0xFF, size_t(alpha->RowLength()));
      }
    } else {
      std::fill(rowBuffer.begin(), rowBuffer.end(), uint8_t(0));
      for (int pass = 0; pass < passes; ++pass) {
        const TPass& p = kAdam7[pass];
        const int columns = PassSpan(width, p.x0, p.dx);
        if (columns == 0) continue;
        for (int y = p.y0 + passRowsDone[pass] * p.dy; y < height; y += p.dy)
          StorePassRow(kind, rowBuffer.data(), columns, p.x0, p.dx, bitmap.RowPointer(y),
                       alpha ? alpha->RowPointer(y) : nullptr);
      }
    }
  }
  if (!stopped && !Guarded(s.png, s.info, ReadEndOp, nullptr) && !io.truncated) failAt(io.message);
}

}  // namespace rv

namespace rv {

bool IsPng(TStream& stream) {
  // More than the 8-byte signature, of which the first four bytes decide.
  if (stream.Size() <= 8) return false;
  uint8_t h[4];
  return stream.Read(h, 4) == 4 && h[0] == 0x89 && h[1] == 'P' && h[2] == 'N' && h[3] == 'G';
}

}  // namespace rv
