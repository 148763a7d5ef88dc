#include "io/readers/jpegreader.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs size_t and FILE declared first
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmetadata.h"
#include "imaging/pxrotate.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "io/readers/exif.h"
#include "platform/stream.h"

namespace rv {

namespace {

constexpr int kSourceBufferSize = 65536;
constexpr int kStartSearch = 100;
// Rows asked of the library per call when the bitmap rows can all be
// addressed at once (the library hands out at most one iMCU row anyway).
constexpr int kRowBatch = 16;
// A Huffman-coded picture spends at least one bit on each 8×8 block of its
// largest component, so more than 512 pixels per byte (doubled for margin)
// cannot come from the data; arithmetic coding can do far better.
constexpr int64_t kMaxPixelsPerByteHuffman = 1024;
constexpr int64_t kMaxPixelsPerByteArithmetic = 16384;

// ---------------------------------------------------------------- error manager

struct TJpegError {
  jpeg_error_mgr pub;  // first: libjpeg hands out &pub
  std::jmp_buf* jump;  // where error_exit lands (set by Guarded)
  char message[JMSG_LENGTH_MAX];
  int warnings;
  int lastWarningCode;
};

// The message table's text with "?" in place of every argument: the
// arguments are not kept, and an unknown code is "Corrupted".
void CopyMessage(j_common_ptr cinfo, char* out) {
  const jpeg_error_mgr* err = cinfo->err;
  const int code = err->msg_code;
  const char* text = "Corrupted";
  if (code > 0 && code <= err->last_jpeg_message && err->jpeg_message_table[code] != nullptr)
    text = err->jpeg_message_table[code];
  size_t n = 0;
  for (const char* p = text; *p != '\0' && n + 1 < JMSG_LENGTH_MAX; ++p) {
    if (*p != '%') {
      out[n++] = *p;
      continue;
    }
    if (p[1] == '%') {
      out[n++] = '%';
      ++p;
      continue;
    }
    // Skip flags, width and length up to the conversion letter.
    while (p[1] != '\0' && std::strchr("-+ #0123456789.lhz", p[1]) != nullptr) ++p;
    if (p[1] != '\0') ++p;
    out[n++] = '?';
  }
  out[n] = '\0';
}

[[noreturn]] void OnErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  CopyMessage(cinfo, err->message);
  std::longjmp(*err->jump, 1);
}

void OnEmitMessage(j_common_ptr cinfo, int level) {
  if (level != -1) return;
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  ++err->warnings;
  err->lastWarningCode = cinfo->err->msg_code;
}

void OnOutputMessage(j_common_ptr) {}

void OnResetError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  err->warnings = 0;
  err->lastWarningCode = 0;
  cinfo->err->msg_code = 0;
}

// Refuses files with too many scans: the library calls this before it takes
// in each further chunk of a multi-scan file.
void OnProgressMonitor(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number > kMaxJpegScans) {
    auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxJpegScans);
    std::longjmp(*err->jump, 1);
  }
}

using TJpegOp = void (*)(j_decompress_ptr cinfo, void* arg);

// The one place where libjpeg's error exit lands. Nothing in this frame, in
// the operations it runs or in the callbacks above has a destructor, so the
// jump skips no C++ clean-up. Returns false when the library failed.
bool Guarded(j_decompress_ptr cinfo, TJpegOp op, void* arg) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  std::jmp_buf here;
  std::jmp_buf* const outer = err->jump;
  err->jump = &here;
  if (setjmp(here) != 0) {
    err->jump = outer;
    return false;
  }
  op(cinfo, arg);
  err->jump = outer;
  return true;
}

// ---------------------------------------------------------------- source manager

struct TJpegSource {
  jpeg_source_mgr pub;  // first: libjpeg hands out &pub
  TStream* stream;
  bool startOfFile;
  bool emptyAtStart;  // nothing at all could be read: not a JPEG stream
  int64_t streamPos;  // stream position after the last fill
  JOCTET buffer[kSourceBufferSize];
};

void OnInitSource(j_decompress_ptr cinfo) {
  reinterpret_cast<TJpegSource*>(cinfo->src)->startOfFile = true;
}

boolean OnFillInput(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<TJpegSource*>(cinfo->src);
  int64_t got = 0;
  try {
    got = src->stream->Read(src->buffer, kSourceBufferSize);
  } catch (...) {
    // A stream that cannot be read further ends the data here.
    got = 0;
  }
  if (got <= 0) {
    if (src->startOfFile) src->emptyAtStart = true;
    // An end-of-image marker: the library completes the picture from what it has.
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  } else {
    src->streamPos += got;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = static_cast<size_t>(got);
  src->startOfFile = false;
  return TRUE;
}

void OnSkipInput(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<TJpegSource*>(cinfo->src);
  while (count > 0) {
    if (src->pub.bytes_in_buffer == 0) OnFillInput(cinfo);
    const size_t step = std::min(static_cast<size_t>(count), src->pub.bytes_in_buffer);
    src->pub.next_input_byte += step;
    src->pub.bytes_in_buffer -= step;
    count -= static_cast<long>(step);
  }
}

void OnTermSource(j_decompress_ptr) {}

void AttachSource(TJpegSource& src, TStream& stream) {
  src.pub.init_source = OnInitSource;
  src.pub.fill_input_buffer = OnFillInput;
  src.pub.skip_input_data = OnSkipInput;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = OnTermSource;
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  src.stream = &stream;
  src.startOfFile = true;
  src.emptyAtStart = false;
  src.streamPos = stream.Position();
}

// ---------------------------------------------------------------- one decompression

// Owns the decompressor; destroying it releases every libjpeg allocation.
struct TJpegSession {
  jpeg_decompress_struct cinfo{};
  TJpegError err{};
  jpeg_progress_mgr monitor{};
  std::unique_ptr<TJpegSource> source = std::make_unique<TJpegSource>();
  bool created = false;

  TJpegSession() {
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnErrorExit;
    err.pub.emit_message = OnEmitMessage;
    err.pub.output_message = OnOutputMessage;
    err.pub.reset_error_mgr = OnResetError;
    monitor.progress_monitor = OnProgressMonitor;
  }
  ~TJpegSession() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
  TJpegSession(const TJpegSession&) = delete;
  TJpegSession& operator=(const TJpegSession&) = delete;

  // Runs op under the error trap; a library failure becomes EPxJpegException.
  void Run(TJpegOp op, void* arg) {
    if (!Guarded(&cinfo, op, arg)) throw EPxJpegException(err.message);
  }
  // Where the library is in the stream, for reason texts.
  int64_t Offset() const { return source->streamPos - static_cast<int64_t>(source->pub.bytes_in_buffer); }
};

// How decoded rows reach the bitmap.
enum class TRowMode {
  Direct,       // the library's output is the bitmap's row layout
  CmykToRgb,    // CMYK samples through the inverted-CMYK rule
  UnknownToRgb  // components of an unknown colour space: first three as RGB, or gray
};

void ConvertCmykRow(const uint8_t* src, uint8_t* dst, int width, bool invert) {
  for (int x = 0; x < width; ++x, src += 4, dst += 3) {
    uint32_t c = src[0], m = src[1], y = src[2], k = src[3];
    if (invert) {
      c ^= 0xFF;
      m ^= 0xFF;
      y ^= 0xFF;
      k ^= 0xFF;
    }
    dst[2] = static_cast<uint8_t>(c * k / 255);
    dst[1] = static_cast<uint8_t>(m * k / 255);
    dst[0] = static_cast<uint8_t>(y * k / 255);
  }
}

void ConvertUnknownRow(const uint8_t* src, uint8_t* dst, int width, int components) {
  for (int x = 0; x < width; ++x, src += components, dst += 3) {
    if (components >= 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
    } else {
      dst[0] = dst[1] = dst[2] = src[0];
    }
  }
}

// The ICC profile carried in APP2 "ICC_PROFILE" chunks, joined in sequence
// order. Only a complete profile (every chunk 1..total once) is kept: joining
// a partial one would hand on a corrupt profile.
void CollectIccProfile(TPxMarkerList& list, TIOParamsVals& params) {
  static const char kTag[] = "ICC_PROFILE";
  std::vector<std::vector<uint8_t>> chunks;
  int total = 0;
  for (int i = 0; i < list.Count(); ++i) {
    if (list.MarkerType(i) != JPEG_APP0 + 2) continue;
    const uint8_t* data = list.MarkerData(i);
    const int length = list.MarkerLength(i);
    if (data == nullptr || length < 14 || std::memcmp(data, kTag, sizeof kTag) != 0) continue;
    const int seq = data[12], count = data[13];
    if (total == 0 && count > 0) {
      total = count;
      chunks.assign(static_cast<size_t>(total), {});
    }
    if (count != total || seq < 1 || seq > total || !chunks[size_t(seq - 1)].empty()) continue;
    chunks[size_t(seq - 1)].assign(data + 14, data + length);
    if (chunks[size_t(seq - 1)].empty()) chunks[size_t(seq - 1)].push_back(0);  // never "missing"
  }
  if (total == 0) return;
  std::vector<uint8_t> profile;
  for (const auto& c : chunks) {
    if (c.empty()) return;
    profile.insert(profile.end(), c.begin(), c.end());
  }
  params.InputProfile().Data = std::move(profile);
}

// The IPTC block of a Photoshop APP13 marker is image resource 0x0404; without
// one the whole marker is handed to the IPTC parser, which finds the first record.
void ParseIptcMarker(const uint8_t* data, int length, TPxIPTCInfoList& iptc) {
  static const char kPhotoshop[] = "Photoshop 3.0";
  int64_t pos = sizeof kPhotoshop;  // the text and its zero byte
  if (length > pos && std::memcmp(data, kPhotoshop, sizeof kPhotoshop) == 0) {
    while (pos + 12 <= length && std::memcmp(data + pos, "8BIM", 4) == 0) {
      const int id = (data[pos + 4] << 8) | data[pos + 5];
      int64_t p = pos + 6;
      const int64_t nameLength = data[p];
      p += (nameLength + 2) & ~int64_t(1);  // length byte and name, padded to even
      if (p + 4 > length) break;
      const int64_t size =
          (int64_t(data[p]) << 24) | (int64_t(data[p + 1]) << 16) | (int64_t(data[p + 2]) << 8) | data[p + 3];
      p += 4;
      if (size > length - p) break;
      if (id == 0x0404) {
        iptc.ParseIPTC(data + p, static_cast<int>(size));
        return;
      }
      pos = p + ((size + 1) & ~int64_t(1));
    }
  }
  iptc.ParseIPTC(data, length);
}

int ScaleDenominator(const TIOParamsVals& params, int headerWidth, int headerHeight) {
  switch (params.JpegScale) {
    case 2:
      return 2;
    case 3:
      return 4;
    case 4:
      return 8;
    case 0:
      if (params.Width <= 0 || params.Height <= 0) return 1;
      for (int n = 3; n >= 0; --n)
        if ((headerWidth >> n) >= params.Width && (headerHeight >> n) >= params.Height) return 1 << n;
      return 1;
    default:
      return 1;
  }
}

struct TReadRows {
  JSAMPARRAY rows;
  JDIMENSION count;
  JDIMENSION got;
};

// Decodes with the source at the start marker. Throws EPxJpegException for
// library failures before any row was stored; row failures end the loop.
void Decode(TJpegSession& s, TStream& stream, TStream* tables, TPxBitmap& bitmap, bool invertCmyk, bool rawYCbCr,
            bool paramsOnly, TProgressRecord& progress, TIOParamsVals& params) {
  j_decompress_ptr cinfo = &s.cinfo;
  s.Run(
      +[](j_decompress_ptr c, void*) { jpeg_create_decompress(c); }, nullptr);
  s.created = true;
  cinfo->progress = &s.monitor;
  cinfo->src = &s.source->pub;

  if (tables != nullptr && tables != &stream) {
    AttachSource(*s.source, *tables);
    s.Run(
        +[](j_decompress_ptr c, void*) { jpeg_read_header(c, FALSE); }, nullptr);
  }
  AttachSource(*s.source, stream);
  s.Run(
      +[](j_decompress_ptr c, void*) {
        jpeg_save_markers(c, JPEG_COM, 0xFFFF);
        for (int m = 0; m < 16; ++m) jpeg_save_markers(c, JPEG_APP0 + m, 0xFFFF);
        jpeg_read_header(c, TRUE);
      },
      nullptr);
  if (s.source->emptyAtStart) throw EPxJpegException("no data");

  // Colour space of the file and what is asked of the library.
  params.BitsPerSample = 8;
  const bool native = params.NativePixelFormat != 0;
  TRowMode mode = TRowMode::Direct;
  TPxBitmapFormat format = pxRGB24;
  switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
      params.JpegColorSpace = 1;
      params.SamplesPerPixel = 1;
      // libjpeg-turbo expands gray to blue, green, red itself.
      cinfo->out_color_space = native ? JCS_GRAYSCALE : JCS_EXT_BGR;
      format = native ? pxGray8 : pxRGB24;
      break;
    case JCS_RGB:
    case JCS_YCbCr:
      params.JpegColorSpace = cinfo->jpeg_color_space == JCS_RGB ? 0 : 2;
      params.SamplesPerPixel = 3;
      cinfo->out_color_space = rawYCbCr && cinfo->jpeg_color_space == JCS_YCbCr ? JCS_YCbCr : JCS_EXT_BGR;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      params.JpegColorSpace = cinfo->jpeg_color_space == JCS_CMYK ? 3 : 4;
      params.SamplesPerPixel = 4;
      cinfo->out_color_space = JCS_CMYK;
      if (native) {
        format = pxCMYK;
      } else {
        mode = TRowMode::CmykToRgb;
      }
      break;
    default:
      // No table entry for it: the components are shown as they come.
      params.SamplesPerPixel = cinfo->num_components;
      mode = TRowMode::UnknownToRgb;
      break;
  }
  switch (params.JpegDctMethod) {
    case 1:
      cinfo->dct_method = JDCT_IFAST;
      break;
    case 2:
      cinfo->dct_method = JDCT_FLOAT;
      break;
    default:
      cinfo->dct_method = JDCT_ISLOW;
      break;
  }

  if (cinfo->density_unit == 2) {
    params.SetDpiXFromReal(cinfo->X_density * 2.54);
    params.SetDpiYFromReal(cinfo->Y_density * 2.54);
  } else {
    params.SetDpiX(cinfo->X_density);
    params.SetDpiY(cinfo->Y_density);
  }
  params.FreeColorMap();
  params.JpegProgressive = cinfo->progressive_mode ? 1 : 0;
  params.JpegHeaderWidth = static_cast<int32_t>(cinfo->image_width);
  params.JpegHeaderHeight = static_cast<int32_t>(cinfo->image_height);

  const int denominator =
      ScaleDenominator(params, static_cast<int>(cinfo->image_width), static_cast<int>(cinfo->image_height));
  cinfo->scale_num = 1;
  cinfo->scale_denom = static_cast<unsigned>(denominator);
  params.JpegScaleUsed = denominator;
  s.Run(
      +[](j_decompress_ptr c, void*) { jpeg_calc_output_dimensions(c); }, nullptr);
  params.Width = static_cast<int32_t>(cinfo->output_width);
  params.Height = static_cast<int32_t>(cinfo->output_height);
  if (paramsOnly) return;

  // The whole picture is decoded whatever the scale, so the gate sees the
  // header's size and how much coded data there is for it.
  TImageHeader header;
  header.Format = "JPEG";
  header.Offset = s.Offset();
  header.Width = cinfo->image_width;
  header.Height = cinfo->image_height;
  header.BitsPerPixel = 8 * cinfo->num_components;
  header.CompressedBytes = std::max<int64_t>(stream.Size() - header.Offset, 0);
  header.MaxPixelsPerByte = cinfo->arith_code ? kMaxPixelsPerByteArithmetic : kMaxPixelsPerByteHuffman;
  if (!CheckImageHeader(header, progress).Ok) return;

  s.Run(
      +[](j_decompress_ptr c, void*) { jpeg_start_decompress(c); }, nullptr);
  const int width = static_cast<int>(cinfo->output_width);
  const int height = static_cast<int>(cinfo->output_height);
  params.Width = width;
  params.Height = height;

  bitmap.AllocatePixels(width, height, format);
  const int components = cinfo->output_components;
  std::vector<uint8_t> rowBuffer;
  if (mode != TRowMode::Direct) rowBuffer.resize(size_t(width) * size_t(components));
  // A file-backed bitmap maps one row at a time; other stores can take a batch.
  const int batch = mode == TRowMode::Direct && bitmap.Location() != pxTempFile ? kRowBatch : 1;

  progress.Scale = 100.0 / height;
  int rowsDone = 0;
  JSAMPROW rows[kRowBatch];
  while (static_cast<int>(cinfo->output_scanline) < height && rowsDone < bitmap.Height()) {
    const int want = std::min(batch, height - rowsDone);
    for (int i = 0; i < want; ++i)
      rows[i] = mode == TRowMode::Direct ? bitmap.RowPointer(rowsDone + i) : rowBuffer.data();
    TReadRows arg{rows, static_cast<JDIMENSION>(want), 0};
    if (!Guarded(
            cinfo,
            +[](j_decompress_ptr c, void* a) {
              auto* r = static_cast<TReadRows*>(a);
              r->got = jpeg_read_scanlines(c, r->rows, r->count);
            },
            &arg)) {
      progress.Fail(std::string("JPEG: ") + s.err.message + " at offset " + std::to_string(s.Offset()));
      break;
    }
    if (arg.got == 0) break;
    if (mode == TRowMode::CmykToRgb) {
      ConvertCmykRow(rowBuffer.data(), bitmap.RowPointer(rowsDone), width, invertCmyk);
    } else if (mode == TRowMode::UnknownToRgb) {
      ConvertUnknownRow(rowBuffer.data(), bitmap.RowPointer(rowsDone), width, components);
    }
    rowsDone += static_cast<int>(arg.got);
    // In integers, so the last row reports exactly 100.
    progress.ReportPercent(static_cast<int>(int64_t(rowsDone) * 100 / height));
    if (progress.IsAborted()) break;
  }
  if (rowsDone < height)
    progress.Fail("JPEG: " + std::to_string(rowsDone) + " of " + std::to_string(height) + " rows decoded");
}

// The saved markers in file order, all but the first APP0 (JFIF) marker.
void KeepMarkers(j_decompress_ptr cinfo, TIOParamsVals& params) {
  TPxMarkerList& list = params.JpegMarkerList();
  list.ClearMarkers();
  bool firstApp0 = true;
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 && firstApp0) {
      firstApp0 = false;
      continue;
    }
    list.AddMarker(m->marker, m->data, static_cast<uint16_t>(std::min<unsigned>(m->data_length, 0xFFFF)));
  }
}

// EXIF thumbnails in old-style JPEG: a whole JPEG stream, nothing but its pixels.
void DecodeExifThumbnail(TReadContext& ctx, const TTiffJpegOptions& options) {
  ReadJpeg(ctx, {.Tables = options.Tables,
                 .ApplyProfile = false,
                 .InvertCmyk = options.InvertCmyk,
                 .ParseMetadata = false,
                 .RawYCbCr = options.RawYCbCr});
}

void ParseMetadata(TIOParamsVals& params, TPxBitmap& bitmap, bool turn) {
  TPxMarkerList& list = params.JpegMarkerList();
  const int app13 = list.IndexOfType(JPEG_APP0 + 13);
  if (app13 >= 0 && list.MarkerData(app13) != nullptr)
    ParseIptcMarker(list.MarkerData(app13), list.MarkerLength(app13), params.IPTC());
  const int app1 = list.IndexOfType(JPEG_APP0 + 1);
  if (app1 < 0 || list.MarkerData(app1) == nullptr) return;
  const int32_t dpiX = params.DpiX(), dpiY = params.DpiY();
  if (!ParseExifBlock(list.MarkerData(app1), list.MarkerLength(app1), params, DecodeExifThumbnail)) return;
  // A JFIF density of 1:1 is only an aspect ratio: the EXIF resolution wins.
  // A real JFIF resolution is kept.
  if (dpiX != 1 || dpiY != 1) {
    params.SetDpiX(dpiX);
    params.SetDpiY(dpiY);
  }
  if (turn && params.AutoRotate != 0) ApplyOrientation(bitmap, params.ExifOrientation);
}

}  // namespace

int64_t FindJpegStart(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t buf[kStartSearch + 2];
  const int64_t got = stream.Read(buf, sizeof buf);
  stream.Seek(start, soBeginning);
  for (int64_t i = 0; i < kStartSearch && i + 2 < got; ++i)
    if (buf[i] == 0xFF && buf[i + 1] == 0xD8 && buf[i + 2] == 0xFF) return start + i;
  return -1;
}

void ReadJpeg(TReadContext& ctx, const TJpegReadOptions& options) {
  TStream& stream = ctx.Stream;
  TStream* tables = options.Tables;
  TPxBitmap& bitmap = ctx.Bitmap;
  TIOParamsVals& params = ctx.Params;
  const bool paramsOnly = ctx.ParamsOnly;
  TProgressRecord& progress = ctx.Progress;
  const bool invertCmyk = options.InvertCmyk, rawYCbCr = options.RawYCbCr;
  // options.ApplyProfile: colour management is never active, profiles are only kept.
  if (params.ThumbnailOnly() != 0) {
    // The EXIF thumbnail is decoded by the EXIF parser during a parameters-only pass.
    if (params.HasExifThumbnail()) params.ExifThumbnail().ReleaseStorage(true);
    const int64_t start = stream.Position();
    params.SetThumbnailOnly(0);
    bool probeAborted = false;
    TProgressRecord probe;
    probe.Aborted = &probeAborted;
    probe.Limits = progress.Limits;
    TReadContext probeContext{
        .Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = probe, .ParamsOnly = true};
    TJpegReadOptions withMetadata = options;
    withMetadata.ParseMetadata = true;
    ReadJpeg(probeContext, withMetadata);
    stream.Seek(start, soBeginning);
    params.SetThumbnailOnly(1);
    if (params.HasExifThumbnail() && !params.ExifThumbnail().IsEmpty()) {
      bitmap.AssignFrom(params.ExifThumbnail());
      return;
    }
  }

  params.JpegWarningCount = 0;
  params.JpegWarningCode = 0;
  const int64_t start = FindJpegStart(stream);
  if (start < 0) {
    progress.Fail("JPEG: no start marker (FF D8 FF) in the first 100 bytes at offset " +
                  std::to_string(stream.Position()));
    return;
  }
  stream.Seek(start, soBeginning);

  TJpegSession session;
  try {
    Decode(session, stream, tables, bitmap, invertCmyk, rawYCbCr, paramsOnly, progress, params);
  } catch (const EPxJpegException& e) {
    progress.Fail(std::string("JPEG: ") + e.what() + " at offset " + std::to_string(session.Offset()));
  }
  if (session.created) {
    KeepMarkers(&session.cinfo, params);
    CollectIccProfile(params.JpegMarkerList(), params);
    if (!progress.IsAborted() && !paramsOnly && session.cinfo.output_height > 0 &&
        session.cinfo.output_scanline >= session.cinfo.output_height) {
      // Errors while reading the tail (after the last row) do not matter.
      Guarded(
          &session.cinfo, +[](j_decompress_ptr c, void*) { jpeg_finish_decompress(c); }, nullptr);
    }
  }
  if (session.err.warnings > 0) {
    params.JpegWarningCount = session.err.warnings;
    params.JpegWarningCode = session.err.lastWarningCode;
  }
  if (options.ParseMetadata) ParseMetadata(params, bitmap, !paramsOnly && !progress.IsAborted());
}

}  // namespace rv

namespace rv {

bool IsJpeg(TStream& stream) {
  const int64_t start = stream.Position();
  const int64_t size = stream.Size();
  // The 12-byte stream header ("JFIF" and a length) a picture component
  // writes before JPEG data.
  char h[5] = {};
  const int64_t got = std::max<int64_t>(stream.Read(h, 5), 0);
  if (size > 12 && std::string(h, strnlen(h, size_t(got))) == "JFIF") return true;
  stream.Seek(start, soBeginning);
  return FindJpegStart(stream) >= 0;
}

}  // namespace rv
