#include "io/readers/jp2reader.h"

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "io/formats.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

// A code stream needs a few bytes per tile-part and packet, but empty code
// blocks cost almost nothing, so the bound is generous.
constexpr int64_t kMaxPixelsPerByte = 65536;
constexpr int kMaxPrecision = 31;
constexpr uint32_t kStreamChunk = 65536;
// The JP2 header box is read whole when looking for the resolution; a larger
// one (a huge ICC profile) is skipped.
constexpr int64_t kMaxHeaderBox = 1 << 20;

const uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8_t kJ2kSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};

// ---------------------------------------------------------------- stream callbacks

// OpenJPEG allocates a tile part's whole claimed length (Psot) before
// reading it, so a length field of nearly 4 GB reserves that much. True when
// some tile part claims more than both the data left after it and
// kMaxTilePartOverrun: a truncated file keeps its claims near its size.
constexpr int64_t kMaxTilePartOverrun = int64_t(256) << 20;
constexpr int64_t kHeaderScanBytes = int64_t(1) << 20;

bool HasImpossibleTilePart(TStream& stream, int64_t start) {
  const int64_t size = stream.Size();
  std::vector<uint8_t> head(size_t(std::clamp<int64_t>(size - start, 0, kHeaderScanBytes)));
  stream.Seek(start, soBeginning);
  if (stream.Read(head.data(), int64_t(head.size())) != int64_t(head.size())) return false;
  // The code stream starts at SOC followed by SIZ (inside the jp2c box of a JP2 file).
  size_t at = 0;
  while (at + 4 <= head.size() &&
         !(head[at] == 0xFF && head[at + 1] == 0x4F && head[at + 2] == 0xFF && head[at + 3] == 0x51))
    ++at;
  if (at + 4 > head.size()) return false;
  int64_t pos = start + int64_t(at) + 2;
  // Main header marker segments up to the first SOT.
  uint8_t m[12];
  for (;;) {
    stream.Seek(pos, soBeginning);
    if (stream.Read(m, 4) != 4 || m[0] != 0xFF) return false;
    if (m[1] == 0x90) break;
    pos += 2 + ((m[2] << 8) | m[3]);
  }
  // Every tile part: SOT, Lsot, Isot, Psot, TPsot, TNsot.
  while (pos + 12 <= size) {
    stream.Seek(pos, soBeginning);
    if (stream.Read(m, 12) != 12 || m[0] != 0xFF || m[1] != 0x90) return false;
    const int64_t psot = (int64_t(m[6]) << 24) | (m[7] << 16) | (m[8] << 8) | m[9];
    if (psot == 0) return false;  // the last one, running to the end
    if (psot > size - pos && psot > kMaxTilePartOverrun) return true;
    pos += psot;
  }
  return false;
}

struct TOpjSource {
  TStream* stream;
  int64_t start;  // OpenJPEG's offset 0
};

OPJ_SIZE_T OnRead(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* src = static_cast<TOpjSource*>(user);
  int64_t got = 0;
  try {
    got = src->stream->Read(buffer, static_cast<int64_t>(count));
  } catch (...) {
    got = 0;  // an unreadable stream ends the data here
  }
  return got > 0 ? static_cast<OPJ_SIZE_T>(got) : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_OFF_T OnSkip(OPJ_OFF_T count, void* user) {
  auto* src = static_cast<TOpjSource*>(user);
  try {
    const int64_t from = src->stream->Position();
    if (from + count < src->start) return -1;
    // Never past the end: OpenJPEG counts what a skip returns as its offset,
    // and an offset past the data makes "bytes left" wrap around.
    const int64_t to = std::min<int64_t>(from + count, src->stream->Size());
    if (to <= from && count > 0) return -1;
    src->stream->Seek(to, soBeginning);
    return to - from;
  } catch (...) {
    return -1;
  }
}

OPJ_BOOL OnSeek(OPJ_OFF_T offset, void* user) {
  auto* src = static_cast<TOpjSource*>(user);
  try {
    if (offset < 0) return OPJ_FALSE;
    return src->stream->Seek(src->start + offset, soBeginning) == src->start + offset ? OPJ_TRUE : OPJ_FALSE;
  } catch (...) {
    return OPJ_FALSE;
  }
}

// The first error OpenJPEG reports, for the reason text.
struct TOpjMessages {
  char error[200];
};

void OnOpjError(const char* message, void* user) {
  auto* m = static_cast<TOpjMessages*>(user);
  if (m->error[0] != '\0' || message == nullptr) return;
  std::snprintf(m->error, sizeof m->error, "%s", message);
  // OpenJPEG ends its messages with a newline.
  const size_t n = std::strlen(m->error);
  if (n > 0 && m->error[n - 1] == '\n') m->error[n - 1] = '\0';
}

void OnOpjQuiet(const char*, void*) {}

// Owns the OpenJPEG objects of one decode.
struct TOpjSession {
  opj_stream_t* stream = nullptr;
  opj_codec_t* codec = nullptr;
  opj_image_t* image = nullptr;
  ~TOpjSession() {
    if (image) opj_image_destroy(image);
    if (codec) opj_destroy_codec(codec);
    if (stream) opj_stream_destroy(stream);
  }
};

// ---------------------------------------------------------------- resolution box

// Dots per inch of a 'resd' or 'resc' box (grid points per metre = N / D × 10^E); 0 when unusable.
void ResolutionOf(const uint8_t* b, int32_t& dpiX, int32_t& dpiY) {
  auto dpi = [](uint16_t n, uint16_t d, int8_t e) -> int32_t {
    if (n == 0 || d == 0) return 0;
    const double v = double(n) / d * std::pow(10.0, e) * 0.0254;
    return v >= 1 && v < 1e9 ? static_cast<int32_t>(std::nearbyint(v)) : 0;
  };
  dpiY = dpi(Be16(b), Be16(b + 2), static_cast<int8_t>(b[8]));
  dpiX = dpi(Be16(b + 4), Be16(b + 6), static_cast<int8_t>(b[9]));
}

// Walks the boxes of [pos, end) in memory; returns the payload of the first box of type, or null.
const uint8_t* FindBox(const uint8_t* data, int64_t size, const char* type, int64_t& payloadSize) {
  int64_t pos = 0;
  while (pos + 8 <= size) {
    int64_t length = Be32(data + pos);
    int64_t headerSize = 8;
    if (length == 1) {
      if (pos + 16 > size) return nullptr;
      length = (int64_t(Be32(data + pos + 8)) << 32) | Be32(data + pos + 12);
      headerSize = 16;
    } else if (length == 0) {
      length = size - pos;
    }
    if (length < headerSize || length > size - pos) return nullptr;
    if (std::memcmp(data + pos + 4, type, 4) == 0) {
      payloadSize = length - headerSize;
      return data + pos + headerSize;
    }
    pos += length;
  }
  return nullptr;
}

// The resolution of a JP2 file: the display resolution, else the capture one.
// Reads only the top-level box headers up to the code stream and the header box.
void ReadJp2Resolution(TStream& stream, int64_t start, int32_t& dpiX, int32_t& dpiY) {
  dpiX = dpiY = 0;
  const int64_t size = stream.Size();
  int64_t pos = start;
  for (int boxes = 0; boxes < 64 && pos + 8 <= size; ++boxes) {
    uint8_t h[16];
    stream.Seek(pos, soBeginning);
    if (stream.Read(h, 8) != 8) return;
    int64_t length = Be32(h);
    int64_t headerSize = 8;
    if (length == 1) {
      if (stream.Read(h + 8, 8) != 8) return;
      length = (int64_t(Be32(h + 8)) << 32) | Be32(h + 12);
      headerSize = 16;
    } else if (length == 0) {
      length = size - pos;
    }
    if (length < headerSize || length > size - pos) return;
    if (std::memcmp(h + 4, "jp2c", 4) == 0) return;
    if (std::memcmp(h + 4, "jp2h", 4) == 0) {
      const int64_t payload = length - headerSize;
      if (payload > kMaxHeaderBox) return;
      std::vector<uint8_t> box(static_cast<size_t>(payload));
      if (stream.Read(box.data(), payload) != payload) return;
      int64_t resSize = 0;
      const uint8_t* res = FindBox(box.data(), payload, "res ", resSize);
      if (res == nullptr) return;
      int64_t n = 0;
      const uint8_t* r = FindBox(res, resSize, "resd", n);
      if (r == nullptr || n < 10) r = FindBox(res, resSize, "resc", n);
      if (r != nullptr && n >= 10) ResolutionOf(r, dpiX, dpiY);
      return;
    }
    pos += length;
  }
}

// ---------------------------------------------------------------- sample conversion

// Maps the samples of one component to 0 .. outMax.
class TSampleScale {
 public:
  TSampleScale(const opj_image_comp_t& c, uint32_t outMax)
      : offset_(c.sgnd ? int64_t(1) << (c.prec - 1) : 0), max_((int64_t(1) << c.prec) - 1), outMax_(outMax) {
    if (c.prec <= 16) {
      table_.resize(size_t(max_) + 1);
      for (int64_t v = 0; v <= max_; ++v) table_[size_t(v)] = static_cast<uint16_t>((v * outMax_ + max_ / 2) / max_);
    }
  }
  // A raw sample as stored by OpenJPEG (signed values centred on 0).
  uint16_t operator()(int64_t raw) const {
    const int64_t v = std::clamp<int64_t>(raw + offset_, 0, max_);
    if (!table_.empty()) return table_[size_t(v)];
    return static_cast<uint16_t>((v * outMax_ + max_ / 2) / max_);
  }
  // The unsigned value in native units, for colour transforms.
  int64_t Native(int64_t raw) const { return std::clamp<int64_t>(raw + offset_, 0, max_); }
  int64_t Max() const { return max_; }
  uint16_t FromNative(double v) const {
    const int64_t n = std::clamp<int64_t>(static_cast<int64_t>(std::lround(v)), 0, max_);
    return (*this)(n - offset_);
  }

 private:
  int64_t offset_;
  int64_t max_;
  int64_t outMax_;
  std::vector<uint16_t> table_;
};

// Index of the sample of component c under output pixel (x, y).
struct TSampler {
  const opj_image_comp_t* c;
  std::vector<int32_t> column;  // per output column, the sample column
  TSampler(const opj_image_t& image, const opj_image_comp_t& comp, int width) : c(&comp), column(size_t(width)) {
    const int64_t cx0 = (int64_t(image.x0) + comp.dx - 1) / comp.dx;
    for (int x = 0; x < width; ++x) {
      const int64_t sx = (int64_t(image.x0) + x) / comp.dx - cx0;
      column[size_t(x)] = static_cast<int32_t>(std::clamp<int64_t>(sx, 0, int64_t(comp.w) - 1));
    }
  }
  const OPJ_INT32* Row(const opj_image_t& image, int y) const {
    const int64_t cy0 = (int64_t(image.y0) + c->dy - 1) / c->dy;
    const int64_t sy = std::clamp<int64_t>((int64_t(image.y0) + y) / c->dy - cy0, 0, int64_t(c->h) - 1);
    return c->data + sy * int64_t(c->w);
  }
};

enum class TColourModel { Gray, Rgb, Ycc, Cmyk };

struct TLayout {
  TColourModel model = TColourModel::Gray;
  int colour[4] = {0, 0, 0, 0};  // component indices of the colour samples
  int colourCount = 1;
  int alpha = -1;  // component index of the alpha channel, or -1
};

TLayout ChooseLayout(const opj_image_t& image) {
  TLayout l;
  const int n = static_cast<int>(image.numcomps);
  std::vector<int> colour;
  for (int i = 0; i < n; ++i) {
    if (image.comps[i].alpha != 0) {
      if (l.alpha < 0) l.alpha = i;
    } else {
      colour.push_back(i);
    }
  }
  const OPJ_COLOR_SPACE cs = image.color_space;
  const int available = static_cast<int>(colour.size());
  if (cs == OPJ_CLRSPC_CMYK && available >= 4) {
    l.model = TColourModel::Cmyk;
    l.colourCount = 4;
  } else if ((cs == OPJ_CLRSPC_SYCC || cs == OPJ_CLRSPC_EYCC) && available >= 3) {
    l.model = TColourModel::Ycc;
    l.colourCount = 3;
  } else if (cs != OPJ_CLRSPC_GRAY && available >= 3) {
    l.model = TColourModel::Rgb;
    l.colourCount = 3;
  } else {
    l.model = TColourModel::Gray;
    l.colourCount = 1;
  }
  if (available == 0) {
    // Only opacity: show it as gray.
    colour.push_back(0);
    l.alpha = -1;
  }
  for (int i = 0; i < l.colourCount; ++i) l.colour[i] = colour[size_t(i)];
  // Without channel definitions the component after the colour ones is
  // taken as opacity, as writers of RGBA and gray-alpha pictures mean it.
  if (l.alpha < 0 && available > l.colourCount) l.alpha = colour[size_t(l.colourCount)];
  return l;
}

// ---------------------------------------------------------------- the reader

bool ComponentsUsable(const opj_image_t& image, const TLayout& l) {
  auto ok = [&](int i) {
    const opj_image_comp_t& c = image.comps[i];
    return c.data != nullptr && c.w > 0 && c.h > 0 && c.dx > 0 && c.dy > 0 && c.prec >= 1 &&
           c.prec <= static_cast<OPJ_UINT32>(kMaxPrecision);
  };
  for (int i = 0; i < l.colourCount; ++i)
    if (!ok(l.colour[i])) return false;
  return l.alpha < 0 || ok(l.alpha);
}

void StorePixels(const opj_image_t& image, const TLayout& l, bool wide, TPxBitmap& bitmap, TProgressRecord& progress) {
  const int width = bitmap.Width(), height = bitmap.Height();
  const uint32_t outMax = wide ? 65535 : 255;
  std::vector<TSampleScale> scales;
  std::vector<TSampler> samplers;
  for (int i = 0; i < l.colourCount; ++i) {
    scales.emplace_back(image.comps[l.colour[i]], outMax);
    samplers.emplace_back(image, image.comps[l.colour[i]], width);
  }
  TPxBitmap* alpha = nullptr;
  std::unique_ptr<TSampleScale> alphaScale;
  std::unique_ptr<TSampler> alphaSampler;
  if (l.alpha >= 0) {
    alpha = bitmap.AlphaChannel();
    alphaScale = std::make_unique<TSampleScale>(image.comps[l.alpha], 255);
    alphaSampler = std::make_unique<TSampler>(image, image.comps[l.alpha], width);
  }
  progress.Scale = 100.0 / height;
  for (int y = 0; y < height; ++y) {
    const OPJ_INT32* rows[4] = {};
    for (int i = 0; i < l.colourCount; ++i) rows[i] = samplers[size_t(i)].Row(image, y);
    uint8_t* dst = bitmap.RowPointer(y);
    auto at = [&](int i, int x) -> int64_t { return rows[i][samplers[size_t(i)].column[size_t(x)]]; };
    for (int x = 0; x < width; ++x) {
      uint16_t out[3];
      switch (l.model) {
        case TColourModel::Gray:
          out[0] = scales[0](at(0, x));
          break;
        case TColourModel::Rgb:
          for (int i = 0; i < 3; ++i) out[i] = scales[size_t(i)](at(i, x));
          break;
        case TColourModel::Ycc: {
          // Chroma is centred on half the range of an unsigned component.
          const double yv = double(scales[0].Native(at(0, x)));
          const double cb = double(scales[1].Native(at(1, x))) - double(scales[1].Max() + 1) / 2;
          const double cr = double(scales[2].Native(at(2, x))) - double(scales[2].Max() + 1) / 2;
          out[0] = scales[0].FromNative(yv + 1.402 * cr);
          out[1] = scales[0].FromNative(yv - 0.344136 * cb - 0.714136 * cr);
          out[2] = scales[0].FromNative(yv + 1.772 * cb);
          break;
        }
        case TColourModel::Cmyk: {
          const uint32_t k = outMax - scales[3](rows[3][samplers[3].column[size_t(x)]]);
          for (int i = 0; i < 3; ++i)
            out[i] = static_cast<uint16_t>((outMax - scales[size_t(i)](at(i, x))) * k / outMax);
          break;
        }
      }
      if (l.model == TColourModel::Gray) {
        if (wide) {
          std::memcpy(dst + 2 * size_t(x), &out[0], 2);
        } else {
          dst[x] = static_cast<uint8_t>(out[0]);
        }
      } else if (wide) {
        std::memcpy(dst + 6 * size_t(x), out, 6);  // words red, green, blue
      } else {
        dst[3 * size_t(x)] = static_cast<uint8_t>(out[2]);
        dst[3 * size_t(x) + 1] = static_cast<uint8_t>(out[1]);
        dst[3 * size_t(x) + 2] = static_cast<uint8_t>(out[0]);
      }
    }
    if (alpha != nullptr) {
      const OPJ_INT32* a = alphaSampler->Row(image, y);
      uint8_t* ad = alpha->RowPointer(y);
      for (int x = 0; x < width; ++x) ad[x] = static_cast<uint8_t>((*alphaScale)(a[alphaSampler->column[size_t(x)]]));
    }
    progress.ReportPercent(static_cast<int>(int64_t(y + 1) * 100 / height));
    if (progress.IsAborted()) break;
  }
  if (alpha != nullptr) alpha->UpdateAllOpaque();
}

int32_t DetectCodec(TStream& stream, int64_t start, int32_t fileType) {
  uint8_t head[12] = {};
  const int64_t got = stream.Read(head, sizeof head);
  stream.Seek(start, soBeginning);
  if (got == 12 && std::memcmp(head, kJp2Signature, 12) == 0) return ffJP2;
  if (got >= 4 && std::memcmp(head, kJ2kSignature, 4) == 0) return ffJ2K;
  return fileType;
}

}  // namespace

void ReadJpeg2000(TReadContext& ctx, const TJpeg2000ReadOptions& options) {
  TStream& stream = ctx.Stream;
  TPxBitmap& bitmap = ctx.Bitmap;
  TIOParamsVals& params = ctx.Params;
  const bool paramsOnly = ctx.ParamsOnly;
  TProgressRecord& progress = ctx.Progress;
  const int32_t fileType = options.FileType;
  const int64_t start = stream.Position();
  const int32_t kind = DetectCodec(stream, start, fileType);
  const char* label = kind == ffJP2 ? "JP2" : "J2K";
  TOpjMessages messages{};
  auto fail = [&](const std::string& what) {
    std::string reason = std::string(label) + ": " + what;
    if (messages.error[0] != '\0') reason += std::string(" (") + messages.error + ")";
    progress.Fail(reason);
  };

  // The resolution box is read before OpenJPEG takes over the stream position.
  int32_t dpiX = 0, dpiY = 0;
  if (kind == ffJP2) {
    try {
      ReadJp2Resolution(stream, start, dpiX, dpiY);
    } catch (...) {
      dpiX = dpiY = 0;  // a stream that cannot be read there fails below
    }
    stream.Seek(start, soBeginning);
  }

  bool impossible = false;
  try {
    impossible = HasImpossibleTilePart(stream, start);
  } catch (...) {
    impossible = false;  // an unreadable stream fails in the decoder
  }
  stream.Seek(start, soBeginning);
  if (impossible) {
    fail("a tile part claims more bytes than the data holds");
    return;
  }

  TOpjSource source{&stream, start};
  TOpjSession s;
  s.stream = opj_stream_create(kStreamChunk, OPJ_TRUE);
  s.codec = opj_create_decompress(kind == ffJP2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (!s.stream || !s.codec) {
    fail("cannot create the decoder");
    return;
  }
  opj_stream_set_user_data(s.stream, &source, nullptr);
  opj_stream_set_user_data_length(s.stream, static_cast<OPJ_UINT64>(std::max<int64_t>(stream.Size() - start, 0)));
  opj_stream_set_read_function(s.stream, OnRead);
  opj_stream_set_skip_function(s.stream, OnSkip);
  opj_stream_set_seek_function(s.stream, OnSeek);
  opj_set_error_handler(s.codec, OnOpjError, &messages);
  opj_set_warning_handler(s.codec, OnOpjQuiet, nullptr);
  opj_set_info_handler(s.codec, OnOpjQuiet, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(s.codec, &parameters)) {
    fail("cannot set up the decoder");
    return;
  }
  // A code stream that ends early decodes as far as it goes.
  opj_decoder_set_strict_mode(s.codec, OPJ_FALSE);

  if (!opj_read_header(s.stream, s.codec, &s.image) || s.image == nullptr) {
    fail("unreadable header at offset " + std::to_string(start));
    return;
  }
  const opj_image_t& image = *s.image;
  if (image.numcomps == 0 || image.x1 <= image.x0 || image.y1 <= image.y0) {
    fail("no components or an empty picture area");
    return;
  }
  if (image.numcomps > kJ2kMaxComponents) {
    fail(std::to_string(image.numcomps) + " components");
    return;
  }
  int64_t tiles = 0;
  if (opj_codestream_info_v2_t* info = opj_get_cstr_info(s.codec)) {
    tiles = int64_t(info->tw) * int64_t(info->th);
    opj_destroy_cstr_info(&info);
  }
  if (tiles > kJ2kMaxTiles) {
    fail(std::to_string(tiles) + " tiles");
    return;
  }
  const int64_t area[2] = {int64_t(image.x1) - image.x0, int64_t(image.y1) - image.y0};
  if (area[0] > TImageLimits::kHardMaxSide || area[1] > TImageLimits::kHardMaxSide) {
    fail(std::to_string(area[0]) + " x " + std::to_string(area[1]) + " pixels");
    return;
  }
  const int width = static_cast<int>(area[0]);
  const int height = static_cast<int>(area[1]);
  int64_t samples = 0;
  for (OPJ_UINT32 i = 0; i < image.numcomps; ++i) {
    const opj_image_comp_t& c = image.comps[i];
    if (c.prec < 1 || c.prec > static_cast<OPJ_UINT32>(kMaxPrecision) || c.dx == 0 || c.dy == 0) {
      fail("component " + std::to_string(i) + " has " + std::to_string(c.prec) + " bits, subsampling " +
           std::to_string(c.dx) + "x" + std::to_string(c.dy));
      return;
    }
    samples += (int64_t(width) / c.dx + 1) * (int64_t(height) / c.dy + 1);
  }

  params.Width = width;
  params.Height = height;
  params.BitsPerSample = static_cast<int32_t>(image.comps[0].prec);
  params.SamplesPerPixel = static_cast<int32_t>(image.numcomps);
  params.FreeColorMap();
  params.SetDpiX(dpiX > 0 ? dpiX : 300);
  params.SetDpiY(dpiY > 0 ? dpiY : 300);
  if (paramsOnly) return;

  // The picture, and OpenJPEG's 32-bit buffers of every component, must fit
  // the limits: the components are counted as pixels of the picture.
  TImageHeader header;
  header.Format = label;
  header.Offset = start;
  header.Width = width;
  header.Height = height;
  header.BitsPerPixel = 32;
  header.CompressedBytes = std::max<int64_t>(stream.Size() - start, 0);
  header.MaxPixelsPerByte = kMaxPixelsPerByte;
  if (!CheckImageHeader(header, progress).Ok) return;
  const int64_t maxPixels = (progress.Limits ? progress.Limits->Clamped() : ProcessImageLimits()).MaxPixels;
  if (samples > 4 * maxPixels) {
    progress.Fail(std::string(label) + ": " + std::to_string(samples) + " samples in " +
                  std::to_string(image.numcomps) + " components exceed the limit");
    return;
  }

  progress.ReportPercent(0);
  if (!opj_decode(s.codec, s.stream, s.image) || !opj_end_decompress(s.codec, s.stream)) {
    fail("cannot decode the code stream");
    return;
  }
  const TLayout layout = ChooseLayout(*s.image);
  if (!ComponentsUsable(*s.image, layout)) {
    fail("decoded components are unusable");
    return;
  }
  int precision = 0;
  for (int i = 0; i < layout.colourCount; ++i)
    precision = std::max<int>(precision, static_cast<int>(s.image->comps[layout.colour[i]].prec));
  const bool wide = params.NativePixelFormat != 0 && precision > 8;
  const bool gray = layout.model == TColourModel::Gray;
  bitmap.AllocatePixels(width, height, gray ? (wide ? pxGray16 : pxGray8) : (wide ? pxRGB48 : pxRGB24));
  StorePixels(*s.image, layout, wide, bitmap, progress);
  if (s.image->icc_profile_buf != nullptr && s.image->icc_profile_len > 0)
    params.InputProfile().Data.assign(s.image->icc_profile_buf, s.image->icc_profile_buf + s.image->icc_profile_len);
}

}  // namespace rv

namespace rv {

bool IsJp2(TStream& stream) {
  uint8_t h[12];
  return stream.Read(h, 12) == 12 && std::memcmp(h, kJp2Signature, 12) == 0;
}

bool IsJ2k(TStream& stream) {
  uint8_t h[4];
  return stream.Read(h, 4) == 4 && std::memcmp(h, kJ2kSignature, 4) == 0;
}

}  // namespace rv
