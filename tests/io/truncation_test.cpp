// Every reader on files cut short: each recipe makes one good file, the test
// cuts it at every length (or at evenly spread lengths for the large codec
// files) and loads each cut through TPictureIO. Whatever the format, a cut
// either fails cleanly (a reason, the previous picture untouched) or loads at
// the whole file's size, and loading it twice gives the same pixels (where a
// recipe says so, a cut may also load nothing without an error, load as the
// frames it holds, or show what it decoded with the failure flag set). What a
// loaded cut must hold on top of that depends on how the format stores its
// pixels, which each recipe names:
//   kZeroFilled     uncompressed direct colour: the cut decodes as the whole
//                   file with every byte past the cut zero (rows past the
//                   data black, a row or pixel cut short completed with zeros)
//   kPixelsInPlace  uncompressed: a pixel whose bytes are all there equals the
//                   file's with every byte past the cut zero (the whole
//                   file's, unless a mask follows the pixels: an icon's AND
//                   rows count when whole), a pixel wholly past the cut is
//                   black and opaque (black, not the colour of index 0, when
//                   indexed)
//   kDecodedPrefix  run-length or deflated data: in decoding order (rows, or
//                   the passes of an interlaced file) the pixels equal the
//                   whole file's up to some pixel, and from there on are
//                   black (or what the recipe names as missing); where the
//                   rows are stored as they are, a row whose bytes all
//                   arrived (but for what the decoder may hold back) is
//                   decoded and a row none of whose bytes arrived is missing
//   kTopRows        block-coded data: the rows equal the whole file's down to
//                   some row; the block row that row lies in and the next
//                   may be partly decoded (blocks cut, an upsampler reading
//                   the block row below), and from one row past those on
//                   every row shows the missing colour
//   kSameTwice      the pixels depend on data past the cut (a colour table or
//                   the directory at the end, interleaved, text or
//                   progressive data, frames composed over each other): only
//                   the rules above every cut keeps
// A recipe may add that a loaded cut short of the whole file warns (JPEG), and
// probes: at a given cut, so many rows from the top must be the whole file's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bmpfile.h"
#include "conformance.h"
#include "giffile.h"
#include "icofile.h"
#include "imaging/pxbitmap.h"
#include "io/formats.h"
#include "io/pictureio.h"
#include "jpegfile.h"
#include "pcxfile.h"
#include "pngfile.h"
#include "readertest.h"
#include "tgafile.h"
#include "tifffile.h"

namespace rv {
namespace {

using namespace testing_support;

enum class TCutRule { kZeroFilled, kPixelsInPlace, kDecodedPrefix, kTopRows, kSameTwice };

constexpr uint32_t kOpaqueBlack = 0xFF000000u;

// At cut `Cut` (a share of the file when below 1), at least the top `Rows`
// rows are the whole file's.
struct TProbe {
  double Cut = 0;
  int Rows = 0;
};

// A good file and where its pixel data lies.
struct TFixture {
  Bytes File;
  std::string Skip;             // why the recipe cannot run here (no file)
  size_t DataStart = 0;         // cuts from here on must load
  size_t RowBytes = 0;          // kPixelsInPlace: bytes a stored row, padding included
  int BitsPerPixel = 0;         // kPixelsInPlace, StoredRows: as stored
  bool BottomUp = false;        // the first stored row is the bottom one
  bool FailsBefore = false;     // cuts before DataStart must fail
  size_t NothingBefore = 0;     // shorter cuts may also load nothing, without an error (the image asked for is cut off)
  bool FlagsDecoded = false;    // a cut may load and still fail (indexes past a colour table cut short, shown black)
  bool OtherSize = false;       // a cut holding fewer frames loads as what it holds, at its own size
  size_t MaskStart = SIZE_MAX;  // kPixelsInPlace: where the AND mask rows follow the pixels;
  size_t MaskRowBytes = 0;      //   a mask row counts only when whole
  int BlockRows = 0;            // kTopRows: rows a block row decodes to
  bool CutRowZeroFilled = false;    // kPixelsInPlace: the row a cut ends in is completed with zero bytes
  bool Adam7 = false;               // kDecodedPrefix: decoded pass by pass
  bool StoredRows = false;          // kDecodedPrefix: rows stored as they are from DataStart on,
  size_t RowOverhead = 0;           //   each with this many bytes more (a filter byte)
  size_t Lag = 0;                   //   and at most this many bytes held back or spent on headers
  uint32_t Missing = kOpaqueBlack;  // what a pixel the data does not reach shows
  bool Warns = false;               // a loaded cut short of the whole file reports a warning
  std::vector<TProbe> Probes;
};

struct TRecipe {
  const char* Name;
  int32_t Format;
  std::function<TFixture()> Make;
  TCutRule Rule;
  size_t Step = 1;          // cut every Step bytes (0: 1 + a fraction of the file, StepShare)
  bool FileBacked = false;  // decode into a file-backed bitmap (the row-by-row paths)
  int ImageIndex = 0;
  size_t StepShare = 0;  // Step 0: cut every 1 + size / StepShare bytes
};

// A decoded picture as blue, green, red, alpha (255 where it has no alpha).
struct TPicture {
  bool Aborted = false;
  std::string Reason;
  bool KeptPrevious = false;
  bool Warned = false;
  int Width = 0, Height = 0;
  bool HasAlpha = false;
  std::vector<uint32_t> Pixels;
  uint32_t At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
};

constexpr TColorBGR kMarker{1, 2, 3};

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
  p.Warned = io.ImageParams().JpegWarningCount > 0 && io.ImageParams().JpegWarningCode != 0;
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

// The pixels in the order they are decoded, row by row: stored rows from the
// top or the bottom, or the rows of the seven interlace passes.
std::vector<std::vector<std::pair<int, int>>> DecodingRows(const TFixture& f, int width, int height) {
  std::vector<std::vector<std::pair<int, int>>> rows;
  auto add = [&](int x0, int dx, int y) {
    rows.emplace_back();
    for (int x = x0; x < width; x += dx) rows.back().emplace_back(x, y);
  };
  if (!f.Adam7) {
    for (int row = 0; row < height; ++row) add(0, 1, f.BottomUp ? height - 1 - row : row);
    return rows;
  }
  const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  for (const auto& p : passes) {
    if (p[0] >= width) continue;
    for (int y = p[1]; y < height; y += p[3]) add(p[0], p[2], y);
  }
  return rows;
}

void PrintTo(const TRecipe& r, std::ostream* os) {
  *os << r.Name;
}

class TruncationTest : public testing::TestWithParam<TRecipe> {};

TEST_P(TruncationTest, EveryCutFailsCleanlyOrKeepsWhatArrived) {
  const TRecipe& r = GetParam();
  const TFixture f = r.Make();
  if (!f.Skip.empty()) GTEST_SKIP() << f.Skip;
  const TPicture whole = Decode(r, f.File.data(), f.File.size());
  ASSERT_FALSE(whole.Aborted) << whole.Reason;
  ASSERT_GT(whole.Width, 0);
  ASSERT_FALSE(whole.Warned);
  const size_t step = r.Step ? r.Step : 1 + f.File.size() / r.StepShare;

  std::vector<size_t> cuts;
  for (size_t cut = 0; cut < f.File.size(); cut += step) cuts.push_back(cut);
  cuts.push_back(f.File.size());
  for (const TProbe& probe : f.Probes)
    cuts.push_back(probe.Cut < 1 ? size_t(probe.Cut * double(f.File.size())) : size_t(probe.Cut));

  for (const size_t cut : cuts) {
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
      if (!a.KeptPrevious) {
        ASSERT_TRUE(f.FlagsDecoded) << a.Reason;
        ASSERT_EQ(a.Width, whole.Width);
        ASSERT_EQ(a.Height, whole.Height);
        ASSERT_EQ(a.Pixels, b.Pixels);
      }
      continue;
    }
    if (cut < f.NothingBefore && a.KeptPrevious) {
      ASSERT_TRUE(b.KeptPrevious);
      continue;
    }
    if (!f.OtherSize) {
      ASSERT_EQ(a.Width, whole.Width);
      ASSERT_EQ(a.Height, whole.Height);  // the header's size, however much data is left
    }
    ASSERT_EQ(a.Width, b.Width);
    ASSERT_EQ(a.Height, b.Height);
    ASSERT_EQ(a.HasAlpha, b.HasAlpha);
    ASSERT_EQ(a.Pixels, b.Pixels);
    if (cut < f.DataStart) continue;
    if (f.Warns) {
      EXPECT_EQ(a.Warned, cut < f.File.size());
    }
    for (const TProbe& probe : f.Probes) {
      if (cut != (probe.Cut < 1 ? size_t(probe.Cut * double(f.File.size())) : size_t(probe.Cut))) continue;
      for (int y = 0; y < probe.Rows; ++y)
        for (int x = 0; x < a.Width; ++x) ASSERT_EQ(Hex(a.At(x, y)), Hex(whole.At(x, y))) << "probe " << x << "," << y;
    }

    switch (r.Rule) {
      case TCutRule::kZeroFilled: {
        const TPicture expected = ZeroFilled(r, f.File, cut);
        ASSERT_FALSE(expected.Aborted) << expected.Reason;
        for (int y = 0; y < a.Height; ++y)
          for (int x = 0; x < a.Width; ++x) ASSERT_EQ(Hex(a.At(x, y)), Hex(expected.At(x, y))) << x << "," << y;
        break;
      }
      case TCutRule::kPixelsInPlace: {
        // What precedes a pixel decides it: the file zero from the cut on
        // (from the last whole mask row on) shows every pixel that arrived
        // as the cut must.
        const size_t kept =
            cut <= f.MaskStart ? cut : f.MaskStart + (cut - f.MaskStart) / f.MaskRowBytes * f.MaskRowBytes;
        const TPicture zeroFilled = ZeroFilled(r, f.File, kept);
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
              ASSERT_EQ(Hex(a.At(x, y)), Hex(zeroFilled.At(x, y))) << x << "," << y;
            } else if (first >= cut) {
              const uint32_t cleared = cutRow && f.CutRowZeroFilled ? zeroFilled.At(x, y) : f.Missing;
              ASSERT_EQ(Hex(a.At(x, y)), Hex(cleared)) << x << "," << y;
            }
          }
        }
        if (anyPresent || !zeroFilled.HasAlpha) {
          EXPECT_EQ(a.HasAlpha, zeroFilled.HasAlpha);
        }
        break;
      }
      case TCutRule::kDecodedPrefix: {
        const uint32_t missing = f.Missing;
        bool past = false;
        size_t rowStart = f.DataStart;
        for (const auto& row : DecodingRows(f, a.Width, a.Height)) {
          const size_t rowEnd = rowStart + f.RowOverhead + (row.size() * size_t(f.BitsPerPixel) + 7) / 8;
          for (const auto& [x, y] : row) {
            const uint32_t v = a.At(x, y);
            past = past || v != whole.At(x, y);
            if (past && v != missing) {
              FAIL() << x << "," << y << ": " << Hex(v) << " past the decoded pixels, not " << Hex(missing);
            }
            if (f.StoredRows && past && rowEnd + f.Lag <= cut) {
              FAIL() << x << "," << y << ": arrived, not decoded";
            }
            if (f.StoredRows && rowStart >= cut && v != missing) {
              FAIL() << x << "," << y << ": " << Hex(v) << " decoded without its data";
            }
          }
          rowStart = rowEnd;
        }
        break;
      }
      case TCutRule::kTopRows: {
        int first = a.Height;  // the first row that is not the whole file's
        for (int y = 0; y < a.Height && first == a.Height; ++y)
          for (int x = 0; x < a.Width; ++x)
            if (a.At(x, y) != whole.At(x, y)) first = y;
        for (int y = (first / f.BlockRows + 2) * f.BlockRows + 1; y < a.Height; ++y)
          for (int x = 0; x < a.Width; ++x)
            if (a.At(x, y) != f.Missing) {
              FAIL() << x << "," << y << ": " << Hex(a.At(x, y))
                     << " below the blocks decoded (first difference in row " << first << "), not " << Hex(f.Missing);
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

// ------------------------------------------------------------ GIF

// The three-frame animation composed up to its last frame. Past the header and
// its table every cut loads what it has.
TFixture GifAnimation() {
  TFixture f;
  f.File = gif::ThreeFrameAnimation().Bytes();
  f.DataStart = 13 + 12 + 1;
  // Until the first frame's descriptor and code size arrive there is no
  // image; a cut holding fewer frames than the one asked for loads them.
  f.NothingBefore = 13 + 12 + 8 + 10 + 1;
  f.OtherSize = true;
  return f;
}

// ------------------------------------------------------------ ICO

// The second entry of two: 3 x 3 8-bit pixels through 256 colours (index 0
// not black), one AND bit a row.
TFixture IcoPal8SecondEntry() {
  ico::TDibSpec d;
  d.bitCount = 8;
  d.width = 3;
  d.height = 3;
  for (int i = 0; i < 256; ++i) d.palette.push_back(MakeBGR(uint8_t(i), 1, 2));
  d.xorRows = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  d.andRows = {0x20, 0, 0, 0, 0x40, 0, 0, 0, 0x80, 0, 0, 0};
  TFixture f;
  f.File = ico::MakeIcon(1, {ico::Entry(ico::Dib24()), ico::Entry(d)});
  // The directory, the first entry's 64 bytes, a 40-byte header and 256 colours.
  f.DataStart = 6 + 2 * 16 + 64 + 40 + 256 * 4;
  f.RowBytes = 4;
  f.BitsPerPixel = 8;
  f.BottomUp = true;
  f.CutRowZeroFilled = true;
  f.MaskStart = f.DataStart + 3 * 4;
  f.MaskRowBytes = 4;
  f.NothingBefore = 6 + 2 * 16;  // the directory cut before the second entry: nothing to load
  f.FlagsDecoded = true;         // the colour table cut before its first entry
  return f;
}

// A 2 x 2 24-bit entry whose AND bits are all set: a cut AND bitmap leaves
// the rows it does not reach opaque.
TFixture IcoRgb24AllMasked() {
  ico::TDibSpec d = ico::Dib24();
  d.andRows = Bytes(8, 0xFF);
  TFixture f;
  f.File = ico::MakeIcon(1, {ico::Entry(d)});
  f.DataStart = 6 + 16 + 40;
  f.RowBytes = 8;
  f.BitsPerPixel = 24;
  f.BottomUp = true;
  f.MaskStart = f.DataStart + 2 * 8;
  f.MaskRowBytes = 4;
  return f;
}

// ------------------------------------------------------------ TIFF

// 4 x 4 RGB in two strips of two rows, stored after the directory, so a cut
// past the directory cuts the pixels only.
TFixture TiffRgbAfterDirectory() {
  using namespace tiff;
  const TBytes pixels = Gradient(4, 4, 3, 1);
  TPage p = Basic(4, 4, 8, 3, 2, 1, 2);
  p.Tags.push_back(Long(273, {0, 0}));
  p.Tags.push_back(Long(279, {24, 24}));
  const uint32_t dataAt = uint32_t(TTiffWriter().Build({p}).size());
  TagOf(p, 273) = Long(273, {dataAt, dataAt + 24});
  TFixture f;
  f.File = TTiffWriter().Build({p});
  f.File.insert(f.File.end(), pixels.begin(), pixels.end());
  f.DataStart = dataAt;
  return f;
}

// 9 x 7 RGB in four LZW strips, the directory after them: a cut file has no
// directory, so no cut must load.
TFixture TiffLzwBeforeDirectory() {
  using namespace tiff;
  const TBytes pixels = Gradient(9, 7, 3);
  TPage p = Basic(9, 7, 8, 3, 2, 5, 2);
  for (size_t s = 0; s < pixels.size(); s += 54)
    p.Strips.push_back(LzwLiterals(
        TBytes(pixels.begin() + ptrdiff_t(s), pixels.begin() + ptrdiff_t(std::min(s + 54, pixels.size())))));
  TFixture f;
  f.File = TTiffWriter().Build({p});
  f.DataStart = f.File.size() + 1;
  return f;
}

// ------------------------------------------------------------ JPEG

// A baseline file: every cut past the scan's header and the byte for each
// 1024 pixels the reader asks of Huffman-coded data loads, with libjpeg's
// warning. Blocks the data does not reach hold no coefficients: mid-gray.
TFixture Jpeg(const jpeg::TJpegSpec& s) {
  TFixture f;
  f.File = jpeg::EncodeJpeg(s);
  for (size_t i = 2; i + 3 < f.File.size(); i += 2 + (size_t(f.File[i + 2]) << 8 | f.File[i + 3])) {
    if (f.File[i + 1] != 0xDA) continue;
    f.DataStart = i + 2 + (size_t(f.File[i + 2]) << 8 | f.File[i + 3]) + size_t(s.Width * s.Height / 1024);
    break;
  }
  f.Warns = true;
  f.Missing = 0xFF808080u;
  f.BlockRows = 16;  // 2 x 2 subsampled chroma: 16-row block rows
  return f;
}

// A progressive file: a cut in a Huffman table between scans fails, a cut
// elsewhere loads every scan that arrived over the whole picture.
TFixture JpegProgressive() {
  TFixture f;
  jpeg::TJpegSpec s;
  s.Progressive = true;
  f.File = jpeg::EncodeJpeg(s);
  f.DataStart = f.File.size() + 1;
  return f;
}

// ------------------------------------------------------------ PNG

// Past the first IDAT chunk's header and the least data the reader asks for
// every cut loads. Noisy samples do not
// deflate, so the rows lie as they are after it: up to the 8 KiB piece libpng
// is fed plus a row, and the chunk and block headers, may arrive undecoded.
TFixture Png(const png::TPngSpec& s) {
  TFixture f;
  f.File = png::EncodePng(s);
  const char kIdat[] = "IDAT";
  // The reader asks a byte of deflated data for each 1032 × 8 bits of pixels.
  const int bitsPerPixel = png::ChannelsOf(s.ColorType) * s.BitDepth;
  f.DataStart = size_t(std::search(f.File.begin(), f.File.end(), kIdat, kIdat + 4) - f.File.begin()) + 4 +
                size_t(s.Width * s.Height / std::max(1032 * 8 / bitsPerPixel, 1));
  f.Adam7 = s.Interlaced;
  // Rows not reached are black, the passes of an interlaced file not reached
  // black and transparent.
  if (s.Interlaced && (s.ColorType & PNG_COLOR_MASK_ALPHA)) f.Missing = 0;
  if (s.Noisy) {
    f.StoredRows = true;
    f.BitsPerPixel = bitsPerPixel;
    f.RowOverhead = 1;
    f.Lag = 8192 + size_t(s.Width * f.BitsPerPixel / 8) + f.File.size() / 256;
  }
  return f;
}

png::TPngSpec PngNoisy(int colorType, bool interlaced) {
  png::TPngSpec s;
  s.Width = 1000;
  s.Height = 400;
  s.ColorType = colorType;
  s.Interlaced = interlaced;
  s.Noisy = true;
  return s;
}

png::TPngSpec PngRgba(bool interlaced) {
  png::TPngSpec s;
  s.ColorType = PNG_COLOR_TYPE_RGB_ALPHA;
  s.Interlaced = interlaced;
  return s;
}

// ------------------------------------------------------------ JPEG 2000

// A corpus file; OpenJPEG decodes what the packets that arrived hold, so no
// cut must load.
TFixture Jp2Corpus(const std::string& name) {
  TFixture f;
  const std::string path = test::CorpusRoot() + "/jp2/" + name;
  std::ifstream in(path, std::ios::binary);
  f.File.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (f.File.empty()) f.Skip = "no corpus file " + path;
  f.DataStart = f.File.size() + 1;
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

    // GIF: frames composed over each other; data a frame lacks is index 0.
    {"GifAnimationLastFrame", ffGIF, GifAnimation, TCutRule::kSameTwice, 1, false, 2},

    // ICO: a directory, then each entry's header, colours, XOR rows and AND rows, bottom-up.
    {"IcoPal8SecondEntry", ffICO, IcoPal8SecondEntry, TCutRule::kPixelsInPlace, 1, false, 1},
    {"IcoRgb24AllMasked", ffICO, IcoRgb24AllMasked, TCutRule::kPixelsInPlace},

    // TIFF: the directory says where the strips are.
    {"TiffRgbAfterDirectory", ffTIFF, TiffRgbAfterDirectory, TCutRule::kZeroFilled},
    {"TiffLzwBeforeDirectory", ffTIFF, TiffLzwBeforeDirectory, TCutRule::kSameTwice},

    // JPEG: libjpeg reads what arrived and warns of the rest.
    {"JpegBaseline", ffJPEG, [] { return Jpeg({}); }, TCutRule::kTopRows, 0, false, 0, 97},
    {"JpegProgressive", ffJPEG, JpegProgressive, TCutRule::kSameTwice, 0, false, 0, 97},
    {"JpegBaseline256", ffJPEG,
     [] {
       jpeg::TJpegSpec s;
       s.Width = s.Height = 256;
       TFixture f = Jpeg(s);
       f.Probes = {{0.5, 1}};
       return f;
     },
     TCutRule::kTopRows, 0, false, 0, 16},

    // PNG: deflated rows, or the seven passes of an interlaced file.
    {"PngRgbNoisy", ffPNG, [] { return Png(PngNoisy(PNG_COLOR_TYPE_RGB, false)); }, TCutRule::kDecodedPrefix, 0, false,
     0, 40},
    {"PngRgbaNoisyInterlaced", ffPNG, [] { return Png(PngNoisy(PNG_COLOR_TYPE_RGB_ALPHA, true)); },
     TCutRule::kDecodedPrefix, 0, false, 0, 40},
    {"PngRgba", ffPNG, [] { return Png(PngRgba(false)); }, TCutRule::kDecodedPrefix, 0, false, 0, 89},
    {"PngRgbaInterlaced", ffPNG, [] { return Png(PngRgba(true)); }, TCutRule::kDecodedPrefix, 0, false, 0, 89},

    // JPEG 2000: a code stream, and a JP2 file asked for as one.
    {"J2kCodeStream", ffJ2K, [] { return Jp2Corpus("openjpeg-conformance/p0_09.j2k"); }, TCutRule::kSameTwice, 0, false,
     0, 41},
    {"Jp2AskedAsCodeStream", ffJ2K, [] { return Jp2Corpus("pillow/rgb_trns_ycbc.jp2"); }, TCutRule::kSameTwice, 0,
     false, 0, 41},
};

INSTANTIATE_TEST_SUITE_P(Recipes, TruncationTest, testing::ValuesIn(kRecipes),
                         [](const testing::TestParamInfo<TRecipe>& i) { return std::string(i.param.Name); });

}  // namespace
}  // namespace rv
