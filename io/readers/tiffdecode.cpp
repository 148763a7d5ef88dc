#include "io/readers/tiffdecode.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxcolor.h"
#include "imaging/pxmask.h"
#include "imaging/pxmetadata.h"
#include "imaging/pxrotate.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "io/readers/rowconvert.h"
#include "io/readers/rowkernel.h"
#include "io/readers/tiffccitt.h"
#include "io/readers/tiffdir.h"
#include "io/readers/tifflzw.h"
#include "platform/stream.h"

namespace rv {

namespace {

// ------------------------------------------------------------ layout

enum class TKind {
  kMono,          // 1 bit, 1 sample, photometric 0/1
  kGray,          // 2..8 bits, photometric 0/1
  kGray16,        // 16 bits, photometric 0/1
  kGrayAlpha,     // 8 bits, 2 samples, photometric 0/1
  kPalette,       // 1..8 bits, photometric 3
  kPaletteAlpha,  // 8 bits, 2 samples, photometric 3
  kRgb8,          // 8 bits, 3 or more samples, photometric 2
  kRgb16,         // 16 bits, 3 or more samples, photometric 2
  kRgb555,        // 16 bits, 1 sample, photometric 2
  kCmyk8,         // 8 bits, 4 or more samples, photometric 5
  kCmyk16,        // 16 bits, 4 samples, photometric 5
  kLab,           // 8 bits, 3 samples, photometric 8
  kJpeg,          // compression 7: the JPEG reader decodes each strip or tile
};

struct TLayout {
  int64_t Width = 0, Height = 0;
  int Spp = 1, Bits = 1, Photometric = 2, Planar = 1, Predictor = 1, FillOrder = 1;
  TTiffCompression Compression = TTiffCompression::kNone;
  bool Tiled = false;
  int64_t BlockWidth = 0, BlockHeight = 0;  // tile size, or width × rows per strip
  TKind Kind = TKind::kRgb8;
  TPxBitmapFormat Format = pxRGB24;
  bool Alpha = false;     // the sample after the colour ones is alpha
  bool Inverted = false;  // photometric 0: 0 is white
  int GrayShift = 8;      // 16-bit gray to 8 bits
  int T4Options = 0, T6Options = 0;
};

// The name of a compression this reader refuses, for the reason text.
const char* CompressionName(TTiffCompression c) {
  switch (c) {
    case TTiffCompression::kDeflate:
    case TTiffCompression::kAdobeDeflate:
      return " (Deflate)";
    case TTiffCompression::kThunderScan:
      return " (ThunderScan)";
    case TTiffCompression::kSgiLog:
    case TTiffCompression::kSgiLog24:
      return " (SGILog)";
    case TTiffCompression::kJpeg2000:
      return " (JPEG 2000)";
    default:
      return "";
  }
}

bool IsCcitt(TTiffCompression c) {
  return c == TTiffCompression::kModifiedHuffman || c == TTiffCompression::kGroup3 || c == TTiffCompression::kGroup4;
}

// Chooses how rows are converted, or gives the reason the layout is not decoded.
std::string ChooseKind(TLayout& l, bool native) {
  const int s = l.Spp, b = l.Bits, p = l.Photometric;
  if (l.Compression == TTiffCompression::kJpeg) {
    if (b == 8 && ((s == 1 && (p == 0 || p == 1)) || (s == 3 && (p == 2 || p == 6)) || (s == 4 && p == 5))) {
      l.Kind = TKind::kJpeg;
      l.Format = pxRGB24;
      return "";
    }
    return "JPEG data with photometric " + std::to_string(p) + ", " + std::to_string(s) + " samples of " +
           std::to_string(b) + " bits";
  }
  if (IsCcitt(l.Compression) && !(b == 1 && s == 1)) return "CCITT data needs 1 sample of 1 bit";
  if (p == 0 || p == 1) {
    if (s == 1 && b == 1) {
      l.Kind = TKind::kMono;
      l.Format = pxMono1;
    } else if (s == 1 && b >= 2 && b <= 8) {
      l.Kind = TKind::kGray;
      l.Format = native ? pxGray8 : pxRGB24;
    } else if (s == 1 && b == 16) {
      l.Kind = TKind::kGray16;
      l.Format = native ? pxGray16 : pxRGB24;
    } else if (s == 2 && b == 8) {
      l.Kind = TKind::kGrayAlpha;
      l.Format = pxRGB24;
    } else {
      return "gray data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 2) {
    if (s >= 3 && b == 8) {
      l.Kind = TKind::kRgb8;
      l.Format = pxRGB24;
    } else if (s >= 3 && b == 16) {
      l.Kind = TKind::kRgb16;
      l.Format = native && s == 3 ? pxRGB48 : pxRGB24;
    } else if (s == 1 && b == 16) {
      l.Kind = TKind::kRgb555;
      l.Format = pxRGB24;
    } else {
      return "RGB data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 3) {
    if (s == 1 && b >= 1 && b <= 8) {
      l.Kind = TKind::kPalette;
      l.Format = native ? pxPalette8 : pxRGB24;
    } else if (s == 2 && b == 8) {
      l.Kind = TKind::kPaletteAlpha;
      l.Format = pxRGB24;
    } else {
      return "palette data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 5) {
    if (s >= 4 && b == 8) {
      l.Kind = TKind::kCmyk8;
      l.Format = native ? pxCMYK : pxRGB24;
    } else if (s == 4 && b == 16) {
      l.Kind = TKind::kCmyk16;
      l.Format = native ? pxCMYK : pxRGB24;
    } else {
      return "separated data of " + std::to_string(s) + " samples of " + std::to_string(b) + " bits";
    }
    return "";
  }
  if (p == 8 && s == 3 && b == 8) {
    l.Kind = TKind::kLab;
    l.Format = pxRGB24;
    return "";
  }
  return "photometric " + std::to_string(p) + " with " + std::to_string(s) + " samples of " + std::to_string(b) +
         " bits";
}

// ------------------------------------------------------------ decompression

uint8_t ReverseByte(uint8_t v) {
  v = uint8_t((v & 0xF0) >> 4 | (v & 0x0F) << 4);
  v = uint8_t((v & 0xCC) >> 2 | (v & 0x33) << 2);
  v = uint8_t((v & 0xAA) >> 1 | (v & 0x55) << 1);
  return v;
}

// Runs are clamped to the output and stop at the end of the input.
// Returns the bytes produced.
int64_t DecodePackBits(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) {
  const uint8_t* ip = in;
  const uint8_t* ie = in + inSize;
  int64_t op = 0;
  while (ip < ie && op < outSize) {
    const int h = int8_t(*ip++);
    if (h >= 0) {
      const int64_t n = std::min<int64_t>({h + 1, ie - ip, outSize - op});
      std::memcpy(out + op, ip, size_t(n));
      ip += h + 1;
      op += n;
    } else if (h != -128) {
      if (ip >= ie) break;
      const int64_t n = std::min<int64_t>(1 - h, outSize - op);
      std::memset(out + op, *ip++, size_t(n));
      op += n;
    }
  }
  return op;
}

// The running sums of one pixel's samples stay in registers: summing through
// memory waits on each store (several times slower for RGB).
template <int kStride>
void UndoPredictor8(uint8_t* row, int64_t samples) {
  uint8_t sum[kStride];
  for (int k = 0; k < kStride; ++k) sum[k] = row[k];
  int64_t i = kStride;
  for (; i + kStride <= samples; i += kStride)
    for (int k = 0; k < kStride; ++k) row[i + k] = sum[k] = uint8_t(sum[k] + row[i + k]);
  for (; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - kStride]);
}

void UndoPredictor(uint8_t* row, int64_t samples, int stride, int bits, bool be) {
  if (bits == 8) {
    if (samples < stride) return;
    switch (stride) {
      case 1:
        return UndoPredictor8<1>(row, samples);
      case 3:
        return UndoPredictor8<3>(row, samples);
      case 4:
        return UndoPredictor8<4>(row, samples);
      default:
        for (int64_t i = stride; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - stride]);
    }
  } else if (bits == 16) {
    auto get = [be](const uint8_t* p) { return be ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8)); };
    auto put = [be](uint8_t* p, uint16_t v) {
      p[be ? 0 : 1] = uint8_t(v >> 8);
      p[be ? 1 : 0] = uint8_t(v);
    };
    for (int64_t i = stride; i < samples; ++i)
      put(row + 2 * i, uint16_t(get(row + 2 * i) + get(row + 2 * (i - stride))));
  }
}

// ------------------------------------------------------------ the reader

// Where the data of each strip or tile is: offsets and byte counts, plane
// after plane.
struct TBlockTable {
  std::vector<int64_t> Offsets;
  std::vector<int64_t> Counts;
};

class TTiffDecoder {
 public:
  TTiffDecoder(TTiffSource& src, const TTiffDirectory& dir, TLayout& l, TIOParamsVals& params, TPxBitmap& bitmap,
               TPxMask* mask, TProgressRecord& progress, const std::vector<TColorBGR>& palette, TTiffJpegDecoder jpeg,
               const TBlockTable& blocks)
      : src_(src),
        dir_(dir),
        l_(l),
        params_(params),
        bitmap_(bitmap),
        mask_(mask),
        progress_(progress),
        palette_(palette),
        jpeg_(jpeg),
        blocks_(blocks) {}

  // Strips (other than JPEG ones) write every byte of every row they reach,
  // so the bitmap needs no clearing before them; other layouts get it.
  static bool WritesWholeRows(const TLayout& l) { return !l.Tiled && l.Kind != TKind::kJpeg; }

  void Run() {
    const bool tiled = l_.Tiled;
    const int64_t across = (l_.Width + l_.BlockWidth - 1) / l_.BlockWidth;
    const int64_t down = (l_.Height + l_.BlockHeight - 1) / l_.BlockHeight;
    const int planes = l_.Planar == 2 ? l_.Spp : 1;
    const int64_t perPlane = across * down;
    const bool compressed = l_.Compression != TTiffCompression::kNone;
    rowBytes_ = (l_.BlockWidth * (l_.Planar == 1 ? l_.Spp : 1) * l_.Bits + 7) / 8;
    // A platform bitmap holds 16-bit gray in 8 bits.
    if (l_.Format == pxGray16 && bitmap_.Format() == pxGray8) l_.Format = pxGray8;
    rowLength_ = bitmap_.RowLength();
    usedRowBytes_ = (l_.Width * bitmap_.BitsPerPixel() + 7) / 8;
    fused_ = FusesPredictor();
    progress_.Scale = 100.0 / double(l_.Height);
    raw_.resize(size_t(planes));
    block_.resize(size_t(planes));
    int64_t clearFrom = l_.Height;  // rows from here on are cleared when decoding stops early
    for (int64_t b = 0; b < perPlane; ++b) {
      const int64_t x0 = (b % across) * l_.BlockWidth, y0 = (b / across) * l_.BlockHeight;
      const int64_t bw = std::min(l_.BlockWidth, l_.Width - x0), bh = std::min(l_.BlockHeight, l_.Height - y0);
      const int64_t rows = tiled ? l_.BlockHeight : bh;
      if (progress_.IsAborted()) {
        clearFrom = y0;
        break;
      }
      for (int p = 0; p < planes; ++p) {
        const size_t i = size_t(p * perPlane + b);
        int64_t count = i < blocks_.Counts.size() ? blocks_.Counts[i] : 0;
        if (count <= 0) count = compressed ? src_.Size() : rows * rowBytes_;
        if (l_.Kind == TKind::kJpeg) {
          DecodeJpegBlock(blocks_.Offsets[i], count, x0, y0, bw, bh);
          continue;
        }
        block_[size_t(p)] = DecodeBlock(blocks_.Offsets[i], count, rows, raw_[size_t(p)]);
      }
      if (progress_.IsAborted()) {
        clearFrom = y0;
        break;
      }
      if (l_.Kind != TKind::kJpeg) {
        for (int64_t r = 0; r < bh; ++r) {
          if (l_.Predictor == 2 && l_.Compression == TTiffCompression::kLzw && !fused_) UndoPredictorOnRow(r);
          ConvertRow(r, x0, y0 + r, bw);
        }
      }
      if (!tiled || x0 + bw >= l_.Width) progress_.Report(y0 + bh);
    }
    if (WritesWholeRows(l_))
      for (int64_t y = clearFrom; y < l_.Height; ++y)
        std::memset(bitmap_.RowPointer(int(y)), 0, size_t(bitmap_.RowLength()));
  }

 private:
  // Reads and decompresses one strip or tile of one plane: rows × rowBytes_
  // bytes, zero where the data does not reach. Uncompressed data that is all
  // there is used where it lies (in the stream's memory, or read once into
  // the input buffer when there is one plane to hold); everything else is
  // decoded into out, which is kept from block to block.
  const uint8_t* DecodeBlock(int64_t offset, int64_t count, int64_t rows, std::vector<uint8_t>& out) {
    const int64_t outSize = rows * rowBytes_;
    const bool uncompressed = l_.Compression == TTiffCompression::kNone;
    if (uncompressed) {
      count = std::min(count, outSize);
      // Slack: Samples8 may read a byte past the last sample.
      if (int64_t(input_.size()) < outSize + 8) input_.resize(size_t(outSize + 8));
    }
    int64_t inSize = 0;
    const uint8_t* in = src_.View(offset, count, input_, inSize);
    if (uncompressed && inSize == outSize &&
        (in == input_.data() ? l_.Planar == 1 : l_.Bits % 8 == 0 || offset + outSize + 8 <= src_.Size()))
      return in;
    if (int64_t(out.size()) < outSize + 8) out.resize(size_t(outSize + 8));
    if (inSize == 0) {  // past the end of the file: the rows stay white
      std::memset(out.data(), 0, size_t(outSize + 8));
      return out.data();
    }
    // Only fax data honours the fill order: other data is stored in bytes
    // whatever the tag says (libtiff reads it so too).
    if (l_.FillOrder == 2 && IsCcitt(l_.Compression)) {
      if (in != input_.data()) {
        input_.assign(in, in + inSize);
        in = input_.data();
      }
      for (int64_t k = 0; k < inSize; ++k) input_[size_t(k)] = ReverseByte(input_[size_t(k)]);
    }
    int64_t produced = 0;
    switch (l_.Compression) {
      case TTiffCompression::kNone:
        produced = std::min(inSize, outSize);
        std::memcpy(out.data(), in, size_t(produced));
        break;
      case TTiffCompression::kPackBits:
        produced = DecodePackBits(in, inSize, out.data(), outSize);
        break;
      case TTiffCompression::kLzw: {
        const TTiffLzwCodec* codec = params_.TiffLzwDecoder ? params_.TiffLzwDecoder : &BuiltInTiffLzwCodec();
        const TLzwResult r = codec->Decode(in, inSize, out.data(), outSize);
        produced = std::clamp<int64_t>(r.Produced, 0, outSize);
        if (r.Status == TLzwStatus::kBad) {
          progress_.Fail("TIFF: bad LZW data in the block at offset " + std::to_string(offset));
        }
        break;
      }
      case TTiffCompression::kModifiedHuffman:
      case TTiffCompression::kGroup3:
      case TTiffCompression::kGroup4: {
        TCcittOptions o;
        o.Scheme = l_.Compression == TTiffCompression::kModifiedHuffman ? TCcittScheme::kModifiedHuffman
                   : l_.Compression == TTiffCompression::kGroup3        ? TCcittScheme::kGroup3
                                                                        : TCcittScheme::kGroup4;
        o.Width = l_.BlockWidth;
        o.TwoDimensional = l_.Compression == TTiffCompression::kGroup3 && (l_.T4Options & 1) != 0;
        const TCcittResult r = DecodeCcitt(in, inSize, o, rows, out.data(), rowBytes_);
        produced = std::clamp<int64_t>(r.Rows, 0, rows) * rowBytes_;
        if (r.Status == TCcittStatus::kBad && r.Rows == 0)
          progress_.Fail("TIFF: bad CCITT data in the block at offset " + std::to_string(offset));
        break;
      }
      default:
        break;
    }
    std::memset(out.data() + produced, 0, size_t(outSize + 8 - produced));
    return out.data();
  }

  // The predictor is undone in the conversion itself for 8-bit gray and RGB
  // in one plane: the running sums are the pixels being written.
  bool FusesPredictor() const {
    if (l_.Predictor != 2 || l_.Compression != TTiffCompression::kLzw || l_.Planar != 1 || l_.Bits != 8) return false;
    return (l_.Kind == TKind::kGray && l_.Spp == 1) || (l_.Kind == TKind::kRgb8 && (l_.Spp == 3 || l_.Spp == 4));
  }

  // The other layouts undo it on the decoded row, just before converting it.
  void UndoPredictorOnRow(int64_t r) {
    const int stride = l_.Planar == 1 ? l_.Spp : 1;
    const int planes = l_.Planar == 2 ? l_.Spp : 1;
    for (int p = 0; p < planes; ++p)
      UndoPredictor(raw_[size_t(p)].data() + r * rowBytes_, l_.BlockWidth * stride, stride, l_.Bits, src_.BigEndian());
  }

  void DecodeJpegBlock(int64_t offset, int64_t count, int64_t x0, int64_t y0, int64_t bw, int64_t bh) {
    const std::vector<uint8_t> in = src_.ReadUpTo(offset, count);
    if (in.empty()) return;
    if (!tablesLoaded_) {
      tables_ = dir_.Bytes(kTagJpegTables, src_.Size());
      tablesLoaded_ = true;
    }
    TPxMemStream data(in.data(), int64_t(in.size()));
    TPxMemStream tables(tables_.data(), int64_t(tables_.size()));
    TIOParamsVals scratch;
    TPxBitmap piece;
    bool aborted = false;
    TProgressRecord inner;
    inner.Aborted = &aborted;
    inner.Limits = progress_.Limits;
    // RGB data is stored without a colour transform: read it as it is.
    const bool raw = l_.Photometric != 6 && l_.Spp == 3;
    TReadContext jpeg{.Stream = data, .Bitmap = piece, .Params = scratch, .Progress = inner};
    jpeg_(jpeg, {.Tables = tables_.empty() ? nullptr : &tables, .InvertCmyk = true, .RawYCbCr = raw});
    if (aborted || piece.IsEmpty() || piece.Format() != pxRGB24 || piece.Width() < bw || piece.Height() < bh) {
      progress_.Fail("TIFF: the JPEG data at offset " + std::to_string(offset) + " does not give a " +
                     std::to_string(bw) + " x " + std::to_string(bh) + " piece" +
                     (inner.AbortReason.empty() ? "" : " (" + inner.AbortReason + ")"));
      return;
    }
    const bool swap = raw && scratch.JpegColorSpace == 2;  // samples came out red, green, blue
    for (int64_t r = 0; r < bh; ++r) {
      const uint8_t* s = piece.RowPointer(int(r));
      uint8_t* d = bitmap_.RowPointer(int(y0 + r)) + x0 * 3;
      if (swap) {
        for (int64_t x = 0; x < bw; ++x) {
          d[3 * x] = s[3 * x + 2];
          d[3 * x + 1] = s[3 * x + 1];
          d[3 * x + 2] = s[3 * x];
        }
      } else {
        std::memcpy(d, s, size_t(bw * 3));
      }
    }
  }

  // The samples of count pixels of block row r, one byte (or word) each.
  const uint8_t* Samples8(int64_t r, int64_t count) {
    const int spp = l_.Spp, bits = l_.Bits;
    if (l_.Planar == 1 && bits == 8) return block_[0] + r * rowBytes_;
    s8_.resize(size_t(count * spp));
    const uint32_t mask = (1u << bits) - 1;
    const int planes = l_.Planar == 2 ? spp : 1;
    const int perPixel = l_.Planar == 2 ? 1 : spp;
    for (int p = 0; p < planes; ++p) {
      const uint8_t* row = block_[size_t(p)] + r * rowBytes_;
      for (int64_t i = 0; i < count * perPixel; ++i) {
        uint8_t v;
        if (bits == 8) {
          v = row[i];
        } else {
          const int64_t bit = i * bits;
          const uint32_t two = (uint32_t(row[bit >> 3]) << 8) | row[(bit >> 3) + 1];
          v = uint8_t((two >> (16 - (bit & 7) - bits)) & mask);
        }
        s8_[size_t(l_.Planar == 2 ? i * spp + p : i)] = v;
      }
    }
    return s8_.data();
  }
  const uint16_t* Samples16(int64_t r, int64_t count) {
    const int spp = l_.Spp;
    s16_.resize(size_t(count * spp));
    const bool be = src_.BigEndian();
    const int planes = l_.Planar == 2 ? spp : 1;
    const int perPixel = l_.Planar == 2 ? 1 : spp;
    for (int p = 0; p < planes; ++p) {
      const uint8_t* row = block_[size_t(p)] + r * rowBytes_;
      for (int64_t i = 0; i < count * perPixel; ++i) {
        const uint8_t* q = row + 2 * i;
        s16_[size_t(l_.Planar == 2 ? i * spp + p : i)] =
            be ? uint16_t((q[0] << 8) | q[1]) : uint16_t(q[0] | (q[1] << 8));
      }
    }
    return s16_.data();
  }

  void SetAlpha(int64_t x, int64_t y, int v) {
    if (mask_) mask_->MaskRow(int(y))[x] = uint8_t(v);
  }

  void ConvertRow(int64_t r, int64_t x0, int64_t y, int64_t count) {
    uint8_t* d = bitmap_.RowPointer(int(y));
    const int spp = l_.Spp;
    switch (l_.Kind) {
      case TKind::kMono: {
        const uint8_t* s = block_[0] + r * rowBytes_;
        const uint8_t flip = l_.Inverted ? 0xFF : 0x00;
        if ((x0 & 7) == 0) {
          const int64_t n = (count + 7) / 8;
          uint8_t* t = d + x0 / 8;
          for (int64_t i = 0; i < n; ++i) t[i] = uint8_t(s[i] ^ flip);
        } else {
          for (int64_t i = 0; i < count; ++i) {
            const int v = ((s[i >> 3] >> (7 - (i & 7))) & 1) ^ (flip & 1);
            const int64_t x = x0 + i;
            if (v)
              d[x >> 3] = uint8_t(d[x >> 3] | (0x80 >> (x & 7)));
            else
              d[x >> 3] = uint8_t(d[x >> 3] & ~(0x80 >> (x & 7)));
          }
        }
        break;
      }
      case TKind::kGray: {
        const uint8_t* s = Samples8(r, count);
        if (fused_) {
          const uint8_t flip = l_.Inverted ? 0xFF : 0x00;
          uint8_t sum = 0;
          if (l_.Format == pxGray8) {
            for (int64_t i = 0; i < count; ++i) d[x0 + i] = uint8_t((sum = uint8_t(sum + s[i])) ^ flip);
          } else {
            uint8_t* q = d + 3 * x0;
            for (int64_t i = 0; i < count; ++i, q += 3)
              q[0] = q[1] = q[2] = uint8_t((sum = uint8_t(sum + s[i])) ^ flip);
          }
          break;
        }
        const int max = (1 << l_.Bits) - 1;
        for (int64_t i = 0; i < count; ++i) {
          int v = l_.Bits == 8 ? s[i] : s[i] * 255 / max;
          if (l_.Inverted) v = 255 - v;
          if (l_.Format == pxGray8) {
            d[x0 + i] = uint8_t(v);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = q[1] = q[2] = uint8_t(v);
          }
        }
        break;
      }
      case TKind::kGray16: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const int v = l_.Inverted ? 65535 - s[i] : s[i];
          if (l_.Format == pxGray16) {
            const uint16_t w = uint16_t(v);
            std::memcpy(d + 2 * (x0 + i), &w, 2);
          } else if (l_.Format == pxGray8) {
            d[x0 + i] = uint8_t(v >> 8);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = q[1] = q[2] = uint8_t(v >> l_.GrayShift);
          }
        }
        break;
      }
      case TKind::kGrayAlpha: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const uint8_t v = l_.Inverted ? uint8_t(255 - s[2 * i]) : s[2 * i];
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = q[1] = q[2] = v;
          if (l_.Alpha) SetAlpha(x0 + i, y, s[2 * i + 1]);
        }
        break;
      }
      case TKind::kPalette: {
        const uint8_t* s = Samples8(r, count);
        if (l_.Format == pxPalette8) {
          std::memcpy(d + x0, s, size_t(count));
        } else {
          for (int64_t i = 0; i < count; ++i) {
            const TColorBGR c = palette_[s[i]];
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = c.b;
            q[1] = c.g;
            q[2] = c.r;
          }
        }
        break;
      }
      case TKind::kPaletteAlpha: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const TColorBGR c = palette_[s[2 * i]];
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = c.b;
          q[1] = c.g;
          q[2] = c.r;
          if (l_.Alpha) SetAlpha(x0 + i, y, s[2 * i + 1]);
        }
        break;
      }
      case TKind::kRgb8: {
        const uint8_t* s = Samples8(r, count);
        uint8_t* q = d + 3 * x0;
        if (fused_) {
          // Each sample is the running sum of its differences along the row.
          uint8_t red = 0, green = 0, blue = 0, alpha = 0;
          for (int64_t i = 0; i < count; ++i, s += spp, q += 3) {
            q[2] = red = uint8_t(red + s[0]);
            q[1] = green = uint8_t(green + s[1]);
            q[0] = blue = uint8_t(blue + s[2]);
            if (spp == 4) {
              alpha = uint8_t(alpha + s[3]);
              if (l_.Alpha) SetAlpha(x0 + i, y, alpha);
            }
          }
        } else if (spp == 3) {
          RgbToBgr(s, q, count);
        } else {
          for (int64_t i = 0; i < count; ++i, s += spp, q += 3) {
            q[0] = s[2];
            q[1] = s[1];
            q[2] = s[0];
            if (l_.Alpha) SetAlpha(x0 + i, y, s[3]);
          }
        }
        break;
      }
      case TKind::kRgb16: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i, s += spp) {
          if (l_.Format == pxRGB48) {
            std::memcpy(d + 6 * (x0 + i), s, 6);
          } else {
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = uint8_t(s[2] >> 8);
            q[1] = uint8_t(s[1] >> 8);
            q[2] = uint8_t(s[0] >> 8);
          }
          if (l_.Alpha) SetAlpha(x0 + i, y, s[3] >> 8);
        }
        break;
      }
      case TKind::kRgb555: {
        const uint16_t* s = Samples16(r, count);
        for (int64_t i = 0; i < count; ++i) {
          const int v = s[i];
          uint8_t* q = d + 3 * (x0 + i);
          q[2] = uint8_t(((v >> 10) & 31) * 8);
          q[1] = uint8_t(((v >> 5) & 31) * 8);
          q[0] = uint8_t((v & 31) * 8);
        }
        break;
      }
      case TKind::kCmyk8:
      case TKind::kCmyk16: {
        const bool wide = l_.Kind == TKind::kCmyk16;
        const uint8_t* s8 = wide ? nullptr : Samples8(r, count);
        const uint16_t* s16 = wide ? Samples16(r, count) : nullptr;
        for (int64_t i = 0; i < count; ++i) {
          uint8_t inv[4];
          for (int k = 0; k < 4; ++k) inv[k] = uint8_t(255 - (wide ? s16[i * spp + k] >> 8 : s8[i * spp + k]));
          if (l_.Format == pxCMYK) {
            std::memcpy(d + 4 * (x0 + i), inv, 4);
          } else {
            const TColorBGR c = InvertedCMYKToBGR(inv);
            uint8_t* q = d + 3 * (x0 + i);
            q[0] = c.b;
            q[1] = c.g;
            q[2] = c.r;
          }
        }
        break;
      }
      case TKind::kLab: {
        const uint8_t* s = Samples8(r, count);
        for (int64_t i = 0; i < count; ++i, s += 3) {
          // TIFF keeps L* as 0..255 for 0..100; the conversion takes 0..250.
          const uint8_t lab[3] = {uint8_t((s[0] * 250 + 127) / 255), s[1], s[2]};
          const TColorBGR c = LabToBGR(lab);
          uint8_t* q = d + 3 * (x0 + i);
          q[0] = c.b;
          q[1] = c.g;
          q[2] = c.r;
        }
        break;
      }
      case TKind::kJpeg:
        break;
    }
    // The bytes after the last pixel (rows are 4-byte aligned) are cleared.
    if (x0 + count == l_.Width && usedRowBytes_ < rowLength_)
      std::memset(d + usedRowBytes_, 0, size_t(rowLength_ - usedRowBytes_));
  }

  TTiffSource& src_;
  const TTiffDirectory& dir_;
  TLayout& l_;
  TIOParamsVals& params_;
  TPxBitmap& bitmap_;
  TPxMask* mask_;
  TProgressRecord& progress_;
  const std::vector<TColorBGR>& palette_;
  TTiffJpegDecoder jpeg_;
  const TBlockTable& blocks_;
  int64_t rowBytes_ = 0;      // bytes of one decoded row of a block (one plane)
  int64_t rowLength_ = 0;     // bytes of a bitmap row
  int64_t usedRowBytes_ = 0;  // bytes of a bitmap row that hold pixels; the rest is cleared
  bool fused_ = false;
  std::vector<uint8_t> input_;             // compressed data read from a stream
  std::vector<std::vector<uint8_t>> raw_;  // decoded data, one buffer per plane
  std::vector<const uint8_t*> block_;      // the current block's samples, per plane
  std::vector<uint8_t> s8_;
  std::vector<uint16_t> s16_;
  std::vector<uint8_t> tables_;
  bool tablesLoaded_ = false;
};

std::vector<TColorBGR> ReadColorMap(const TTiffDirectory& dir, int bits) {
  std::vector<TColorBGR> palette(256);
  if (bits > 8) return palette;
  const int64_t n = int64_t(1) << bits;
  const std::vector<int64_t> v = dir.Integers(kTagColorMap, 3 * n);
  if (int64_t(v.size()) < 3 * n) return {};
  const bool wide = *std::max_element(v.begin(), v.end()) >= 256;
  auto level = [wide](int64_t x) { return uint8_t(wide ? (x >> 8) & 0xFF : x & 0xFF); };
  for (int64_t i = 0; i < n; ++i)
    palette[size_t(i)] = TColorBGR{level(v[size_t(2 * n + i)]), level(v[size_t(n + i)]), level(v[size_t(i)])};
  return palette;
}

// Truncation toward zero, clamped to int32 (rationals from the file can be anything).
int32_t TruncToInt32(double v) {
  if (!(v == v)) return 0;
  return int32_t(std::clamp(v, -2147483648.0, 2147483647.0));
}

// The parameter record's compression code: Group 3 tells one- from two-dimensional.
uint8_t CompressionField(TTiffCompression c, int t4Options) {
  switch (c) {
    case TTiffCompression::kNone:
      return 0;
    case TTiffCompression::kModifiedHuffman:
      return 1;
    case TTiffCompression::kGroup3:
      return (t4Options & 1) ? 3 : 2;
    case TTiffCompression::kGroup4:
      return 4;
    case TTiffCompression::kLzw:
      return 5;
    case TTiffCompression::kOldJpeg:
      return 6;
    case TTiffCompression::kJpeg:
      return 7;
    case TTiffCompression::kPackBits:
      return 8;
    default:
      return 9;
  }
}

int64_t MaxPixelsPerByte(const TLayout& l) {
  const int64_t bitsPerPixel = int64_t(l.Bits) * l.Spp;
  const int64_t perByte = std::max<int64_t>(1, (8 + bitsPerPixel - 1) / bitsPerPixel);
  switch (l.Compression) {
    case TTiffCompression::kNone:
      return perByte * 16;  // room for files cut short: their rows present still load
    case TTiffCompression::kPackBits:
      return perByte * 64;  // two bytes give at most 128
    case TTiffCompression::kLzw:
      return perByte * 4096;  // one 9-bit code gives at most 4096 bytes
    default:
      return 0;  // CCITT and JPEG: one bit can stand for a whole row
  }
}

bool IsDecodedCompression(TTiffCompression c) {
  switch (c) {
    case TTiffCompression::kNone:
    case TTiffCompression::kModifiedHuffman:
    case TTiffCompression::kGroup3:
    case TTiffCompression::kGroup4:
    case TTiffCompression::kLzw:
    case TTiffCompression::kJpeg:
    case TTiffCompression::kPackBits:
      return true;
    default:
      return false;
  }
}

// ------------------------------------------------------------ the reader

// Reads one directory in named steps: find it, read its tags into the layout
// and the parameter record, check what can be decoded, allocate, decode.
class TTiffReader {
 public:
  TTiffReader(TStream& stream, TPxBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TProgressRecord& progress,
              std::unique_ptr<TPxMask>* mask, const TTiffReadOptions& options)
      : base_(stream.Position()),
        src_(stream, base_),
        dir_(src_),
        bitmap_(bitmap),
        params_(params),
        paramsOnly_(paramsOnly),
        progress_(progress),
        mask_(mask),
        options_(options) {}

  // Returns the number of directories in the file.
  int32_t Run() {
    if (!FindDirectory()) return dirCount_;
    ReadExifSubdirectory(src_, dir_, params_);
    ReadLayout();
    FillParams();
    if (!CheckSize() || paramsOnly_) return dirCount_;
    if (oldJpeg_) {
      if (!DecodeOldJpeg()) return dirCount_;
    } else {
      if (!CheckLayout() || !SetUpBlocks() || !CheckLimits() || !ReadBlockTable() || !Allocate()) return dirCount_;
      Decode();
    }
    AutoRotate();
    return dirCount_;
  }

 private:
  bool Fail(const std::string& why) {
    progress_.Fail("TIFF: " + why);
    return false;
  }

  // The header and the wanted directory of the chain.
  bool FindDirectory() {
    int64_t first = 0;
    if (!ReadTiffHeader(src_, first)) return Fail("no \"II\" or \"MM\" header at offset " + std::to_string(base_));
    if (first == 0) return Fail("no first directory (offset 0) at offset " + std::to_string(base_ + 4));
    const int64_t wanted = params_.TiffImageIndex;
    bool found = false;
    dirCount_ = WalkTiffDirectories(src_, first, wanted, dir_, found);
    params_.SetImageCount(dirCount_);
    if (!found)
      return Fail("directory " + std::to_string(wanted) + " not found (" + std::to_string(dirCount_) + " in the file)");
    return true;
  }

  void ReadLayout() {
    l_.Width = dir_.Integer(kTagWidth, 0);
    l_.Height = dir_.Integer(kTagHeight, 0);
    l_.Spp = int(std::clamp<int64_t>(dir_.Integer(kTagSamplesPerPixel, 1), 0, 65535));
    const std::vector<int64_t> bits = dir_.Integers(kTagBitsPerSample, 64);
    l_.Bits = bits.empty() ? 1 : int(std::clamp<int64_t>(bits[0], 0, 65535));
    unequalBits_ = std::any_of(bits.begin(), bits.end(), [&](int64_t b) { return b != bits[0]; });
    l_.Photometric = int(dir_.Integer(kTagPhotometric, 2));
    l_.Planar = int(dir_.Integer(kTagPlanarConfig, 1));
    l_.Compression = TTiffCompression(dir_.Integer(kTagCompression, 1));
    l_.Predictor = int(dir_.Integer(kTagPredictor, 1));
    l_.FillOrder = int(dir_.Integer(kTagFillOrder, 1));
    l_.T4Options = int(dir_.Integer(kTagT4Options, 0));
    l_.T6Options = int(dir_.Integer(kTagT6Options, 0));
    oldJpeg_ = l_.Compression == TTiffCompression::kOldJpeg && dir_.Integer(kTagJpegProc, 0) <= 1;
  }

  void FillParams() {
    const int orientation = int(dir_.Integer(kTagOrientation, 1));
    const int unit = int(dir_.Integer(kTagResolutionUnit, 2));
    const double f = unit == 3 ? 2.54 : 1.0;
    params_.BitsPerSample = l_.Bits;
    params_.SamplesPerPixel = l_.Spp;
    params_.Width = int32_t(std::min<int64_t>(l_.Width, INT32_MAX));
    params_.Height = int32_t(std::min<int64_t>(l_.Height, INT32_MAX));
    params_.SetOrientation(orientation);
    params_.TiffCompression = CompressionField(l_.Compression, l_.T4Options);
    if (l_.Photometric >= 0 && l_.Photometric <= 6) params_.TiffPhotometric = uint8_t(l_.Photometric);
    if (l_.Photometric == 8) params_.TiffPhotometric = 7;
    params_.TiffPlanarConfig = l_.Planar;
    params_.TiffDocumentName = dir_.Text(kTagDocumentName);
    params_.TiffImageDescription = dir_.Text(kTagImageDescription);
    params_.TiffPageName = dir_.Text(kTagPageName);
    params_.TiffPageNumber = int32_t(dir_.IntegerAt(kTagPageNumber, 0, -1));
    params_.TiffPageCount = int32_t(dir_.IntegerAt(kTagPageNumber, 1, -1));
    params_.TiffFillOrder = l_.FillOrder;
    ReadTiffExifFields(dir_, params_);
    const int32_t dpiX = TruncToInt32(dir_.Real(kTagXResolution) * f);
    const int32_t dpiY = TruncToInt32(dir_.Real(kTagYResolution) * f);
    params_.SetDpiX(dpiX == 0 ? 300 : dpiX);
    params_.SetDpiY(dpiY == 0 ? 300 : dpiY);
    params_.TiffXPos = TruncToInt32(dir_.Real(kTagXPosition) * f);
    params_.TiffYPos = TruncToInt32(dir_.Real(kTagYPosition) * f);
    if (const std::vector<uint8_t> iptc = dir_.Bytes(kTagIptc, src_.Size()); !iptc.empty())
      params_.IPTC().ParseIPTC(iptc.data(), int(iptc.size()));
    else
      params_.IPTC().ClearRecords();
    if (dir_.Has(kTagAnnotations)) params_.Annotations().Data = dir_.Bytes(kTagAnnotations, src_.Size());
    if (dir_.Has(kTagIccProfile)) params_.InputProfile().Data = dir_.Bytes(kTagIccProfile, src_.Size());

    // A bilevel picture marked RGB is taken as white-is-zero.
    if (l_.Spp == 1 && l_.Bits == 1 && (l_.Compression == TTiffCompression::kNone || IsCcitt(l_.Compression)) &&
        l_.Photometric == 2)
      l_.Photometric = 0;
    if (l_.Photometric == 3) palette_ = ReadColorMap(dir_, l_.Bits);
    if (!palette_.empty())
      params_.SetColorMap(palette_.data(), 1 << std::min(l_.Bits, 8));
    else
      params_.FreeColorMap();
  }

  // What even a parameters-only read refuses.
  bool CheckSize() {
    if (unequalBits_) return Fail("bits per sample differ between samples");
    if ((l_.Width <= 0 || l_.Height <= 0) && !(options_.ThumbnailMode && oldJpeg_))
      return Fail("picture size " + std::to_string(l_.Width) + " x " + std::to_string(l_.Height));
    if (options_.ThumbnailMode && (l_.Width > kMaxTiffThumbnailSide || l_.Height > kMaxTiffThumbnailSide))
      return Fail("thumbnail larger than " + std::to_string(kMaxTiffThumbnailSide) + " pixels a side");
    return true;
  }

  // Compression 6 with an interchange format: a whole JPEG stream inside the
  // file, decoded straight into the bitmap (which keeps its storage: a
  // platform bitmap stays the one the caller holds).
  bool DecodeOldJpeg() {
    if (!options_.Jpeg) return Fail("JPEG data needs a JPEG decoder");
    int64_t start = dir_.Integer(kTagJpegIfOffset, 0);
    if (start <= 0) start = dir_.IntegerAt(kTagStripOffsets, 0, 0);
    int64_t length = dir_.Integer(kTagJpegIfLength, 0);
    if (length <= 0 || length > src_.Size() - start) length = src_.Size() - start;
    std::vector<uint8_t> scratch;
    int64_t got = 0;
    const uint8_t* data = src_.View(start, length, scratch, got);
    if (got == 0)
      return Fail("old-style JPEG data at offset " + std::to_string(start) + " is past the end of the file");
    TPxMemStream stream(data, got);
    TIOParamsVals jpegParams;
    jpegParams.NativePixelFormat = params_.NativePixelFormat;
    bool aborted = false;
    TProgressRecord inner;
    inner.Aborted = &aborted;
    inner.Limits = progress_.Limits;
    TReadContext jpeg{.Stream = stream, .Bitmap = bitmap_, .Params = jpegParams, .Progress = inner};
    options_.Jpeg(jpeg, {});
    if (aborted || bitmap_.IsEmpty())
      return Fail("old-style JPEG data at offset " + std::to_string(start) + " cannot be read" +
                  (inner.AbortReason.empty() ? "" : " (" + inner.AbortReason + ")"));
    return true;
  }

  // Compression, sample format and layout this reader decodes; the kind of
  // row conversion and the alpha sample.
  bool CheckLayout() {
    if (!IsDecodedCompression(l_.Compression))
      return Fail("compression " + std::to_string(int(l_.Compression)) + CompressionName(l_.Compression) +
                  " is not supported");
    for (int64_t sf : dir_.Integers(kTagSampleFormat, 64))
      if (sf != 1) return Fail("sample format " + std::to_string(sf) + " (not unsigned integers) is not supported");
    if (l_.Spp < 1 || l_.Spp > 16 || l_.Bits < 1 || (l_.Planar != 1 && l_.Planar != 2))
      return Fail(std::to_string(l_.Spp) + " samples of " + std::to_string(l_.Bits) + " bits, planar configuration " +
                  std::to_string(l_.Planar));
    const std::string why = ChooseKind(l_, params_.NativePixelFormat != 0);
    if (!why.empty()) return Fail(why + " is not supported");
    if (l_.Kind == TKind::kJpeg && l_.Planar != 1) return Fail("JPEG data in separate planes is not supported");
    if (l_.Kind == TKind::kJpeg && !options_.Jpeg) return Fail("JPEG data needs a JPEG decoder");
    if (l_.Kind != TKind::kJpeg && l_.Compression == TTiffCompression::kLzw && l_.Predictor != 1 &&
        !(l_.Predictor == 2 && (l_.Bits == 8 || l_.Bits == 16)))
      return Fail("predictor " + std::to_string(l_.Predictor) + " with " + std::to_string(l_.Bits) +
                  "-bit samples is not supported");
    if ((l_.Kind == TKind::kPalette || l_.Kind == TKind::kPaletteAlpha) && palette_.empty())
      return Fail("palette picture without a full colour map");
    l_.Inverted = l_.Photometric == 0;
    if (l_.Kind == TKind::kGray16 && params_.ExifSoftware.compare(0, 15, "Look@Molli v1.1") == 0) l_.GrayShift = 4;
    // Alpha: the sample after the colour ones. RGB takes it whatever its
    // extra-sample type; gray and palette data unless it is declared
    // unspecified (0).
    if (!options_.IgnoreAlpha) {
      if (l_.Kind == TKind::kRgb8 || l_.Kind == TKind::kRgb16)
        l_.Alpha = l_.Spp > 3;
      else if (l_.Kind == TKind::kGrayAlpha || l_.Kind == TKind::kPaletteAlpha)
        l_.Alpha = dir_.Integer(kTagExtraSamples, 2) != 0;
    }
    return true;
  }

  // Strips or tiles: the size of one block (a tile passes the limits check).
  bool SetUpBlocks() {
    l_.Tiled = dir_.Has(kTagTileWidth) && dir_.Has(kTagTileLength);
    if (l_.Tiled) {
      l_.BlockWidth = dir_.Integer(kTagTileWidth, 0);
      l_.BlockHeight = dir_.Integer(kTagTileLength, 0);
      TImageHeader tile;
      tile.Format = "TIFF tile";
      tile.Width = l_.BlockWidth;
      tile.Height = l_.BlockHeight;
      tile.BitsPerPixel = l_.Bits * l_.Spp;
      return CheckImageHeader(tile, progress_).Ok;
    }
    l_.BlockWidth = l_.Width;
    int64_t rps = dir_.Integer(kTagRowsPerStrip, l_.Height);
    if (rps <= 0 || rps > l_.Height) rps = l_.Height;
    l_.BlockHeight = rps;
    return true;
  }

  bool CheckLimits() {
    TImageHeader h;
    h.Format = "TIFF";
    h.Width = l_.Width;
    h.Height = l_.Height;
    h.BitsPerPixel = l_.Bits * l_.Spp;
    h.CompressedBytes = src_.Size();
    h.MaxPixelsPerByte = MaxPixelsPerByte(l_);
    return CheckImageHeader(h, progress_).Ok;
  }

  // Where every strip or tile of every plane is.
  bool ReadBlockTable() {
    const int64_t across = (l_.Width + l_.BlockWidth - 1) / l_.BlockWidth;
    const int64_t down = (l_.Height + l_.BlockHeight - 1) / l_.BlockHeight;
    const int64_t needed = across * down * (l_.Planar == 2 ? l_.Spp : 1);
    const uint16_t offTag = l_.Tiled && dir_.Has(kTagTileOffsets) ? kTagTileOffsets : kTagStripOffsets;
    const uint16_t cntTag = offTag == kTagTileOffsets ? kTagTileByteCounts : kTagStripByteCounts;
    blocks_.Offsets = dir_.Integers(offTag, needed);
    blocks_.Counts = dir_.Integers(cntTag, needed);
    if (int64_t(blocks_.Offsets.size()) < needed)
      return Fail(std::to_string(blocks_.Offsets.size()) + " data offsets for " + std::to_string(needed) +
                  (l_.Tiled ? " tiles" : " strips"));
    if (l_.Compression != TTiffCompression::kNone && int64_t(blocks_.Counts.size()) < needed && needed > 1)
      return Fail("compressed data without byte counts");
    return true;
  }

  bool Allocate() {
    if (l_.Alpha) {
      alpha_ = std::make_unique<TPxMask>();
      alpha_->AllocateMask(int(l_.Width), int(l_.Height), 8);
      alpha_->FillMask(255);
    }
    bitmap_.AllocatePixels(int(l_.Width), int(l_.Height), l_.Format);
    if (!TTiffDecoder::WritesWholeRows(l_))
      for (int y = 0; y < bitmap_.Height(); ++y) std::memset(bitmap_.RowPointer(y), 0, size_t(bitmap_.RowLength()));
    if (l_.Format == pxPalette8)
      for (int i = 0; i < 256; ++i) bitmap_.SetPaletteEntry(i, palette_[size_t(i)]);
    return true;
  }

  void Decode() {
    TTiffDecoder decoder(src_, dir_, l_, params_, bitmap_, alpha_.get(), progress_, palette_, options_.Jpeg, blocks_);
    decoder.Run();
    if (alpha_ && mask_) *mask_ = std::move(alpha_);
  }

  void AutoRotate() {
    if (params_.TiffAutoRotate == 0 || bitmap_.IsEmpty()) return;
    if (mask_ && *mask_) {
      // The mask turns with the picture: through the alpha channel.
      bitmap_.ImportMask(mask_->get());
      mask_->reset();
    }
    ApplyOrientation(bitmap_, params_.Orientation());
  }

  int64_t base_;  // offsets in the file are relative to it
  TTiffSource src_;
  TTiffDirectory dir_;
  TPxBitmap& bitmap_;
  TIOParamsVals& params_;
  bool paramsOnly_;
  TProgressRecord& progress_;
  std::unique_ptr<TPxMask>* mask_;
  const TTiffReadOptions& options_;

  int32_t dirCount_ = 0;
  TLayout l_;
  bool unequalBits_ = false;
  bool oldJpeg_ = false;
  std::vector<TColorBGR> palette_;
  TBlockTable blocks_;
  std::unique_ptr<TPxMask> alpha_;
};

}  // namespace

TTiffReadResult DecodeTiff(TReadContext& ctx, const TTiffReadOptions& options) {
  TTiffReader reader(ctx.Stream, ctx.Bitmap, ctx.Params, ctx.ParamsOnly, ctx.Progress, ctx.MaskOut, options);
  return {.PageCount = reader.Run()};
}

}  // namespace rv
