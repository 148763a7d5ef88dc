#include "io/readers/gifreader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxblock.h"
#include "imaging/pxmask.h"
#include "imaging/pxrender.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "io/readers/giflzw.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

using TColorTable = std::array<TColorBGR, 256>;

// A 12-bit code yields at most 4094 indices, so no image holds more pixels
// than 4096 per byte of what is left of the file.
constexpr int64_t kMaxPixelsPerByte = 4096;
// Colour images this large that end this close to the end of the stream are
// taken as garbage.
constexpr int kHugeSide = 65000;
constexpr int64_t kHugeTail = 2000;

// One image descriptor with the graphic control that came before it.
struct TGifImage {
  int32_t Index = 0;
  int64_t Offset = 0;  // of the 0x2C byte
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Interlaced = false;
  bool HasLocal = false;
  int LocalBits = 0;  // entries: 2^LocalBits
  TColorTable Local{};
  uint8_t ControlPacked = 0;
  uint16_t Delay = 0;
  uint8_t TransparentIndex = 0;
};

enum class TImageAction { kSkip, kConsumed, kStop };

// Reads n entries (red, green, blue) into the front of table as blue, green,
// red; the rest of the table stays black. False when the stream ends first.
bool ReadColorTable(TStream& stream, int entries, TColorTable& table) {
  uint8_t rgb[768];
  const int64_t got = std::max<int64_t>(stream.Read(rgb, int64_t(entries) * 3), 0);
  table.fill(TColorBGR{});
  for (int i = 0; i < entries && (i + 1) * 3 <= got; ++i)
    table[size_t(i)] = MakeBGR(rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
  return got == int64_t(entries) * 3;
}

// The block structure: header, global table, then extensions and images up to
// the trailer, the end of the stream, or kMaxGifImages images.
class TGifParser {
 public:
  TGifParser(TStream& stream, TIOParamsVals& params, TProgressRecord& progress, bool collectComments)
      : stream_(stream), params_(params), progress_(progress), collectComments_(collectComments) {}

  // False (with the abort flag set) when the header cannot be right.
  bool Run(const std::function<TImageAction(const TGifImage&)>& onImage) {
    const int64_t start = stream_.Position();
    size_ = stream_.Size();
    uint8_t h[13];
    if (stream_.Read(h, 13) != 13 || std::memcmp(h, "GIF", 3) != 0) {
      progress_.Fail("GIF: no GIF signature at offset " + std::to_string(start));
      return false;
    }
    params_.GifVersion.assign(reinterpret_cast<const char*>(h), 6);
    params_.GifScreenWidth = Le16(h + 6);
    params_.GifScreenHeight = Le16(h + 8);
    params_.GifAspectRatio = h[12];
    params_.SetDpiX(300);
    params_.SetDpiY(300);
    params_.SamplesPerPixel = 1;
    if (h[10] & 0x80) {
      HasGlobal = true;
      GlobalBits = (h[10] & 7) + 1;
      ReadColorTable(stream_, 1 << GlobalBits, Global);
      params_.GifBackground = Global[h[11]];
    }
    if (stream_.Position() >= size_) {
      progress_.Fail("GIF: nothing follows the header at offset " + std::to_string(stream_.Position()));
      return false;
    }

    TGifImage image;
    const bool countPastAbort = CountPastAbort && !progress_.IsAborted();
    while (countPastAbort || !progress_.IsAborted()) {
      uint8_t b = 0;
      // The last byte of the stream, or none, counts as the trailer.
      if (stream_.Read(&b, 1) != 1 || stream_.Position() >= size_ || b == 0x3B) break;
      if (b == 0x21) {
        if (!ReadExtension(image)) break;
      } else if (b == 0x2C) {
        if (Count >= kMaxGifImages) break;
        uint8_t d[9];
        image.Offset = stream_.Position() - 1;
        if (stream_.Read(d, 9) != 9) break;
        image.Index = Count;
        image.Left = Le16(d);
        image.Top = Le16(d + 2);
        image.Width = Le16(d + 4);
        image.Height = Le16(d + 6);
        image.Interlaced = (d[8] & 0x40) != 0;
        image.HasLocal = (d[8] & 0x80) != 0;
        image.LocalBits = image.HasLocal ? (d[8] & 7) + 1 : 0;
        if (image.HasLocal && !ReadColorTable(stream_, 1 << image.LocalBits, image.Local)) break;
        // Cut off before its data: not an image, the end of the file.
        if (stream_.Position() >= size_) break;
        const TImageAction action = onImage(image);
        ++Count;
        if (action == TImageAction::kStop) break;
        if (action == TImageAction::kSkip) {
          uint8_t codeSize;
          if (stream_.Read(&codeSize, 1) != 1) break;
          ReadGifSubBlocks(stream_, nullptr);
        }
        // A graphic control belongs to the next image only.
        image.ControlPacked = 0;
        image.Delay = 0;
        image.TransparentIndex = 0;
      }
      // Any other byte is padding some writers leave; it is passed over.
    }
    return true;
  }

  int64_t StreamSize() const { return size_; }

  // Whether images after an abort are still counted (and skipped), so the
  // count never depends on where decoding stopped.
  bool CountPastAbort = false;
  int32_t Count = 0;
  bool HasGlobal = false;
  int GlobalBits = 0;
  TColorTable Global{};

 private:
  bool ReadExtension(TGifImage& image) {
    uint8_t label = 0;
    if (stream_.Read(&label, 1) != 1) return false;
    if (label == 0xF9) {
      // The block normally holds 4 bytes; a longer one keeps its first 4.
      uint8_t n = 0;
      if (stream_.Read(&n, 1) != 1) return false;
      uint8_t data[256] = {};
      const int64_t got = stream_.Read(data, n);
      if (got != n) return false;
      if (n >= 4) {
        image.ControlPacked = data[0];
        image.Delay = Le16(data + 1);
        image.TransparentIndex = data[3];
      }
      if (n > 0) ReadGifSubBlocks(stream_, nullptr);
      return true;
    }
    if (label == 0xFE && collectComments_) {
      uint8_t n = 0;
      char text[256];
      while (stream_.Read(&n, 1) == 1 && n != 0) {
        const int64_t got = std::max<int64_t>(stream_.Read(text, n), 0);
        const size_t len = strnlen(text, size_t(got));
        if (len > 0) params_.GifComments.emplace_back(text, len);
        if (got < n) break;
      }
      return true;
    }
    ReadGifSubBlocks(stream_, nullptr);
    return true;
  }

  TStream& stream_;
  TIOParamsVals& params_;
  TProgressRecord& progress_;
  bool collectComments_;
  int64_t size_ = 0;
};

// What decoding one image produced.
struct TDecodedImage {
  bool Decoded = false;
  TPxBitmapFormat Format = pxNoFormat;
};

TColorTable GrayRamp() {
  TColorTable t;
  for (int i = 0; i < 256; ++i) t[size_t(i)] = MakeBGR(uint8_t(i), uint8_t(i), uint8_t(i));
  return t;
}

// Sets the wanted image's fields and, unless paramsOnly, decodes it into
// bitmap and mask. The stream is at the image's code size byte. Returns the
// action for the parser.
TImageAction DecodeImage(TStream& stream, const TGifParser& parser, const TGifImage& image, TPxBitmap& bitmap,
                         bool ignoreTransparency, std::unique_ptr<TPxMask>& mask, bool paramsOnly,
                         TProgressRecord& progress, TIOParamsVals& params, bool report, TDecodedImage& out) {
  if (report) progress.ReportPercent(30);
  if (progress.IsAborted()) return TImageAction::kStop;
  // The colours of the image: its own table, else the global one, else gray.
  static const TColorTable kGray = GrayRamp();
  const TColorTable& table = image.HasLocal ? image.Local : parser.HasGlobal ? parser.Global : kGray;
  const int tableBits = image.HasLocal ? image.LocalBits : parser.HasGlobal ? parser.GlobalBits : 8;
  const bool transparent = (image.ControlPacked & 1) != 0;
  params.GifTransparentColor = table[image.TransparentIndex];
  params.GifXPos = image.Left;
  params.GifYPos = image.Top;
  params.Width = image.Width;
  params.Height = image.Height;
  params.GifDelayTime = image.Delay;
  params.GifTransparent = transparent ? 1 : 0;
  params.GifInterlaced = image.Interlaced ? 1 : 0;
  params.GifDisposal = uint8_t((image.ControlPacked >> 2) & 7);
  params.BitsPerSample = tableBits;
  params.SetColorMap(table.data(), 1 << tableBits);
  if (paramsOnly || image.Width == 0 || image.Height == 0) return TImageAction::kSkip;

  const int64_t dataStart = stream.Position();
  TImageHeader header;
  header.Format = "GIF";
  header.Offset = image.Offset;
  header.Width = image.Width;
  header.Height = image.Height;
  header.BitsPerPixel = 8;
  header.CompressedBytes = std::max<int64_t>(parser.StreamSize() - dataStart, 0);
  header.MaxPixelsPerByte = kMaxPixelsPerByte;
  if (!CheckImageHeader(header, progress).Ok) return TImageAction::kStop;

  const int w = image.Width, h = image.Height;
  // What a decoder does not write is index 0: the built-in one clears what
  // it leaves, a replaced one gets a cleared buffer.
  const size_t pixelCount = size_t(w) * size_t(h);
  const TPxByteBlock indexBlock = MakePxByteBlock(pixelCount);
  uint8_t* const indices = indexBlock.get();
  if (params.GifDecoder) std::memset(indices, 0, pixelCount);
  const TGifDecoderFunc decoder = params.GifDecoder ? params.GifDecoder : DecodeGifLzw;
  decoder(stream, h, w, indices, image.Interlaced);
  const int64_t after = stream.Position();
  if (after == dataStart) {
    progress.Fail("GIF: the LZW data of image " + std::to_string(image.Index) + " at offset " +
                  std::to_string(dataStart) + " cannot be decoded");
    return TImageAction::kStop;
  }
  if (report) progress.ReportPercent(70);
  if (progress.IsAborted()) return TImageAction::kStop;

  const int colours = 1 << tableBits;
  const bool mono = colours == 2 && table[0] == TColorBGR{} && table[1] == MakeBGR(255, 255, 255);
  if (!mono && (w > kHugeSide || h > kHugeSide) && parser.StreamSize() - after < kHugeTail) {
    progress.Fail("GIF: image " + std::to_string(image.Index) + " of " + std::to_string(w) + "x" + std::to_string(h) +
                  " at offset " + std::to_string(image.Offset) + " ends too close to the end of the file");
    return TImageAction::kStop;
  }
  const bool native = params.NativePixelFormat != 0;
  const TPxBitmapFormat format = mono ? pxMono1 : native ? pxPalette8 : pxRGB24;
  bitmap.AllocatePixels(w, h, format);
  if (format == pxPalette8) {
    for (int i = 0; i < 256; ++i) bitmap.SetPaletteEntry(i, table[size_t(i)]);
    bitmap.SetQuantizeColors(colours);
  }
  std::array<uint32_t, 256> packed;
  for (int i = 0; i < 256; ++i) {
    const TColorBGR c = table[size_t(i)];
    packed[size_t(i)] = uint32_t(c.b) | uint32_t(c.g) << 8 | uint32_t(c.r) << 16;
  }
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = indices + size_t(y) * size_t(w);
    uint8_t* dst = bitmap.RowPointer(y);
    if (format == pxRGB24) {
      // Four bytes a pixel, the fourth overwritten by the next one; the last
      // pixel of the row gets its three.
      for (int x = 0; x < w - 1; ++x) std::memcpy(dst + size_t(x) * 3, &packed[src[x]], 4);
      const TColorBGR c = table[src[w - 1]];
      std::memcpy(dst + size_t(w - 1) * 3, &c, 3);
    } else if (format == pxPalette8) {
      std::memcpy(dst, src, size_t(w));
    } else {
      // Index 1 is white, a set bit; indices past the table are black.
      std::memset(dst, 0, size_t((w + 7) / 8));
      for (int x = 0; x < w; ++x)
        if (src[x] == 1) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
  }
  if (!ignoreTransparency) {
    // A mask only when some pixel has the transparent index: most files have
    // none, and the mask is as large as the index plane.
    const uint8_t t = image.TransparentIndex;
    int firstRow = h;
    if (transparent)
      for (int y = 0; y < h && firstRow == h; ++y)
        if (std::memchr(indices + size_t(y) * size_t(w), t, size_t(w))) firstRow = y;
    if (firstRow == h) {
      mask.reset();
    } else {
      if (!mask) mask = std::make_unique<TPxMask>();
      mask->AllocateMask(w, h, 8);
      const size_t rowBytes = size_t(mask->RowLength());
      for (int y = 0; y < h; ++y) {
        uint8_t* m = mask->MaskRow(y);
        if (y < firstRow) {
          std::memset(m, 255, rowBytes);
          continue;
        }
        const uint8_t* src = indices + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) m[x] = src[x] == t ? 0 : 255;
        std::memset(m + w, 255, rowBytes - size_t(w));
      }
      mask->SetAllSet(false);
      mask->RecomputeBox();
    }
  }
  out.Decoded = true;
  out.Format = format;
  return TImageAction::kConsumed;
}

// Draws the pixels of frame whose alpha is not 0 onto canvas (pxRGB24) at
// (left, top), clipped to the canvas. GIF transparency is all or nothing;
// the renderer's blend scales by alpha / 256 and would turn an opaque 255
// into 254, so transparent frames are copied here instead.
void DrawThroughMask(TPxBitmap& frame, TPxBitmap& canvas, int left, int top) {
  TPxBitmap& alpha = *frame.AlphaChannel();
  const int x1 = std::min(frame.Width(), canvas.Width() - left);
  const int y1 = std::min(frame.Height(), canvas.Height() - top);
  for (int y = 0; y < y1; ++y) {
    const uint8_t* a = alpha.RowPointer(y);
    uint8_t* d = canvas.RowPointer(top + y) + size_t(left) * 3;
    for (int x = 0; x < x1; ++x) {
      if (a[x] == 0) continue;
      const TColorBGR c = frame.ColorAt(x, y);
      d[size_t(x) * 3] = c.b;
      d[size_t(x) * 3 + 1] = c.g;
      d[size_t(x) * 3 + 2] = c.r;
    }
  }
}

TImageHeader CanvasHeader(int width, int height) {
  TImageHeader header;
  header.Format = "GIF";
  header.Offset = 6;
  header.Width = width;
  header.Height = height;
  header.BitsPerPixel = 24;
  return header;
}

// The picture of an animation: a canvas of the logical-screen size (grown
// for a larger image) on which the images are drawn in order.
class TGifCanvas {
 public:
  TGifCanvas(TIOParamsVals& params, TProgressRecord& progress) : params_(params), progress_(progress) {
    canvas_.SetLocation(pxInMemory);
  }

  // Whether the canvas for image as the first frame passes the size limits;
  // reports nothing.
  bool Fits(const TGifImage& image) const {
    bool refused = false;
    TProgressRecord quiet;
    quiet.Limits = progress_.Limits;
    quiet.Aborted = &refused;
    return CheckImageHeader(CanvasHeader(std::max<int>(params_.GifScreenWidth, image.Width),
                                         std::max<int>(params_.GifScreenHeight, image.Height)),
                            quiet)
        .Ok;
  }

  // Draws frame (an image at left, top, decoded as format, transparent where
  // mask is 0) after disposing of the previous one, and makes params describe
  // the canvas. False (with the abort flag set) when the canvas is refused.
  bool Draw(TPxBitmap& frame, TPxMask* mask, int left, int top, TPxBitmapFormat format) {
    lastFormat_ = format;
    if (mask) frame.AlphaChannel()->ImportMask(mask);
    const int canvasW = std::max<int>(params_.GifScreenWidth, frame.Width());
    const int canvasH = std::max<int>(params_.GifScreenHeight, frame.Height());
    const double background = BGRToColor(params_.GifBackground);
    if (prevRestore_ && !canvas_.IsEmpty()) {
      canvas_.FillArea(prevX_, prevY_, prevX_ + prevW_ - 1, prevY_ + prevH_ - 1, background);
      canvas_.AlphaChannel()->FillArea(prevX_, prevY_, prevX_ + prevW_ - 1, prevY_ + prevH_ - 1, 0);
    }
    if (canvas_.IsEmpty()) {
      if (!CheckImageHeader(CanvasHeader(canvasW, canvasH), progress_).Ok) return false;
      canvas_.AllocatePixels(canvasW, canvasH, pxRGB24);
      canvas_.FillWith(background);
      canvas_.AlphaChannel()->FillWith(0);
    } else if (canvas_.Width() < canvasW || canvas_.Height() < canvasH) {
      canvas_.ResizeCanvas(std::max(canvas_.Width(), canvasW), std::max(canvas_.Height(), canvasH), background, 0, 0,
                           0);
    }
    const int fw = frame.Width(), fh = frame.Height();
    if (frame.HasAlphaChannel()) {
      DrawThroughMask(frame, canvas_, left, top);
    } else {
      RenderScaled(frame, canvas_, left, top, fw, fh, 0, 0, fw, fh, 255, rfNone);
    }
    frame.MergeAlphaRegionTo(canvas_, 0, 0, left, top, fw, fh);
    canvas_.AlphaChannel()->SetAllOpaque(false);
    prevX_ = left;
    prevY_ = top;
    prevW_ = fw;
    prevH_ = fh;
    prevRestore_ = params_.GifDisposal == 2;
    params_.GifDisposal = 2;
    params_.GifXPos = 0;
    params_.GifYPos = 0;
    drawn_ = true;
    return true;
  }

  // The canvas, if anything was drawn, into target in the format of the last
  // image drawn.
  void MoveTo(TPxBitmap& target) {
    if (!drawn_) return;
    target.AssignFrom(canvas_);
    if (target.Format() != lastFormat_) target.ChangeFormat(lastFormat_);
    if (lastFormat_ == pxPalette8) target.SetQuantizeColors(1 << params_.BitsPerSample);
  }

 private:
  TIOParamsVals& params_;
  TProgressRecord& progress_;
  TPxBitmap canvas_;
  bool drawn_ = false;
  TPxBitmapFormat lastFormat_ = pxNoFormat;
  bool prevRestore_ = false;
  int prevX_ = 0, prevY_ = 0, prevW_ = 0, prevH_ = 0;
};

}  // namespace

TGifReadResult ReadGif(TReadContext& ctx, const TGifReadOptions& options) {
  TStream& stream = ctx.Stream;
  TPxBitmap& bitmap = ctx.Bitmap;
  TIOParamsVals& params = ctx.Params;
  TProgressRecord& progress = ctx.Progress;
  const bool paramsOnly = ctx.ParamsOnly, ignoreTransparency = options.IgnoreTransparency;
  std::unique_ptr<TPxMask> spare;
  std::unique_ptr<TPxMask>& mask = MaskSlot(ctx, spare);
  TGifReadResult result;
  progress.ReportPercent(0);
  if (progress.IsAborted()) return result;
  TGifParser parser(stream, params, progress, true);
  const int32_t wanted = params.GifImageIndex;
  const bool ok = parser.Run([&](const TGifImage& image) {
    if (image.Index != wanted) return TImageAction::kSkip;
    TDecodedImage decoded;
    return DecodeImage(stream, parser, image, bitmap, ignoreTransparency, mask, paramsOnly, progress, params, true,
                       decoded);
  });
  if (!ok) return result;
  result.ImageCount = parser.Count;
  params.SetImageCount(result.ImageCount);
  if (!progress.IsAborted()) progress.ReportPercent(100);
  return result;
}

namespace {

int32_t Compose(TStream& stream, TPxBitmap& target, TIOParamsVals& params, TProgressRecord& progress) {
  const int64_t start = stream.Position();
  const int32_t wanted = params.GifImageIndex;
  const bool report = wanted < 1;

  // One pass: images 0..wanted are decoded as they come, the rest only
  // counted. Whether the file is a still picture is known only once a second
  // image turns up or the file ends, so image 0 waits: it is decoded straight
  // into the target, as a still picture wants, unless the canvas an animation
  // needs would be refused; then an animation must leave the target alone,
  // and image 0 is decoded aside.
  TGifCanvas canvas(params, progress);
  TPxBitmap* first = nullptr;
  const int targetColors = target.QuantizeColors();
  std::unique_ptr<TPxBitmap> firstAside;
  std::unique_ptr<TPxMask> firstMask;
  int firstLeft = 0, firstTop = 0;
  int64_t firstEnd = 0;
  TPxBitmapFormat firstFormat = pxNoFormat;
  // Where drawing ended: at the first image not drawn, or where a failing one
  // left the stream; the stream is put back there at the end.
  bool drawing = true;
  int64_t drawEnd = -1;
  auto stopDrawing = [&](int64_t at) {
    drawing = false;
    drawEnd = at;
  };
  auto reportFrame = [&] {
    if (report) return;
    const int64_t span = std::max<int64_t>(stream.Size() - start, 1);
    progress.ReportPercent(int(std::clamp<int64_t>((stream.Position() - start) * 100 / span, 0, 100)));
  };

  TGifParser parser(stream, params, progress, true);
  parser.CountPastAbort = true;
  const bool ok = parser.Run([&](const TGifImage& image) {
    const int64_t dataStart = stream.Position();
    if (first) {
      // A second image: image 0 is the first frame of an animation.
      TPxBitmap& frame = *first;
      first = nullptr;
      const bool drawn = canvas.Draw(frame, firstMask.get(), firstLeft, firstTop, firstFormat);
      // The target gets the canvas; the colour count decoding set must not
      // steer its conversion.
      if (&frame == &target) target.SetQuantizeColors(targetColors);
      if (!drawn) {
        stopDrawing(firstEnd);
        return TImageAction::kSkip;
      }
      reportFrame();
      if (progress.IsAborted()) stopDrawing(firstEnd);
    }
    if (drawing && progress.IsAborted()) stopDrawing(dataStart);
    if (!drawing) return TImageAction::kSkip;
    if (image.Index > wanted) {
      stopDrawing(dataStart);
      return TImageAction::kSkip;
    }
    params.SetImageIndex(image.Index);
    std::unique_ptr<TPxMask> mask;
    TDecodedImage decoded;
    TPxBitmap* dest = &target;
    std::unique_ptr<TPxBitmap> frame;
    if (image.Index > 0 || !canvas.Fits(image)) {
      frame = std::make_unique<TPxBitmap>();
      frame->SetLocation(pxInMemory);
      dest = frame.get();
    }
    const TImageAction action =
        DecodeImage(stream, parser, image, *dest, false, mask, false, progress, params, report, decoded);
    if (action == TImageAction::kStop || progress.IsAborted()) {
      // The image still counts; the parser passes over its data from the start.
      stopDrawing(stream.Position());
      stream.Seek(dataStart, soBeginning);
      return TImageAction::kSkip;
    }
    if (!decoded.Decoded) return action;  // a zero-sided image: nothing to draw
    if (image.Index == 0) {
      first = dest;
      firstAside = std::move(frame);
      firstMask = std::move(mask);
      firstLeft = image.Left;
      firstTop = image.Top;
      firstEnd = stream.Position();
      firstFormat = decoded.Format;
      return action;
    }
    if (!canvas.Draw(*frame, mask.get(), image.Left, image.Top, decoded.Format)) {
      stopDrawing(stream.Position());
      stream.Seek(dataStart, soBeginning);
      return TImageAction::kSkip;
    }
    reportFrame();
    if (progress.IsAborted()) stopDrawing(stream.Position());
    return action;
  });
  if (!ok) return 0;
  const int32_t count = parser.Count;
  params.SetImageCount(count);
  if (count == 0) return count;

  if (first) {
    // The only image: a still picture, with its own size and transparency.
    if (first != &target) {
      target.AssignFrom(*first);
      target.SetQuantizeColors(first->QuantizeColors());
    }
    if (firstMask) target.AlphaChannel()->ImportMask(firstMask.get());
  }
  // Whatever was drawn before a failure is kept, as the picture so far.
  canvas.MoveTo(target);
  params.SetImageIndex(wanted);
  params.SetImageCount(count);
  if (drawEnd >= 0) stream.Seek(drawEnd, soBeginning);
  return count;
}

}  // namespace

TGifReadResult LoadGifComposed(TReadContext& ctx) {
  if (ctx.MaskOut) ctx.MaskOut->reset();
  if (ctx.ParamsOnly) {
    TReadContext paramsOnly = ctx;
    paramsOnly.MaskOut = nullptr;
    return ReadGif(paramsOnly, {.IgnoreTransparency = true});
  }
  return {.ImageCount = Compose(ctx.Stream, ctx.Bitmap, ctx.Params, ctx.Progress)};
}

}  // namespace rv

namespace rv {

bool IsGif(TStream& stream) {
  // More than the signature and the screen descriptor (13 bytes).
  if (stream.Size() <= 13) return false;
  uint8_t h[3];
  return stream.Read(h, 3) == 3 && h[0] == 'G' && h[1] == 'I' && h[2] == 'F';
}

}  // namespace rv
