// Every reader on files cut short: each recipe makes one good file, the test
// cuts it at every length (or at evenly spread lengths for the large codec
// files) and loads each cut through TPictureIO. Whatever the format, a cut
// either fails cleanly (a reason, the previous picture untouched) or loads at
// the whole file's size, and loading it twice gives the same pixels. What a
// loaded cut must hold on top of that depends on how the format stores its
// pixels, which each recipe names:
//   kZeroFilled     uncompressed direct colour: the cut decodes as the whole
//                   file with every byte past the cut zero (rows past the
//                   data black, a row or pixel cut short completed with zeros)
//   kPixelsInPlace  uncompressed: a pixel whose bytes are all there equals the
//                   whole file's, a pixel wholly past the cut is black and
//                   opaque (black, not the colour of index 0, when indexed)
//   kDecodedPrefix  run-length data: in decoding order the pixels equal the
//                   whole file's up to some pixel, and from there on are black
//   kSameTwice      the pixels depend on data past the cut (a colour table at
//                   the end, interleaved or text data): only the rules above
//                   every cut keeps
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bmpfile.h"
#include "imaging/pxbitmap.h"
#include "io/formats.h"
#include "io/pictureio.h"
#include "pcxfile.h"
#include "readertest.h"
#include "tgafile.h"

namespace rv {
namespace {

using namespace testing_support;

enum class TCutRule { kZeroFilled, kPixelsInPlace, kDecodedPrefix, kSameTwice };

// A good file and where its pixel data lies.
struct TFixture {
  Bytes File;
  size_t DataStart = 0;           // cuts from here on must load
  size_t RowBytes = 0;            // kPixelsInPlace: bytes a stored row, padding included
  int BitsPerPixel = 0;           // kPixelsInPlace: as stored
  bool BottomUp = false;          // the first stored row is the bottom one
  bool FailsBefore = false;       // cuts before DataStart must fail
  bool CutRowZeroFilled = false;  // kPixelsInPlace: the row a cut ends in is completed with zero bytes
};

struct TRecipe {
  const char* Name;
  int32_t Format;
  std::function<TFixture()> Make;
  TCutRule Rule;
  size_t Step = 1;          // cut every Step bytes
  bool FileBacked = false;  // decode into a file-backed bitmap (the row-by-row paths)
  int ImageIndex = 0;
};

// A decoded picture as blue, green, red, alpha (255 where it has no alpha).
struct TPicture {
  bool Aborted = false;
  std::string Reason;
  bool KeptPrevious = false;
  int Width = 0, Height = 0;
  bool HasAlpha = false;
  std::vector<uint32_t> Pixels;
  uint32_t At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
};

constexpr TColorBGR kMarker{1, 2, 3};
constexpr uint32_t kOpaqueBlack = 0xFF000000u;

uint32_t Bgra(TColorBGR c, int alpha) {
  return uint32_t(c.b) | uint32_t(c.g) << 8 | uint32_t(c.r) << 16 | uint32_t(alpha) << 24;
}

TPicture Decode(const TRecipe& r, const uint8_t* data, size_t size) {
  TPictureIO io;
  TPxBitmap& t = *io.TargetBitmap();
  t.AllocatePixels(3, 1, pxRGB24);
  t.SetPixelBGR(0, 0, kMarker);
  if (r.FileBacked) t.SetMemoryThreshold(0);
  if (r.ImageIndex) io.ImageParams().SetImageIndex(r.ImageIndex);
  io.LoadBuffer(data, int64_t(size), r.Format);
  TPicture p;
  p.Aborted = io.Aborted();
  p.Reason = io.AbortReason();
  p.KeptPrevious = t.Width() == 3 && t.Height() == 1 && t.PixelBGR(0, 0) == kMarker;
  p.Width = t.Width();
  p.Height = t.Height();
  p.HasAlpha = t.HasAlphaChannel();
  for (int y = 0; y < p.Height; ++y)
    for (int x = 0; x < p.Width; ++x)
      p.Pixels.push_back(Bgra(t.ColorAt(x, y), p.HasAlpha ? t.AlphaChannel()->ByteAt(x, y) : 255));
  return p;
}

// The whole file with every byte from `cut` on zero.
TPicture ZeroFilled(const TRecipe& r, Bytes file, size_t cut) {
  std::fill(file.begin() + ptrdiff_t(cut), file.end(), 0);
  return Decode(r, file.data(), file.size());
}

std::string Hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08X", v);
  return s;
}

void PrintTo(const TRecipe& r, std::ostream* os) {
  *os << r.Name;
}

class TruncationTest : public testing::TestWithParam<TRecipe> {};

TEST_P(TruncationTest, EveryCutFailsCleanlyOrKeepsWhatArrived) {
  const TRecipe& r = GetParam();
  const TFixture f = r.Make();
  const TPicture whole = Decode(r, f.File.data(), f.File.size());
  ASSERT_FALSE(whole.Aborted) << whole.Reason;
  ASSERT_GT(whole.Width, 0);

  for (size_t cut = 0; cut <= f.File.size(); cut += cut == f.File.size() ? 1 : std::min(r.Step, f.File.size() - cut)) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(f.File.size()));
    const Bytes part(f.File.begin(), f.File.begin() + ptrdiff_t(cut));
    const TPicture a = Decode(r, part.data(), part.size());
    const TPicture b = Decode(r, part.data(), part.size());
    ASSERT_EQ(a.Aborted, b.Aborted);
    if (cut >= f.DataStart) {
      ASSERT_FALSE(a.Aborted) << a.Reason;
    }
    if (cut < f.DataStart && f.FailsBefore) {
      ASSERT_TRUE(a.Aborted);
    }
    if (a.Aborted) {
      EXPECT_FALSE(a.Reason.empty());
      EXPECT_TRUE(a.KeptPrevious);
      continue;
    }
    ASSERT_EQ(a.Width, whole.Width);
    ASSERT_EQ(a.Height, whole.Height);  // the header's size, however much data is left
    ASSERT_EQ(a.Pixels, b.Pixels);
    if (cut < f.DataStart) continue;

    switch (r.Rule) {
      case TCutRule::kZeroFilled: {
        const TPicture expected = ZeroFilled(r, f.File, cut);
        ASSERT_FALSE(expected.Aborted) << expected.Reason;
        for (int y = 0; y < a.Height; ++y)
          for (int x = 0; x < a.Width; ++x) ASSERT_EQ(Hex(a.At(x, y)), Hex(expected.At(x, y))) << x << "," << y;
        break;
      }
      case TCutRule::kPixelsInPlace: {
        const TPicture zeroFilled = f.CutRowZeroFilled ? ZeroFilled(r, f.File, cut) : TPicture{};
        bool anyPresent = false;
        for (int row = 0; row < a.Height; ++row) {
          const int y = f.BottomUp ? a.Height - 1 - row : row;
          const size_t rowStart = f.DataStart + size_t(row) * f.RowBytes;
          const bool cutRow = rowStart < cut && cut < rowStart + f.RowBytes;
          for (int x = 0; x < a.Width; ++x) {
            const size_t first = f.DataStart + size_t(row) * f.RowBytes + size_t(x * f.BitsPerPixel / 8);
            const size_t end = f.DataStart + size_t(row) * f.RowBytes + size_t(((x + 1) * f.BitsPerPixel + 7) / 8);
            if (end <= cut) {
              anyPresent = true;
              ASSERT_EQ(Hex(a.At(x, y)), Hex(whole.At(x, y))) << x << "," << y;
            } else if (first >= cut) {
              const uint32_t cleared = cutRow && f.CutRowZeroFilled ? zeroFilled.At(x, y) : kOpaqueBlack;
              ASSERT_EQ(Hex(a.At(x, y)), Hex(cleared)) << x << "," << y;
            }
          }
        }
        if (anyPresent) {
          EXPECT_EQ(a.HasAlpha, whole.HasAlpha);
        }
        break;
      }
      case TCutRule::kDecodedPrefix: {
        bool past = false;
        for (int row = 0; row < a.Height; ++row) {
          const int y = f.BottomUp ? a.Height - 1 - row : row;
          for (int x = 0; x < a.Width; ++x) {
            past = past || a.At(x, y) != whole.At(x, y);
            if (past) {
              ASSERT_EQ(Hex(a.At(x, y)), Hex(kOpaqueBlack)) << x << "," << y;
            }
          }
        }
        break;
      }
      case TCutRule::kSameTwice:
        break;
    }
  }
}

// ------------------------------------------------------------ BMP

TFixture Bmp(const bmp::TBmpSpec& s, bool uncompressed = true) {
  TFixture f;
  f.File = bmp::MakeBmp(s);
  f.DataStart = f.File.size() - s.pixels.size();
  f.BottomUp = s.height > 0;
  if (uncompressed) {
    f.RowBytes = size_t((s.width * s.bitCount + 31) / 32 * 4);
    f.BitsPerPixel = s.bitCount;
    f.CutRowZeroFilled = true;
  }
  return f;
}

bmp::TBmpSpec BmpRgb24(int width, int height, bool topDown) {
  bmp::TBmpSpec s;
  s.width = width;
  s.height = topDown ? -height : height;
  s.pixels = bmp::Rows24(width, height, topDown);
  return s;
}

// ------------------------------------------------------------ PCX

TFixture Pcx(const pcx::TPcxSpec& s) {
  TFixture f;
  f.File = pcx::MakePcx(s);
  f.DataStart = 128;
  f.RowBytes = s.bytesPerLine;
  f.BitsPerPixel = s.bits * s.planes;
  f.CutRowZeroFilled = true;
  return f;
}

// 4 x 3 pixels of 4 bits, stored, through the header's table whose entry 0 is not black.
pcx::TPcxSpec PcxPacked4() {
  pcx::TPcxSpec s;
  s.encoding = 0;
  s.encode = false;
  s.bits = 4;
  s.planes = 1;
  s.xmax = 3;
  s.ymax = 2;
  s.bytesPerLine = 2;
  for (int i = 0; i < 16; ++i) s.table[size_t(i)] = MakeBGR(uint8_t(9 + i), 9, 9);
  s.lines = {0x12, 0x30, 0x45, 0x60, 0x78, 0x9A};
  return s;
}

// 2 x 3 24-bit planes of literal bytes (no runs), so a cut never splits a run.
pcx::TPcxSpec PcxRle24(bool encode) {
  pcx::TPcxSpec s;
  s.ymax = 2;
  s.lines = {10, 11, 20, 21, 30, 31, 40, 41, 50, 51, 60, 61, 70, 71, 80, 81, 90, 91};
  if (!encode) s.encoding = 0, s.encode = false;
  return s;
}

// ------------------------------------------------------------ TGA

TFixture Tga(const tga::TTgaSpec& s) {
  TFixture f;
  f.File = tga::MakeTga(s);
  f.DataStart = 18 + s.id.size() + s.map.size();
  f.RowBytes = size_t(s.width) * size_t((s.depth + 7) / 8);
  f.BitsPerPixel = (s.depth + 7) / 8 * 8;
  f.BottomUp = (s.descriptor & 0x20) == 0;
  return f;
}

tga::TTgaSpec TgaRows24(uint8_t descriptor) {
  tga::TTgaSpec s;
  s.height = 3;
  s.descriptor = descriptor;
  s.data = {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
  return s;
}

// 8-bit values through a map of 32-bit entries with alpha; value 0's entry is not black.
tga::TTgaSpec TgaMappedWithAlpha() {
  tga::TTgaSpec s;
  s.mapType = 1;
  s.mapLength = 3;
  s.mapEntryBits = 32;
  s.map = {1, 2, 3, 40, 4, 5, 6, 255, 7, 8, 9, 120};
  s.depth = 8;
  s.width = 3;
  s.height = 3;
  s.data = {0, 1, 2, 2, 1, 0, 1, 1, 1};
  return s;
}

// ------------------------------------------------------------ PNM

TFixture PnmRaw(const std::string& header, const Bytes& data, int width, int bitsPerPixel) {
  TFixture f;
  f.File = Pnm(header, data);
  f.DataStart = header.size();
  f.RowBytes = size_t((width * bitsPerPixel + 7) / 8);
  f.BitsPerPixel = bitsPerPixel;
  return f;
}

TFixture PnmText(const std::string& text) {
  TFixture f;
  f.File = Pnm(text);
  f.DataStart = f.File.size() + 1;  // no length is known to load
  return f;
}

// ------------------------------------------------------------ WBMP

// A 10 x 4 type-0 WBMP: type, fixed header, width and height as one byte
// each, then 2 bytes a row (white is 1).
TFixture Wbmp10x4() {
  TFixture f;
  f.File = {0, 0, 10, 4, 0xFF, 0xC0, 0x0F, 0x40, 0xF0, 0x80, 0x3C, 0xC0};
  f.DataStart = 4;
  return f;
}

// ------------------------------------------------------------ the table

const TRecipe kRecipes[] = {
    // BMP: rows bottom-up unless the height is negative, padded to 4 bytes.
    {"BmpRgb24", ffBMP, [] { return Bmp(BmpRgb24(5, 4, false)); }, TCutRule::kZeroFilled},
    {"BmpRgb24TopDown", ffBMP, [] { return Bmp(BmpRgb24(3, 4, true)); }, TCutRule::kZeroFilled},
    {"BmpRgb24SixRows", ffBMP, [] { return Bmp(BmpRgb24(5, 6, false)); }, TCutRule::kZeroFilled},
    {"BmpRgb24SixRowsFileBacked", ffBMP, [] { return Bmp(BmpRgb24(5, 6, false)); }, TCutRule::kZeroFilled, 1, true},
    {"BmpRgb24SixRowsTopDown", ffBMP, [] { return Bmp(BmpRgb24(5, 6, true)); }, TCutRule::kZeroFilled},
    {"BmpPal8", ffBMP, [] { return Bmp(bmp::GoodSpec()); }, TCutRule::kPixelsInPlace},
    {"BmpRgba32", ffBMP,
     [] {
       bmp::TBmpSpec s = bmp::WithBits(32, 0);
       for (size_t i = 0; i < s.pixels.size(); ++i) s.pixels[i] = uint8_t(i * 37);
       return Bmp(s);
     },
     TCutRule::kPixelsInPlace},
    {"BmpRgb16", ffBMP,
     [] {
       return Bmp(bmp::WithBits(16, 3, {0xF800, 0x07E0, 0x001F}));
     },
     TCutRule::kZeroFilled},
    {"BmpRle8", ffBMP,
     [] {
       bmp::TBmpSpec s = bmp::GoodSpec();
       s.width = 6;
       s.height = 4;
       s.compression = 1;
       s.pixels = bmp::kRle8Data;
       return Bmp(s, false);
     },
     TCutRule::kDecodedPrefix},
    {"BmpRle4", ffBMP,
     [] {
       bmp::TBmpSpec s = bmp::GoodSpec();
       s.width = 8;
       s.bitCount = 4;
       s.compression = 2;
       s.palette = bmp::Ramp(16);
       s.pixels = bmp::kRle4Data;
       return Bmp(s, false);
     },
     TCutRule::kDecodedPrefix},

    // PCX: a 128-byte header, then the planes' lines of each row.
    {"PcxRle24", ffPCX, [] { return Pcx(PcxRle24(true)); }, TCutRule::kZeroFilled},
    {"PcxStored24", ffPCX, [] { return Pcx(PcxRle24(false)); }, TCutRule::kZeroFilled},
    {"PcxRle24TwoRows", ffPCX,
     [] {
       pcx::TPcxSpec s;
       s.lines = {10, 11, 20, 21, 30, 31, 40, 41, 50, 51, 60, 61};
       return Pcx(s);
     },
     TCutRule::kZeroFilled},
    {"PcxStoredPacked4", ffPCX, [] { return Pcx(PcxPacked4()); }, TCutRule::kPixelsInPlace},
    // The 256-colour table follows the pixels: a cut without it shows other colours.
    {"PcxRle8WithTable", ffPCX,
     [] {
       pcx::TPcxSpec s;
       s.planes = 1;
       s.xmax = 4;
       s.ymax = 3;
       s.bytesPerLine = 6;
       for (int i = 0; i < 24; ++i) s.lines.push_back(uint8_t(i < 10 ? 200 : i));
       s.palette = pcx::Ramp(256, 1);
       TFixture f = Pcx(s);
       f.FailsBefore = true;
       return f;
     },
     TCutRule::kSameTwice},

    // TGA: an 18-byte header, the id, the colour map, then the pixels.
    {"TgaRgb24", ffTGA, [] { return Tga(TgaRows24(0)); }, TCutRule::kPixelsInPlace},
    {"TgaRgb24TopDown", ffTGA, [] { return Tga(TgaRows24(0x20)); }, TCutRule::kPixelsInPlace},
    {"TgaMappedWithAlpha", ffTGA, [] { return Tga(TgaMappedWithAlpha()); }, TCutRule::kPixelsInPlace},
    {"TgaRleMappedWithExtension", ffTGA,
     [] {
       tga::TTgaSpec s;
       s.imageType = 9;
       s.mapType = 1;
       s.mapLength = 3;
       s.mapEntryBits = 32;
       s.map = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
       s.depth = 8;
       s.width = 5;
       s.height = 4;
       s.data = {0x84, 1, 0x02, 0, 2, 1, 0x8B, 2, 0x00, 2};
       s.extension = true;
       return Tga(s);
     },
     TCutRule::kDecodedPrefix},

    // PNM: a text header, then raw samples row by row (or text samples).
    {"PnmGray8", ffPNM,
     [] {
       return PnmRaw("P5 2 3 255\n", {1, 2, 3, 4, 5, 6}, 2, 8);
     },
     TCutRule::kPixelsInPlace},
    {"PnmGray8TwoRows", ffPNM,
     [] {
       return PnmRaw("P5 2 2 255\n", {1, 2, 3, 4}, 2, 8);
     },
     TCutRule::kPixelsInPlace},
    {"PnmGray16", ffPNM,
     [] {
       return PnmRaw("P5 2 3 65535\n", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 2, 16);
     },
     TCutRule::kPixelsInPlace},
    {"PnmGray16Flat", ffPNM, [] { return PnmRaw("P5 3 2 65535\n", Bytes(12, 0x80), 3, 16); }, TCutRule::kPixelsInPlace},
    {"PnmRgb", ffPNM,
     [] {
       return PnmRaw(
           "P6 3 3 255\n",
           {9, 8, 7, 6, 5, 4, 3, 2, 1, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28}, 3, 24);
     },
     TCutRule::kPixelsInPlace},
    {"PnmRgbWithComment", ffPNM, [] { return PnmRaw("P6\n# c\n3 2\n255\n", Bytes(18, 200), 3, 24); },
     TCutRule::kPixelsInPlace},
    {"PnmBitmap", ffPNM,
     [] {
       return PnmRaw("P4 10 3\n", {0b10100000, 0x40, 0xFF, 0xC0, 0x0F, 0x00}, 10, 1);
     },
     TCutRule::kPixelsInPlace},
    {"PnmBitmapNine", ffPNM,
     [] {
       return PnmRaw("P4 9 2\n", {1, 2, 3, 4}, 9, 1);
     },
     TCutRule::kPixelsInPlace},
    // Text samples: a cut number reads as another value.
    {"PnmPlainRgb", ffPNM, [] { return PnmText("P3 2 2 255 1 2 3 4 5 6 7 8 9 10 11 12"); }, TCutRule::kSameTwice},
    {"PnmPlainBitmap", ffPNM, [] { return PnmText("P1 5 2 10101 01010"); }, TCutRule::kSameTwice},

    // WBMP: rows of bits, black where a byte is missing.
    {"Wbmp", ffWBMP, Wbmp10x4, TCutRule::kZeroFilled},
};

INSTANTIATE_TEST_SUITE_P(Recipes, TruncationTest, testing::ValuesIn(kRecipes),
                         [](const testing::TestParamInfo<TRecipe>& i) { return std::string(i.param.Name); });

}  // namespace
}  // namespace rv
