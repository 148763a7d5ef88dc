// Pixel format conversions of TPxBitmap, the reduction to one bit and its
// thresholds. Everything works a row at a time through RowPointer, so the
// file store (one row per bitmap in memory) works unchanged.
#include "imaging/pxconvert.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxcolor.h"
#include "imaging/pxquantizer.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define RV_HAVE_VBMI_PALETTE 1
#include <immintrin.h>
#endif

namespace rv {

namespace {

// ---- sample access ----------------------------------------------------------

// Samples are little-endian whatever the host; the byte-wise forms compile to
// plain loads and stores on x86 and stay vectorisable.
inline uint16_t Load16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline void Store16(uint8_t* p, unsigned v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline float LoadFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
inline void StoreFloat(uint8_t* p, float f) {
  std::memcpy(p, &f, 4);
}

// Exact v / 255 for v <= 255 * 255 in 16-bit arithmetic.
inline unsigned Div255(unsigned v) {
  return (v + 1 + (v >> 8)) >> 8;
}

// Trunc toward zero of a float sample scaled up; out-of-range values wrap
// through the low bits, NaN and values no integer can hold give 0.
inline int64_t TruncSample(double v) {
  return (v > -9.0e18 && v < 9.0e18) ? int64_t(v) : 0;
}

// The per-pixel loops below are plain loops the compiler vectorises; on x86-64
// GCC also builds an AVX2 copy of the hottest ones, picked at load time, since
// the portable SSE2 baseline cannot shuffle three-byte pixels.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define RV_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define RV_VECTOR_CLONES
#endif

void ZeroPadding(uint8_t* row, int64_t used, int rowLength) {
  if (used < rowLength) std::memset(row + used, 0, size_t(rowLength - used));
}

// ---- rows into BGR (the "to pxRGB24" rules) ----------------------------------

void PaletteToBGRScalar(const uint8_t* s, int w, const uint32_t* pal4, uint8_t* d) {
  if (w <= 0) return;
  // Wide stores overlap the next pixel, which is written after them; the last
  // pixel gets three bytes so the row's end is never passed.
  int x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Two pixels per eight-byte store: half the stores, which are the limit.
    for (; x + 2 < w; x += 2) {
      const uint64_t v = pal4[s[x]] | uint64_t(pal4[s[x + 1]]) << 24;
      std::memcpy(d + 3 * x, &v, 8);
    }
  }
  for (; x < w - 1; ++x) std::memcpy(d + 3 * x, &pal4[s[x]], 4);
  std::memcpy(d + 3 * (w - 1), &pal4[s[w - 1]], 3);
}

// The palette split into blue, green and red planes of 256 bytes, for the
// byte-permute lookup below.
struct alignas(64) TPalettePlanes {
  uint8_t plane[3][256];
};

#ifdef RV_HAVE_VBMI_PALETTE

// Byte positions that interleave three 64-byte planes into 192 bytes of BGR:
// for output block k, `blueGreen` picks from (blue, green) and `red` is
// merged in under `redMask`.
struct TInterleave {
  alignas(64) uint8_t blueGreen[3][64];
  alignas(64) uint8_t red[3][64];
  uint64_t redMask[3];
  TInterleave() {
    for (int k = 0; k < 3; ++k) {
      redMask[k] = 0;
      for (int j = 0; j < 64; ++j) {
        const int at = 64 * k + j, pixel = at / 3, channel = at % 3;
        blueGreen[k][j] = uint8_t(channel == 0 ? pixel : channel == 1 ? 64 + pixel : 0);
        red[k][j] = uint8_t(pixel);
        if (channel == 2) redMask[k] |= uint64_t(1) << j;
      }
    }
  }
};

// 64 pixels per step: each plane is a 256-byte table held in four registers and
// looked up with two two-register byte permutes; the stores are the limit.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) int PaletteToBGRVbmi(const uint8_t* s, int w,
                                                                            const TPalettePlanes& planes, uint8_t* d) {
  static const TInterleave order;
  __m512i table[3][4];
  for (int c = 0; c < 3; ++c)
    for (int q = 0; q < 4; ++q) table[c][q] = _mm512_load_si512(planes.plane[c] + 64 * q);
  __m512i blueGreen[3], red[3];
  for (int k = 0; k < 3; ++k) {
    blueGreen[k] = _mm512_load_si512(order.blueGreen[k]);
    red[k] = _mm512_load_si512(order.red[k]);
  }
  int x = 0;
  for (; x + 64 <= w; x += 64) {
    const __m512i index = _mm512_loadu_si512(s + x);
    const __mmask64 high = _mm512_movepi8_mask(index);
    __m512i channel[3];
    for (int c = 0; c < 3; ++c)
      channel[c] = _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(table[c][0], index, table[c][1]),
                                          _mm512_permutex2var_epi8(table[c][2], index, table[c][3]));
    for (int k = 0; k < 3; ++k) {
      __m512i out = _mm512_permutex2var_epi8(channel[0], blueGreen[k], channel[1]);
      out = _mm512_mask_permutexvar_epi8(out, order.redMask[k], red[k], channel[2]);
      _mm512_storeu_si512(d + 3 * x + 64 * k, out);
    }
  }
  return x;
}

bool HaveVbmi() {
  static const bool have = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
  return have;
}
#endif

void PaletteToBGR(const uint8_t* s, int w, const uint32_t* pal4, const TPalettePlanes& planes, uint8_t* d) {
  int done = 0;
#ifdef RV_HAVE_VBMI_PALETTE
  if (w >= 64 && HaveVbmi()) done = PaletteToBGRVbmi(s, w, planes, d);
#else
  (void)planes;
#endif
  PaletteToBGRScalar(s + done, w - done, pal4, d + 3 * done);
}

RV_VECTOR_CLONES void CMYKToBGR(const uint8_t* s, int w, uint8_t* d) {
  for (int x = 0; x < w; ++x) {
    const unsigned k = s[4 * x + 3];
    d[3 * x] = uint8_t(Div255(s[4 * x + 2] * k));
    d[3 * x + 1] = uint8_t(Div255(s[4 * x + 1] * k));
    d[3 * x + 2] = uint8_t(Div255(s[4 * x] * k));
  }
}

RV_VECTOR_CLONES void RGB48ToBGR(const uint8_t* s, int w, uint8_t* d) {
  for (int x = 0; x < w; ++x) {
    d[3 * x] = s[6 * x + 5];
    d[3 * x + 1] = s[6 * x + 3];
    d[3 * x + 2] = s[6 * x + 1];
  }
}

inline void SetGray(uint8_t* d, uint8_t v) {
  d[0] = d[1] = d[2] = v;
}

// Reads rows of any format as BGR; holds what a row alone does not say.
class TRowReader {
 public:
  explicit TRowReader(TPxBitmap& source) : format_(source.Format()) {
    if (format_ == pxPalette8) {
      for (int i = 0; i < 256; ++i) {
        TColorBGR c{};
        source.GetPaletteEntry(i, c);  // entries beyond PaletteCount stay black
        uint32_t v = 0;
        std::memcpy(&v, &c, 3);
        pal4_[size_t(i)] = v;
        planes_.plane[0][i] = c.b;
        planes_.plane[1][i] = c.g;
        planes_.plane[2][i] = c.r;
      }
    }
  }

  void Read(const uint8_t* s, int w, uint8_t* d) const {
    switch (format_) {
      case pxMono1:
        for (int x = 0; x < w; ++x) SetGray(d + 3 * x, uint8_t(-((s[x >> 3] >> (7 - (x & 7))) & 1)));
        break;
      case pxPalette8:
        PaletteToBGR(s, w, pal4_.data(), planes_, d);
        break;
      case pxGray8:
        for (int x = 0; x < w; ++x) SetGray(d + 3 * x, s[x]);
        break;
      case pxGray16:
        for (int x = 0; x < w; ++x) SetGray(d + 3 * x, s[2 * x + 1]);
        break;
      case px32f:
        for (int x = 0; x < w; ++x) SetGray(d + 3 * x, uint8_t(TruncSample(LoadFloat(s + 4 * x) * 255.0)));
        break;
      case pxRGB24:
        std::memcpy(d, s, size_t(w) * 3);
        break;
      case pxCMYK:
        CMYKToBGR(s, w, d);
        break;
      case pxRGB48:
        RGB48ToBGR(s, w, d);
        break;
      case pxCIELab:
        for (int x = 0; x < w; ++x) {
          const TColorBGR c = LabToBGR(s + 3 * x);
          std::memcpy(d + 3 * x, &c, 3);
        }
        break;
      case pxNoFormat:
        break;
    }
  }

 private:
  TPxBitmapFormat format_;
  std::array<uint32_t, 256> pal4_{};
  TPalettePlanes planes_{};
};

// ---- BGR rows into other formats (the "from pxRGB24" rules) ------------------

RV_VECTOR_CLONES void BGRToGray8(const uint8_t* s, int w, uint8_t* d) {
  for (int x = 0; x < w; ++x) d[x] = Gray8OfRGB(s[3 * x + 2], s[3 * x + 1], s[3 * x]);
}

// Every format but pxMono1 and pxPalette8, which need the whole picture.
void WriteFromBGR(TPxBitmapFormat to, const uint8_t* s, int w, uint8_t* d) {
  switch (to) {
    case pxGray8:
      BGRToGray8(s, w, d);
      break;
    case pxGray16:
      for (int x = 0; x < w; ++x) Store16(d + 2 * x, Gray16Of8(s[3 * x + 2], s[3 * x + 1], s[3 * x]));
      break;
    case px32f:
      for (int x = 0; x < w; ++x) StoreFloat(d + 4 * x, FloatGrayOf8(s[3 * x + 2], s[3 * x + 1], s[3 * x]));
      break;
    case pxRGB24:
      std::memcpy(d, s, size_t(w) * 3);
      break;
    case pxCMYK:
      for (int x = 0; x < w; ++x) {
        const uint32_t v = BGRToInvertedCMYK(TColorBGR{s[3 * x], s[3 * x + 1], s[3 * x + 2]});
        d[4 * x] = uint8_t(v);
        d[4 * x + 1] = uint8_t(v >> 8);
        d[4 * x + 2] = uint8_t(v >> 16);
        d[4 * x + 3] = uint8_t(v >> 24);
      }
      break;
    case pxRGB48:
      for (int x = 0; x < w; ++x) {
        Store16(d + 6 * x, s[3 * x + 2] * 257u);
        Store16(d + 6 * x + 2, s[3 * x + 1] * 257u);
        Store16(d + 6 * x + 4, s[3 * x] * 257u);
      }
      break;
    case pxCIELab:
      for (int x = 0; x < w; ++x) BGRToLab(TColorBGR{s[3 * x], s[3 * x + 1], s[3 * x + 2]}, d + 3 * x);
      break;
    default:
      break;
  }
}

// ---- sources whose pixels are indexes: a table of finished target pixels -----

constexpr int kLutStride = 8;

template <int Bpp>
void ExpandBytes(const uint8_t* s, int w, const uint8_t* lut, uint8_t* d) {
  if constexpr (Bpp == 3 || Bpp == 6) {
    if (w <= 0) return;
    constexpr int wide = Bpp == 3 ? 4 : 8;  // overlapping stores, the last pixel exact
    for (int x = 0; x < w - 1; ++x) std::memcpy(d + Bpp * x, lut + kLutStride * s[x], wide);
    std::memcpy(d + Bpp * (w - 1), lut + kLutStride * s[w - 1], Bpp);
  } else {
    for (int x = 0; x < w; ++x) std::memcpy(d + Bpp * x, lut + kLutStride * s[x], Bpp);
  }
}

// One bit per source pixel; a fixed size, so each copy is a store and not a call.
template <int Bpp>
void ExpandBits(const uint8_t* s, int w, const uint8_t* lut, uint8_t* d) {
  for (int x = 0; x < w; ++x) {
    const int bit = (s[x >> 3] >> (7 - (x & 7))) & 1;
    std::memcpy(d + Bpp * x, lut + kLutStride * bit, Bpp);
  }
}

template <int Bpp>
void ExpandIndexes(bool bits, const uint8_t* s, int w, const uint8_t* lut, uint8_t* d) {
  if (bits)
    ExpandBits<Bpp>(s, w, lut, d);
  else
    ExpandBytes<Bpp>(s, w, lut, d);
}

void ExpandRow(bool bits, const uint8_t* s, int w, const uint8_t* lut, int bpp, uint8_t* d) {
  switch (bpp) {
    case 1:
      ExpandIndexes<1>(bits, s, w, lut, d);
      break;
    case 2:
      ExpandIndexes<2>(bits, s, w, lut, d);
      break;
    case 3:
      ExpandIndexes<3>(bits, s, w, lut, d);
      break;
    case 4:
      ExpandIndexes<4>(bits, s, w, lut, d);
      break;
    case 6:
      ExpandIndexes<6>(bits, s, w, lut, d);
      break;
    default:
      break;
  }
}

// Target pixels for every index of a pxMono1, pxPalette8 or pxGray8 source.
std::vector<uint8_t> IndexTable(TPxBitmap& source, TPxBitmapFormat from, TPxBitmapFormat to) {
  const int count = from == pxMono1 ? 2 : 256;
  std::vector<uint8_t> bgr(size_t(count) * 3);
  if (from == pxMono1) {
    std::fill(bgr.begin() + 3, bgr.end(), 255);
  } else {
    TRowReader reader(source);  // palette entries, or the gray itself
    std::vector<uint8_t> indexes(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) indexes[size_t(i)] = uint8_t(i);
    reader.Read(indexes.data(), count, bgr.data());
  }
  std::vector<uint8_t> lut(size_t(count) * kLutStride + kLutStride, 0);
  std::vector<uint8_t> pixel(kLutStride);
  const int bpp = FormatBytesPerPixel(to);
  for (int i = 0; i < count; ++i) {
    WriteFromBGR(to, bgr.data() + 3 * i, 1, pixel.data());
    // Grays and black/white keep their exact float values rather than the weighted sum.
    if (to == px32f && from != pxPalette8) StoreFloat(pixel.data(), from == pxMono1 ? float(i) : float(i / 255.0));
    std::memcpy(lut.data() + size_t(i) * kLutStride, pixel.data(), size_t(bpp));
  }
  return lut;
}

// ---- the other direct rules -------------------------------------------------

// Gray16, px32f and pxRGB48 sources into targets where they keep more than
// eight bits; false where the rule goes through BGR instead.
bool ConvertWideRow(TPxBitmapFormat from, TPxBitmapFormat to, const uint8_t* s, int w, uint8_t* d) {
  if (from == pxGray16) {
    switch (to) {
      case pxGray8:
        for (int x = 0; x < w; ++x) d[x] = s[2 * x + 1];
        return true;
      case px32f:
        for (int x = 0; x < w; ++x) StoreFloat(d + 4 * x, float(Load16(s + 2 * x) / 65535.0));
        return true;
      case pxRGB48:
        for (int x = 0; x < w; ++x) {
          const uint8_t lo = s[2 * x], hi = s[2 * x + 1];
          uint8_t* p = d + 6 * x;
          p[0] = p[2] = p[4] = lo;
          p[1] = p[3] = p[5] = hi;
        }
        return true;
      default:
        return false;
    }
  }
  if (from == px32f) {
    switch (to) {
      case pxGray8:
        for (int x = 0; x < w; ++x) d[x] = uint8_t(TruncSample(LoadFloat(s + 4 * x) * 255.0));
        return true;
      case pxGray16:
        for (int x = 0; x < w; ++x) Store16(d + 2 * x, unsigned(TruncSample(LoadFloat(s + 4 * x) * 65535.0)));
        return true;
      case pxRGB48:
        for (int x = 0; x < w; ++x) {
          const unsigned v = unsigned(TruncSample(LoadFloat(s + 4 * x) * 65535.0));
          Store16(d + 6 * x, v);
          Store16(d + 6 * x + 2, v);
          Store16(d + 6 * x + 4, v);
        }
        return true;
      default:
        return false;
    }
  }
  if (from == pxRGB48) {
    switch (to) {
      case pxGray8:
        for (int x = 0; x < w; ++x) d[x] = Gray8OfRGB(s[6 * x + 1], s[6 * x + 3], s[6 * x + 5]);
        return true;
      case pxGray16:
        for (int x = 0; x < w; ++x)
          Store16(d + 2 * x, Gray16Of16(Load16(s + 6 * x), Load16(s + 6 * x + 2), Load16(s + 6 * x + 4)));
        return true;
      case px32f:
        for (int x = 0; x < w; ++x)
          StoreFloat(d + 4 * x, FloatGrayOf16(Load16(s + 6 * x), Load16(s + 6 * x + 2), Load16(s + 6 * x + 4)));
        return true;
      default:
        return false;
    }
  }
  return false;
}

void SetGrayRamp(TColorBGR* palette) {
  for (int i = 0; i < 256; ++i) palette[i] = MakeBGR(uint8_t(i), uint8_t(i), uint8_t(i));
}

}  // namespace

// ---- thresholds -------------------------------------------------------------

int AverageColorThreshold(TPxBitmap& source) {
  const int w = source.Width(), h = source.Height();
  if (w <= 0 || h <= 0 || source.Format() == pxNoFormat) return 0;
  TRowReader reader(source);
  const TPxAccessGuard guard(source, kAccessRead);
  std::vector<uint8_t> bgr(size_t(w) * 3);
  uint64_t mean[3] = {0, 0, 0};
  for (int y = 0; y < h; ++y) {
    reader.Read(source.RowPointer(y), w, bgr.data());
    uint64_t sum[3] = {0, 0, 0};
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) sum[k] += bgr[size_t(3 * x + k)];
    for (int k = 0; k < 3; ++k) mean[k] += sum[k] / uint64_t(w);
  }
  return Gray8OfRGB(unsigned(mean[2] / uint64_t(h)), unsigned(mean[1] / uint64_t(h)), unsigned(mean[0] / uint64_t(h)));
}

int MaxEntropyThreshold(const uint64_t histogram[256]) {
  uint64_t total = 0;
  for (int i = 0; i < 256; ++i) total += histogram[i];
  if (total == 0) return -2;
  // -p ln p per bin, and the entropy above each threshold summed from the top
  // so that no difference of two near-equal sums decides anything.
  double term[256], above[257];
  for (int i = 0; i < 256; ++i) {
    const double p = double(histogram[i]) / double(total);
    term[i] = p > 0 ? -p * std::log(p) : 0.0;
  }
  above[256] = 0.0;
  for (int i = 255; i >= 0; --i) above[i] = above[i + 1] + term[i];
  int best = -2;
  double bestScore = 0.0;
  uint64_t below = 0;
  double low = 0.0;
  for (int t = 1; t < 256; ++t) {
    below += histogram[t - 1];
    low += term[t - 1];
    if (below == 0 || below == total) continue;  // P must lie strictly between 0 and 1
    const double p = double(below) / double(total);
    const double score = std::log(p - p * p) + low / p + above[t] / (1.0 - p);
    if (score > bestScore) {
      bestScore = score;
      best = t;
    }
  }
  return best;
}

// ---- reduction to one bit ---------------------------------------------------

void ConvertToMono(TPxBitmap& source, TPxBitmap& dest, int threshold, const TProgressHandler& progress) {
  if (&source == &dest || source.Format() == pxNoFormat || dest.Format() != pxMono1) return;
  const int w = source.Width(), h = source.Height();
  if (w <= 0 || h <= 0 || dest.Width() != w || dest.Height() != h) return;
  TRowReader reader(source);
  std::vector<uint8_t> bgr(size_t(w) * 3), gray(size_t(w) + 8, 0);
  if (threshold == -1) {
    threshold = AverageColorThreshold(source);
  } else if (threshold == -2) {
    uint64_t histogram[256] = {};
    const TPxAccessGuard guard(source, kAccessRead);
    for (int y = 0; y < h; ++y) {
      reader.Read(source.RowPointer(y), w, bgr.data());
      BGRToGray8(bgr.data(), w, gray.data());
      for (int x = 0; x < w; ++x) ++histogram[gray[size_t(x)]];
    }
    threshold = MaxEntropyThreshold(histogram);
  }
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxAccessGuard destGuard(dest, kAccessWrite);
  const int bytes = (w + 7) / 8, rowLength = dest.RowLength();
  for (int y = 0; y < h; ++y) {
    reader.Read(source.RowPointer(y), w, bgr.data());
    BGRToGray8(bgr.data(), w, gray.data());
    uint8_t* d = dest.RowPointer(y);
    for (int i = 0; i < bytes; ++i) {
      unsigned v = 0;
      const uint8_t* g = gray.data() + 8 * i;
      for (int k = 0; k < 8; ++k) v = (v << 1) | unsigned(g[k] >= threshold);
      d[i] = uint8_t(v);
    }
    // Bits past the width were computed from the zeroed tail of `gray`; clear them.
    if (w % 8) d[bytes - 1] &= uint8_t(0xFF00 >> (w % 8));
    ZeroPadding(d, bytes, rowLength);
    if (progress) progress(int((y + 1) * 100 / (h + 0.5)));
  }
}

// ---- ConvertPixelsFrom ------------------------------------------------------

void TPxBitmap::ConvertPixelsFrom(TPxBitmap& source) {
  if (&source == this || location_ == pxTBitmap) return;
  const TPxBitmapFormat to = Format();
  TPxBitmapFormat from = source.Format();
  if (from == pxNoFormat || to == pxNoFormat) return;
  const int w = Width(), h = Height();
  if (source.Width() != w || source.Height() != h) return;

  if (to == pxMono1 && from != pxMono1) {
    ConvertToMono(source, *this, -1);
    ReleaseRowView();
    source.ReleaseRowView();
  } else if (to == pxPalette8 && (from == pxCMYK || from == pxRGB48 || from == pxCIELab)) {
    // The quantizer needs the whole picture in true colour.
    source.ChangeFormat(pxRGB24);
    if (source.Format() == pxRGB24) ConvertPixelsFrom(source);
    return;
  } else if (w > 0 && h > 0) {
    TRowReader reader(source);
    std::vector<uint8_t> lut;
    std::vector<TColorBGR> quantized;
    std::unique_ptr<TPxQuantizer> quantizer;
    const bool indexSource = from == pxMono1 || from == pxPalette8 || from == pxGray8;
    if (to == pxPalette8) {
      if (!palette_) return;
      TColorBGR* palette = palette_.get();
      std::fill(palette, palette + 256, TColorBGR{});
      if (from == pxMono1) {
        palette[1] = MakeBGR(255, 255, 255);
      } else if (from == pxPalette8) {
        for (int i = 0; i < 256; ++i) source.GetPaletteEntry(i, palette[i]);
      } else if (from == pxRGB24) {
        quantizer = std::make_unique<TPxQuantizer>(source, QuantizeColors(), quantized);
        std::copy(quantized.begin(), quantized.end(), palette);
      } else {
        SetGrayRamp(palette);
      }
    } else if (indexSource && from != to && to != pxRGB24) {
      lut = IndexTable(source, from, to);
    }

    const TPxAccessGuard sourceGuard(source, kAccessRead);
    const TPxAccessGuard destGuard(*this, kAccessWrite);
    const int bpp = FormatBytesPerPixel(to);
    const int64_t used = (int64_t(w) * FormatBitsPerPixel(to) + 7) / 8;
    std::vector<uint8_t> bgr(size_t(w) * 3);
    // Heap blocks hold rows bottom-up; walking them in address order keeps
    // the hardware prefetchers streaming. Rows do not depend on each other.
    const bool upward = location_ == pxInMemory && source.location_ == pxInMemory;
    for (int i = 0; i < h; ++i) {
      const int y = upward ? h - 1 - i : i;
      const uint8_t* s = source.RowPointer(y);
      uint8_t* d = RowPointer(y);
      if (from == to) {
        std::memcpy(d, s, size_t(used));
      } else if (to == pxPalette8) {
        switch (from) {
          case pxMono1:
            for (int x = 0; x < w; ++x) d[x] = uint8_t((s[x >> 3] >> (7 - (x & 7))) & 1);
            break;
          case pxGray8:
            std::memcpy(d, s, size_t(w));
            break;
          case pxGray16:
            for (int x = 0; x < w; ++x) d[x] = s[2 * x + 1];
            break;
          case px32f:
            for (int x = 0; x < w; ++x) d[x] = uint8_t(TruncSample(LoadFloat(s + 4 * x) * 255.0));
            break;
          case pxRGB24:
            quantizer->IndexRow(s, d, w);
            break;
          default:
            break;
        }
      } else if (!lut.empty()) {
        ExpandRow(from == pxMono1, s, w, lut.data(), bpp, d);
      } else if (to == pxRGB24) {
        reader.Read(s, w, d);
      } else if (from == pxRGB24) {
        WriteFromBGR(to, s, w, d);
      } else if (!ConvertWideRow(from, to, s, w, d)) {
        // No rule of its own: the pxRGB24 rules, one row at a time.
        reader.Read(s, w, bgr.data());
        WriteFromBGR(to, bgr.data(), w, d);
      }
      ZeroPadding(d, used, rowLength_);
    }
    ReleaseRowView();
    source.ReleaseRowView();
  }

  if (!isAlphaChannel_ && source.alpha_) alpha_ = std::move(source.alpha_);
  SyncPaletteToTBitmap();
}

// ---- ChangeFormat -----------------------------------------------------------

namespace {

// A 1-bit platform bitmap redrawn at 24 bits, eight pixels per table entry.
void ExpandMonoTBitmap(TBitmap& bitmap) {
  static const auto table = [] {
    std::array<std::array<uint8_t, 24>, 256> t{};
    for (int v = 0; v < 256; ++v)
      for (int k = 0; k < 8; ++k) std::memset(&t[size_t(v)][size_t(3 * k)], ((v << k) & 0x80) ? 255 : 0, 3);
    return t;
  }();
  const int w = bitmap.Width(), h = bitmap.Height();
  TBitmap wide;
  wide.SetPixelFormat(TPixelFormat::pf24bit);
  wide.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = bitmap.ScanLine(y);
    uint8_t* d = wide.ScanLine(y);
    const int whole = w / 8;
    for (int i = 0; i < whole; ++i) std::memcpy(d + 24 * i, table[s[i]].data(), 24);
    if (w % 8) std::memcpy(d + 24 * whole, table[s[whole]].data(), size_t(3 * (w % 8)));
  }
  bitmap.Assign(wide);
}

}  // namespace

void TPxBitmap::ChangeFormat(TPxBitmapFormat format) {
  if (format == Format()) return;
  if (location_ != pxTBitmap) {
    TPxBitmap old;
    MoveStorageTo(old);
    try {
      AllocatePixels(old.width_, old.height_, format);
      if (old.format_ != pxNoFormat) ConvertPixelsFrom(old);
    } catch (...) {
      // A conversion that runs out of memory leaves the picture as it was.
      old.MoveStorageTo(*this);
      throw;
    }
    return;
  }

  // Platform bitmaps hold 1, 8 or 24 bits: only the conversions among those
  // that the viewer needs are made; other requests leave the pixels alone.
  if (!bitmap_) {
    format_ = format;
    return;
  }
  const TPxBitmapFormat current = format_;
  bool changed = false;
  if (!bitmap_->Empty()) {
    if (current == pxMono1 && format == pxRGB24) {
      ExpandMonoTBitmap(*bitmap_);
      changed = true;
    } else if (current == pxRGB24 && format == pxMono1) {
      TPxBitmap mono;
      mono.AllocatePixels(width_, height_, pxMono1);
      ConvertToMono(*this, mono, -1);
      AssignPixels(mono);
      changed = true;
    } else if (current == pxRGB24 && format == pxGray8) {
      TPxBitmap copy;
      copy.AssignPixels(*this);
      copy.ChangeFormat(pxGray8);
      AssignPixels(copy);
      changed = true;
    }
  } else if (format == pxMono1 || format == pxRGB24) {
    bitmap_->SetPixelFormat(format == pxMono1 ? TPixelFormat::pf1bit : TPixelFormat::pf24bit);
    changed = true;
  }
  if (changed) {
    format_ = format;
    bitsPerPixel_ = FormatBitsPerPixel(format);
    channels_ = FormatChannels(format);
    rowLength_ = int(RowLengthFor(width_, bitsPerPixel_));
    BuildRowTable();
  }
  FollowTBitmap();
}

}  // namespace rv
