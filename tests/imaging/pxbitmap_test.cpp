#include "imaging/pxbitmap.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "imaging/pxdibbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxresample.h"
#include "imaging/pxrotate.h"

namespace rv {
namespace {

// Puts a bitmap into the wanted store before allocating.
void UseStore(TPxBitmap& b, TPxBitmapStorage store) {
  if (store == pxTempFile) b.SetMemoryThreshold(0);  // every picture goes to a file
  b.SetLocation(store);
}

uint8_t Pattern(int x, int y) {
  return uint8_t(x * 7 + y * 13 + 1);
}

void WritePattern(TPxBitmap& b) {
  const int w = b.Width(), h = b.Height(), n = (w * b.BitsPerPixel() + 7) / 8;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.RowPointer(y);
    for (int i = 0; i < n; ++i) row[i] = Pattern(i, y);
  }
}

::testing::AssertionResult HasPattern(TPxBitmap& b) {
  const int w = b.Width(), h = b.Height(), n = (w * b.BitsPerPixel() + 7) / 8;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = b.RowPointer(y);
    for (int i = 0; i < n; ++i)
      if (row[i] != Pattern(i, y))
        return ::testing::AssertionFailure() << "byte " << i << " of row " << y << " is " << int(row[i]);
  }
  return ::testing::AssertionSuccess();
}

TEST(PxBitmap, RowLengthsArePaddedToFourBytes) {
  struct Case {
    int w;
    TPxBitmapFormat f;
    int rowLength;
  } cases[] = {{1, pxMono1, 4},  {33, pxMono1, 8}, {1, pxRGB24, 4}, {5, pxRGB24, 16},
               {3, pxGray16, 8}, {3, pxRGB48, 20}, {2, pxCMYK, 8},  {5, pxPalette8, 8}};
  for (const Case& c : cases) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.AllocatePixels(c.w, 1, c.f);
    EXPECT_EQ(b.RowLength(), c.rowLength) << c.w << " x " << FormatName(c.f);
  }
}

TEST(PxBitmap, NewBitmapIsEmptyAndFileBacked) {
  TPxBitmap b;
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.Location(), pxTempFile);
  EXPECT_EQ(b.Format(), pxNoFormat);
  EXPECT_EQ(b.Access(), 3);
  EXPECT_EQ(b.QuantizeColors(), 256);
  EXPECT_GT(b.MemoryThreshold(), 0);
}

class PxBitmapStore : public ::testing::TestWithParam<TPxBitmapStorage> {};

TEST_P(PxBitmapStore, RowsWrittenAreRowsRead) {
  for (TPxBitmapFormat f : {pxMono1, pxGray8, pxRGB24}) {
    TPxBitmap b;
    UseStore(b, GetParam());
    b.AllocatePixels(37, 11, f);
    ASSERT_EQ(b.Location(), GetParam());
    ASSERT_EQ(b.Width(), 37);
    ASSERT_EQ(b.Height(), 11);
    ASSERT_EQ(b.Format(), f);
    WritePattern(b);
    EXPECT_TRUE(HasPattern(b)) << FormatName(f);
  }
}

TEST_P(PxBitmapStore, AlphaChannelIsCreatedOpaqueAndFollowsResizes) {
  TPxBitmap b;
  UseStore(b, GetParam());
  b.AllocatePixels(6, 4, pxRGB24);
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaAt(5, 3), 255);
  ASSERT_TRUE(b.HasAlphaChannel());
  TPxBitmap* a = b.AlphaChannel();
  EXPECT_TRUE(a->IsAlphaChannel());
  EXPECT_EQ(a->AlphaChannel(), nullptr);
  EXPECT_EQ(a->Location(), GetParam() == pxTBitmap ? pxInMemory : GetParam());
  a->SetByteAt(1, 1, 7);
  b.ChangeWidth(9);
  b.ChangeHeight(2);
  EXPECT_EQ(b.AlphaChannel()->Width(), 9);
  EXPECT_EQ(b.AlphaChannel()->Height(), 2);
  EXPECT_EQ(b.AlphaAt(1, 1), 7);
  b.RemoveAlphaChannel();
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST_P(PxBitmapStore, StoreChangesKeepPixelsPaletteAndAlpha) {
  for (TPxBitmapStorage to : {pxInMemory, pxTempFile, pxTBitmap}) {
    TPxBitmap b;
    UseStore(b, GetParam());
    b.AllocatePixels(13, 5, pxPalette8);
    WritePattern(b);
    b.SetPaletteEntry(3, MakeBGR(10, 20, 30));
    b.AlphaChannel()->SetByteAt(2, 2, 99);
    // The threshold picks between memory and file again on every allocation.
    b.SetMemoryThreshold(to == pxTempFile ? 0 : 1 << 30);
    b.SetLocation(to);
    EXPECT_EQ(b.Location(), to);
    EXPECT_EQ(b.Format(), pxPalette8);
    EXPECT_TRUE(HasPattern(b));
    TColorBGR c;
    b.GetPaletteEntry(3, c);
    EXPECT_EQ(c, MakeBGR(10, 20, 30));
    EXPECT_EQ(b.AlphaAt(2, 2), 99);
  }
}

TEST_P(PxBitmapStore, MoveStorageHandsEverythingOver) {
  TPxBitmap a, b;
  UseStore(a, GetParam());
  a.AllocatePixels(8, 3, pxGray8);
  WritePattern(a);
  a.AlphaChannel();
  const bool hadFile = a.FileBuffer().IsOpen();
  a.MoveStorageTo(b);
  EXPECT_EQ(a.Width(), 0);
  EXPECT_EQ(a.Height(), 0);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_FALSE(a.HasAlphaChannel());
  EXPECT_FALSE(a.FileBuffer().IsOpen());
  EXPECT_EQ(b.Location(), GetParam());
  EXPECT_EQ(b.FileBuffer().IsOpen(), hadFile);
  EXPECT_TRUE(b.HasAlphaChannel());
  EXPECT_TRUE(HasPattern(b));
}

TEST_P(PxBitmapStore, AssignFromIsADeepCopy) {
  for (TPxBitmapStorage from : {pxInMemory, pxTempFile}) {
    TPxBitmap src, dst;
    UseStore(src, from);
    src.AllocatePixels(21, 6, pxPalette8);
    WritePattern(src);
    src.SetPaletteEntry(200, MakeBGR(1, 2, 3));
    src.AlphaChannel()->SetByteAt(4, 5, 17);
    UseStore(dst, GetParam());
    dst.AssignFrom(src);
    EXPECT_EQ(dst.Location(), GetParam());
    EXPECT_TRUE(HasPattern(dst));
    TColorBGR c;
    dst.GetPaletteEntry(200, c);
    EXPECT_EQ(c, MakeBGR(1, 2, 3));
    EXPECT_EQ(dst.AlphaAt(4, 5), 17);
    EXPECT_EQ(src.Access(), 3);
    EXPECT_EQ(dst.Access(), 3);
    // The copy does not share pixels with the source.
    src.RowPointer(0)[0] ^= 0xFF;
    src.RowPointer(1);
    EXPECT_TRUE(HasPattern(dst));
    // A source without alpha channel takes ours away.
    TPxBitmap plain;
    plain.SetLocation(pxInMemory);
    plain.AllocatePixels(2, 2, pxGray8);
    dst.AssignFrom(plain);
    EXPECT_FALSE(dst.HasAlphaChannel());
  }
}

TEST_P(PxBitmapStore, AssignPixelsKeepsOwnAlpha) {
  TPxBitmap src, dst;
  src.SetLocation(pxInMemory);
  src.AllocatePixels(5, 5, pxRGB24);
  WritePattern(src);
  UseStore(dst, GetParam());
  dst.AllocatePixels(5, 5, pxRGB24);
  dst.AlphaChannel()->SetByteAt(0, 0, 5);
  dst.SetAllOpaque(true);
  dst.AssignPixels(src);
  EXPECT_TRUE(HasPattern(dst));
  EXPECT_EQ(dst.AlphaAt(0, 0), 5);
  EXPECT_FALSE(dst.AllOpaque());
}

// Fills of every byte width, with pixels whose bytes differ and pixels whose
// bytes are all equal, at odd widths. Whole rows are checked: every pixel,
// and padding that only one-byte fills may touch (a file row handed out for
// writing alone is not read first, so its padding is not checked there).
TEST_P(PxBitmapStore, FillWithAndFillAreaWriteEveryPixelAndNothingElse) {
  struct Case {
    TPxBitmapFormat f;
    double value;
    std::vector<uint8_t> pixel;
  } cases[] = {
      {pxGray8, 7, {7}},
      {pxPalette8, 200, {200}},
      {pxGray16, 0x1234, {0x34, 0x12}},
      {pxGray16, 0xFFFF, {0xFF, 0xFF}},
      {pxRGB24, 0x563412, {0x56, 0x34, 0x12}},  // platform colour: red in the low byte
      {pxRGB24, 0x808080, {0x80, 0x80, 0x80}},
      {pxRGB24, 0, {0, 0, 0}},
      {px32f, 1.0, {0, 0, 0x80, 0x3F}},
      {px32f, 0, {0, 0, 0, 0}},
      {pxCMYK, 0x336699, {255, 170, 85, 153}},
      {pxCMYK, 0xFFFFFF, {255, 255, 255, 255}},
      {pxRGB48, 0x804020, {0x20, 0x20, 0x40, 0x40, 0x80, 0x80}},
      {pxRGB48, 0xFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {pxCIELab, 0, {0, 0, 0}},
  };
  const TPxBitmapStorage store = GetParam();
  for (const Case& c : cases) {
    // A platform bitmap holds 8 and 24 bits only.
    if (store == pxTBitmap && c.f != pxGray8 && c.f != pxPalette8 && c.f != pxRGB24) continue;
    const int bpp = FormatBytesPerPixel(c.f);
    for (int w : {1, 5, 7, 33}) {
      const int h = 3;
      TPxBitmap b;
      UseStore(b, store);
      b.AllocatePixels(w, h, c.f);
      ASSERT_EQ(b.Location(), store);
      const int n = b.RowLength(), used = w * bpp;
      auto rowOf = [&](int y) {
        const uint8_t* p = b.RowPointer(y);
        return std::vector<uint8_t>(p, p + n);
      };
      for (int y = 0; y < h; ++y) std::memset(b.RowPointer(y), 0xA5, size_t(n));

      b.FillWith(c.value);
      for (int y = 0; y < h; ++y) {
        const std::vector<uint8_t> row = rowOf(y);
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(std::vector<uint8_t>(row.begin() + x * bpp, row.begin() + (x + 1) * bpp), c.pixel)
              << FormatName(c.f) << " " << c.value << " width " << w << " pixel " << x << "," << y;
        const uint8_t padding = bpp == 1 ? c.pixel[0] : 0xA5;
        if (bpp == 1 || store != pxTempFile)
          for (int i = used; i < n; ++i)
            ASSERT_EQ(row[size_t(i)], padding) << FormatName(c.f) << " width " << w << " byte " << i << " row " << y;
      }

      // FillArea: one rectangle inside a picture of distinct bytes.
      WritePattern(b);
      const int x1 = w > 2 ? 1 : 0, x2 = w > 2 ? w - 2 : w - 1;
      b.FillArea(x1, 1, x2, 1, c.value);
      for (int y = 0; y < h; ++y) {
        const std::vector<uint8_t> row = rowOf(y);
        for (int i = 0; i < used; ++i) {
          const int x = i / bpp;
          const bool inside = y == 1 && x >= x1 && x <= x2;
          ASSERT_EQ(row[size_t(i)], inside ? c.pixel[size_t(i % bpp)] : Pattern(i, y))
              << FormatName(c.f) << " " << c.value << " width " << w << " byte " << i << " row " << y;
        }
      }
    }
  }
}

std::string StoreName(const ::testing::TestParamInfo<TPxBitmapStorage>& info) {
  static const char* const names[] = {"InMemory", "TempFile", "TBitmap"};
  return names[info.param];
}
INSTANTIATE_TEST_SUITE_P(AllStores, PxBitmapStore, ::testing::Values(pxInMemory, pxTempFile, pxTBitmap), StoreName);

TEST(PxBitmap, InMemoryRowsAreBottomUpAndAligned) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(10, 4, pxRGB24);
  EXPECT_EQ(b.RowPointer(0) - b.RowPointer(3), 3 * b.RowLength());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.RowPointer(3)) % 32, 0u);
}

TEST(PxBitmap, TempFileRowsAreTopDownAndPersistWhenTheNextRowIsAsked) {
  TPxBitmap b;
  UseStore(b, pxTempFile);
  b.AllocatePixels(4, 3, pxGray8);
  b.FillWith(0);
  b.RowPointer(0)[1] = 42;
  b.RowPointer(2)[0] = 43;
  b.RowPointer(1);  // releases row 2, writing it back
  uint8_t bytes[12];
  ASSERT_TRUE(b.FileBuffer().ReadAt(0, bytes, 12));
  EXPECT_EQ(bytes[1], 42);
  EXPECT_EQ(bytes[8], 43);
  // A read-only view is never written back.
  b.SetAccess(1);
  b.RowPointer(0)[1] = 99;
  b.RowPointer(1);
  b.SetAccess(3);
  EXPECT_EQ(b.RowPointer(0)[1], 42);
}

// Operations set the access bits of the bitmaps they work on; a progress
// handler that throws leaves mid-row, and the caller's bits must come back.
TEST(PxBitmap, AccessBitsComeBackWhenAnOperationThrows) {
  struct Case {
    const char* name;
    TPxBitmapFormat sourceFormat, destFormat;  // pxNoFormat: the operation allocates
    int destWidth, destHeight;
    std::function<void(TPxBitmap&, TPxBitmap&, const TProgressHandler&)> run;
  } cases[] = {
      {"ConvertToMono", pxRGB24, pxMono1, 24, 16,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { ConvertToMono(s, d, 128, p); }},
      {"kernel resample", pxRGB24, pxRGB24, 12, 8,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { FilteredResample(s, d, rfLanczos3, p); }},
      {"fast linear resample", pxRGB24, pxRGB24, 12, 8,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { FilteredResample(s, d, rfFastLinear, p); }},
      {"area resample", pxRGB24, pxRGB24, 12, 8,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { FilteredResample(s, d, rfBicubic, p); }},
      {"nearest resample", pxRGB24, pxRGB24, 12, 8,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { FilteredResample(s, d, rfNone, p); }},
      {"projection", pxMono1, pxMono1, 12, 8,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { FilteredResample(s, d, rfProjectBW, p); }},
      {"shear rotation", pxRGB24, pxNoFormat, 0, 0,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { ShearRotate(s, d, 20, true, {}, p); }},
      {"interpolated rotation", pxRGB24, pxNoFormat, 0, 0,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { InterpolatedRotate(s, d, 20, {}, p); }},
      {"one-bit rotation", pxMono1, pxNoFormat, 0, 0,
       [](TPxBitmap& s, TPxBitmap& d, const TProgressHandler& p) { NearestRotate(s, d, 20, {}, p); }},
  };
  struct Stop {};
  for (const Case& c : cases) {
    // Stop at the first report, then the second, ... until a run finishes, so
    // every stage of the operation is left once by an exception.
    bool finished = false;
    for (int stopAt = 1; !finished && stopAt <= 1000; ++stopAt) {
      TPxBitmap source, dest;
      UseStore(source, pxTempFile);
      UseStore(dest, pxTempFile);
      source.AllocatePixels(24, 16, c.sourceFormat);
      WritePattern(source);
      if (c.destFormat != pxNoFormat) dest.AllocatePixels(c.destWidth, c.destHeight, c.destFormat);
      int calls = 0;
      const TProgressHandler stop = [&](int) {
        if (++calls == stopAt) throw Stop{};
      };
      try {
        c.run(source, dest, stop);
        finished = true;
        EXPECT_GT(stopAt, 1) << c.name << " reports no progress";
      } catch (const Stop&) {
      }
      ASSERT_EQ(source.Access(), kAccessReadWrite) << c.name << ", stopped at report " << stopAt;
      ASSERT_EQ(dest.Access(), kAccessReadWrite) << c.name << ", stopped at report " << stopAt;
    }
    EXPECT_TRUE(finished) << c.name;
  }
}

// The guard itself, nested and left by an exception.
TEST(PxBitmap, AccessGuardRestoresTheBitsHoweverTheScopeEnds) {
  TPxBitmap b;
  b.SetAccess(kAccessRead);
  {
    const TPxAccessGuard outer(b, kAccessWrite);
    EXPECT_EQ(b.Access(), kAccessWrite);
    try {
      const TPxAccessGuard inner(b, kAccessReadWrite);
      EXPECT_EQ(b.Access(), kAccessReadWrite);
      throw 1;
    } catch (int) {
    }
    EXPECT_EQ(b.Access(), kAccessWrite);
  }
  EXPECT_EQ(b.Access(), kAccessRead);
}

TEST(PxBitmap, ThresholdEqualityKeepsTheCurrentStore) {
  const int64_t size = 16 * 4;  // RowLength 16 x 4 rows
  TPxBitmap fresh;
  fresh.SetMemoryThreshold(size);
  fresh.AllocatePixels(5, 4, pxRGB24);
  EXPECT_EQ(fresh.Location(), pxTempFile);

  TPxBitmap placed;
  placed.SetMemoryThreshold(size);
  placed.AllocatePixels(5, 3, pxRGB24);  // smaller: goes to memory
  ASSERT_EQ(placed.Location(), pxInMemory);
  placed.AllocatePixels(5, 4, pxRGB24);
  EXPECT_EQ(placed.Location(), pxInMemory);
  placed.AllocatePixels(5, 5, pxRGB24);  // larger: back to a file
  EXPECT_EQ(placed.Location(), pxTempFile);
}

TEST(PxBitmap, TemporaryFilesLeaveNothingInTheTemporaryDirectory) {
  char dirTemplate[] = "/tmp/revimora-test-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", dirTemplate, 1);
  auto entries = [&] {
    int n = 0;
    DIR* d = opendir(dirTemplate);
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
  };
  {
    TPxBitmap b;
    UseStore(b, pxTempFile);
    b.AllocatePixels(100, 100, pxRGB24);
    ASSERT_EQ(b.Location(), pxTempFile);
    EXPECT_EQ(b.FileBuffer().FileName().rfind(std::string(dirTemplate) + "/IMG-", 0), 0u);
    WritePattern(b);
    EXPECT_TRUE(HasPattern(b));
    EXPECT_EQ(entries(), 0);
  }
  EXPECT_EQ(entries(), 0);
  // A temporary directory that cannot be written sends the pixels to memory.
  chmod(dirTemplate, 0500);
  if (access(dirTemplate, W_OK) != 0) {
    TPxBitmap b;
    UseStore(b, pxTempFile);
    b.AllocatePixels(10, 10, pxRGB24);
    EXPECT_EQ(b.Location(), pxInMemory);
  }
  chmod(dirTemplate, 0700);
  rmdir(dirTemplate);
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

TEST(PxBitmap, SizesThatCannotBeHeldAreRefusedAndLeaveTheBitmapEmpty) {
  struct Case {
    int w, h;
    TPxBitmapFormat f;
  } cases[] = {{2000000000, 2000000000, pxRGB48}, {2147483647, 1, pxRGB48}, {1 << 30, 1 << 30, pxGray8}};
  for (const Case& c : cases) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.AllocatePixels(4, 4, pxRGB24);
    EXPECT_THROW(b.AllocatePixels(c.w, c.h, c.f), std::bad_alloc) << c.w << " x " << c.h;
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 0);
  }
  TPxBitmap b;
  b.AllocatePixels(-3, 5, pxRGB24);
  EXPECT_TRUE(b.IsEmpty());
  b.AllocatePixels(3, 5, pxNoFormat);
  EXPECT_TRUE(b.IsEmpty());
}

TEST(PxBitmap, PlatformBitmapRefusesWideFormatsAndNarrowsGray16) {
  const std::pair<TPxBitmapFormat, const char*> refused[] = {
      {px32f, "px32f pixel format not allowed when Location=pxTBitmap"},
      {pxCMYK, "pxCMYK pixel format not allowed when Location=pxTBitmap"},
      {pxRGB48, "pxRGB48 pixel format not allowed when Location=pxTBitmap"},
      {pxCIELab, "pxCIELab pixel format not allowed when Location=pxTBitmap"}};
  for (auto [format, message] : refused) {
    TPxBitmap b;
    b.SetLocation(pxTBitmap);
    b.AllocatePixels(5, 5, pxRGB24);
    try {
      b.AllocatePixels(100, 100, format);
      ADD_FAILURE() << "no error for " << FormatName(format);
    } catch (const EPxBitmapError& e) {
      EXPECT_STREQ(e.what(), message);
    }
    EXPECT_EQ(b.Bitmap()->Width(), 1);
    EXPECT_EQ(b.Bitmap()->Height(), 1);
  }
  TPxBitmap g;
  g.SetLocation(pxTBitmap);
  g.AllocatePixels(100, 100, pxGray16);
  EXPECT_EQ(g.Format(), pxGray8);
  EXPECT_EQ(g.RowLength(), 100);
}

TEST(PxBitmap, Gray16MovedToPlatformBitmapKeepsHighBytes) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(2, 1, pxGray16);
  b.SetWordAt(0, 0, 0x1234);
  b.SetWordAt(1, 0, 0xABCD);
  b.SetLocation(pxTBitmap);
  EXPECT_EQ(b.Format(), pxGray8);
  EXPECT_EQ(b.ByteAt(0, 0), 0x12);
  EXPECT_EQ(b.ByteAt(1, 0), 0xAB);
}

TEST(PxBitmap, FollowsAPlatformBitmapChangedBehindItsBack) {
  TBitmap platform;
  platform.SetPixelFormat(TPixelFormat::pf24bit);
  platform.SetSize(4, 3);
  TPxBitmap b;
  b.AdoptTBitmap(&platform, true);
  EXPECT_TRUE(b.ExternalTBitmap());
  EXPECT_EQ(b.Format(), pxRGB24);
  b.AlphaChannel()->SetByteAt(0, 0, 1);
  platform.SetSize(10, 7);
  EXPECT_EQ(b.Width(), 10);
  EXPECT_EQ(b.Height(), 7);
  EXPECT_EQ(b.RowLength(), 32);
  EXPECT_EQ(b.RowPointer(6), platform.ScanLine(6));
  EXPECT_EQ(b.AlphaChannel()->Width(), 10);
  EXPECT_EQ(b.AlphaAt(0, 0), 255);

  // 8 bits: a gray ramp is pxGray8, any other table a palette read back from it.
  platform.SetPixelFormat(TPixelFormat::pf8bit);
  TRGBQuad ramp[256];
  for (int i = 0; i < 256; ++i) ramp[i] = TRGBQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
  platform.SetColorTable(0, 256, ramp);
  EXPECT_EQ(b.Format(), pxGray8);
  ramp[9] = TRGBQuad{1, 2, 3, 0};
  platform.SetColorTable(0, 256, ramp);
  EXPECT_EQ(b.Format(), pxPalette8);
  TColorBGR c;
  b.GetPaletteEntry(9, c);
  EXPECT_EQ(c, MakeBGR(3, 2, 1));
  // The adopted bitmap is not ours to free, and later allocations write into it.
  b.AllocatePixels(3, 3, pxMono1);
  EXPECT_EQ(platform.BitCount(), 1);
  EXPECT_EQ(platform.Width(), 3);
}

TEST(PxBitmap, PlatformBitmapOfAnOddDepthIsNeverReadWithTheWrongRowLength) {
  TBitmap platform;
  platform.SetPixelFormat(TPixelFormat::pf32bit);
  platform.SetSize(5, 2);
  TPxBitmap b;
  b.AdoptTBitmap(&platform, true);
  EXPECT_EQ(b.Format(), pxRGB24);
  EXPECT_EQ(platform.BitCount(), 24);
  EXPECT_EQ(b.RowLength(), platform.RowLength());
}

TEST(PxBitmap, AllocationSignalsThePlatformBitmapsChange) {
  TBitmap platform;
  int changes = 0;
  platform.RegisterChangeListener([&](TBitmap&) { ++changes; });
  TPxBitmap b;
  b.AdoptTBitmap(&platform, true);
  b.AllocatePixels(8, 8, pxRGB24);
  EXPECT_GT(changes, 0);
  changes = 0;
  b.AllocatePixels(8, 8, pxRGB24);  // same size again still counts as new pixels
  EXPECT_GT(changes, 0);
}

TEST(PxBitmap, MonoPlatformBitmapKeepsPixelsWhenWidened) {
  TPxBitmap b;
  b.SetLocation(pxTBitmap);
  b.AllocatePixels(9, 2, pxMono1);
  b.FillWith(0);
  b.RowPointer(1)[0] = 0xA5;
  b.ChangeWidth(20);
  EXPECT_EQ(b.Width(), 20);
  EXPECT_EQ(b.Format(), pxMono1);
  EXPECT_EQ(b.RowPointer(1)[0], 0xA5);
}

TEST(PxBitmap, CopyRegionClipsAtEveryEdge) {
  TPxBitmap src, dst;
  src.SetLocation(pxInMemory);
  dst.SetLocation(pxInMemory);
  src.AllocatePixels(40, 1, pxGray8);
  for (int x = 0; x < 40; ++x) src.SetByteAt(x, 0, uint8_t(x));
  dst.AllocatePixels(40, 1, pxGray8);
  dst.FillWith(200);
  // DstX = -10 copies from source column SrcX + 10 into column 0, ten columns fewer.
  src.CopyRegionTo(dst, 5, 0, -10, 0, 20, 1);
  EXPECT_EQ(dst.ByteAt(0, 0), 15);
  EXPECT_EQ(dst.ByteAt(9, 0), 24);
  EXPECT_EQ(dst.ByteAt(10, 0), 200);
  // Entirely outside the destination: nothing.
  dst.FillWith(200);
  src.CopyRegionTo(dst, 0, 0, 0, 5, 10, 1);
  src.CopyRegionTo(dst, 0, 0, -50, 0, 10, 1);
  for (int x = 0; x < 40; ++x) EXPECT_EQ(dst.ByteAt(x, 0), 200);
  // Past the right edge: clipped to what fits.
  src.CopyRegionTo(dst, 0, 0, 35, 0, 20, 1);
  EXPECT_EQ(dst.ByteAt(39, 0), 4);
  EXPECT_EQ(dst.ByteAt(34, 0), 200);
}

TEST(PxBitmap, CopyRegionMonoKeepsNeighbouringBits) {
  TPxBitmap src, dst;
  src.SetLocation(pxInMemory);
  dst.SetLocation(pxInMemory);
  src.AllocatePixels(16, 1, pxMono1);
  src.FillWith(0);  // all black
  dst.AllocatePixels(16, 1, pxMono1);
  dst.FillWith(1);  // all white
  src.CopyRegionTo(dst, 0, 0, 3, 0, 4, 1);
  EXPECT_EQ(dst.RowPointer(0)[0], 0xE1);  // 111 0000 1
  EXPECT_EQ(dst.RowPointer(0)[1], 0xFF);

  TPxBitmap rgb;
  rgb.SetLocation(pxInMemory);
  rgb.AllocatePixels(16, 1, pxRGB24);
  rgb.FillWith(0x808080);
  dst.CopyRegionTo(rgb, 2, 0, 0, 0, 3, 1);
  EXPECT_EQ(rgb.PixelBGR(0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(rgb.PixelBGR(1, 0), MakeBGR(0, 0, 0));
  EXPECT_EQ(rgb.PixelBGR(3, 0), MakeBGR(128, 128, 128));

  TPxBitmap gray;
  gray.SetLocation(pxInMemory);
  gray.AllocatePixels(16, 1, pxGray8);
  gray.FillWith(9);
  rgb.CopyRegionTo(gray, 0, 0, 0, 0, 16, 1);  // no conversion: nothing copied
  EXPECT_EQ(gray.ByteAt(0, 0), 9);
}

TEST(PxBitmap, FillWithAndFillArea) {
  struct Case {
    TPxBitmapFormat f;
    double value;
    std::vector<uint8_t> pixel;
    bool opaque;
  } cases[] = {
      {pxGray8, 255, {255}, true},
      {pxGray8, 255.9, {255}, true},
      {pxGray8, 254.5, {254}, false},
      {pxGray16, 65535, {255, 255}, true},
      {pxGray16, 0x11234, {0x34, 0x12}, false},
      {pxRGB24, 0x0000FF, {0, 0, 255}, false},  // platform colour: red in the low byte
      {pxRGB24, 0xFFFFFF, {255, 255, 255}, true},
      {pxCMYK, 0x0080FF, {255, 128, 0, 255}, false},
      {pxRGB48, 0x0000FF, {0xFF, 0xFF, 0, 0, 0, 0}, false},
      {pxMono1, 1, {0xFF}, true},
      {pxMono1, 0, {0x00}, false},
  };
  for (const Case& c : cases) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.AllocatePixels(3, 2, c.f);
    b.FillWith(c.value);
    EXPECT_EQ(b.AllOpaque(), c.opaque) << FormatName(c.f) << " " << c.value;
    const int bpp = std::max(1, FormatBytesPerPixel(c.f));
    EXPECT_EQ(std::vector<uint8_t>(b.RowPointer(1) + 2 * (c.f == pxMono1 ? 0 : bpp),
                                   b.RowPointer(1) + 2 * (c.f == pxMono1 ? 0 : bpp) + c.pixel.size()),
              c.pixel)
        << FormatName(c.f) << " " << c.value;
  }
  TPxBitmap f;
  f.SetLocation(pxInMemory);
  f.AllocatePixels(2, 2, px32f);
  f.FillWith(0.5);
  EXPECT_EQ(f.FloatAt(1, 1), 0.5f);
  f.FillArea(0, 0, 0, 0, 0.5);
  EXPECT_EQ(f.FloatAt(0, 0), 0.0f);
  EXPECT_EQ(f.FloatAt(1, 0), 0.5f);
  f.FillWith(1.0);
  EXPECT_TRUE(f.AllOpaque());
  f.SetFloatAt(0, 0, 0.25f);
  EXPECT_FALSE(f.AllOpaque());

  // FillArea clips and leaves AllOpaque alone.
  TPxBitmap g;
  g.SetLocation(pxInMemory);
  g.AllocatePixels(4, 4, pxGray8);
  g.FillWith(255);
  g.FillArea(-5, 2, 100, 100, 7);
  EXPECT_TRUE(g.AllOpaque());
  EXPECT_EQ(g.ByteAt(0, 1), 255);
  EXPECT_EQ(g.ByteAt(3, 3), 7);
  g.UpdateAllOpaque();
  EXPECT_FALSE(g.AllOpaque());
}

TEST(PxBitmap, ResizeCanvasAlignsOldContent) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(4, 4, pxGray8);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) b.SetByteAt(x, y, uint8_t(10 + x));
  b.AlphaChannel();
  b.ResizeCanvas(8, 4, 0, 33, 1, 0);
  ASSERT_EQ(b.Width(), 8);
  const uint8_t row[8] = {0, 0, 10, 11, 12, 13, 0, 0};
  for (int x = 0; x < 8; ++x) EXPECT_EQ(b.ByteAt(x, 3), row[x]) << x;
  EXPECT_EQ(b.AlphaAt(0, 0), 33);
  EXPECT_EQ(b.AlphaAt(3, 0), 255);

  TPxBitmap c;
  c.SetLocation(pxInMemory);
  c.AllocatePixels(8, 4, pxGray8);
  for (int x = 0; x < 8; ++x) c.SetByteAt(x, 2, uint8_t(x));
  c.ResizeCanvas(4, 4, 0, 0, 2, 0);
  ASSERT_EQ(c.Width(), 4);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(c.ByteAt(x, 2), 4 + x);
}

TEST(PxBitmap, ColorAtEveryFormat) {
  struct Case {
    TPxBitmapFormat f;
    std::vector<uint8_t> bytes;
    TColorBGR expected;
  } cases[] = {
      {pxMono1, {0x80}, MakeBGR(255, 255, 255)},
      {pxMono1, {0x7F}, MakeBGR(0, 0, 0)},
      {pxGray8, {77}, MakeBGR(77, 77, 77)},
      {pxGray16, {0x34, 0x12}, MakeBGR(0x12, 0x12, 0x12)},
      {pxRGB24, {1, 2, 3}, MakeBGR(3, 2, 1)},
      {pxCMYK, {255, 0, 0, 255}, MakeBGR(255, 0, 0)},
      {pxRGB48, {0x11, 0xAA, 0x22, 0xBB, 0x33, 0xCC}, MakeBGR(0xAA, 0xBB, 0xCC)},
  };
  for (const Case& c : cases) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.AllocatePixels(1, 1, c.f);
    std::memcpy(b.RowPointer(0), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(b.ColorAt(0, 0), c.expected) << FormatName(c.f);
  }
  TPxBitmap f;
  f.SetLocation(pxInMemory);
  f.AllocatePixels(1, 1, px32f);
  f.SetFloatAt(0, 0, 0.5f);
  EXPECT_EQ(f.ColorAt(0, 0), MakeBGR(127, 127, 127));
  TPxBitmap p;
  p.SetLocation(pxInMemory);
  p.AllocatePixels(1, 1, pxPalette8);
  p.SetPaletteEntry(4, MakeBGR(9, 8, 7));
  p.SetByteAt(0, 0, 4);
  EXPECT_EQ(p.ColorAt(0, 0), MakeBGR(9, 8, 7));
  TPxBitmap none;
  EXPECT_EQ(none.ColorAt(0, 0), MakeBGR(0, 0, 0));
}

TEST(PxBitmap, PaletteIndexesOutOfRangeAreIgnored) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(1, 1, pxPalette8);
  EXPECT_EQ(b.PaletteCount(), 256);
  TColorBGR c = MakeBGR(5, 5, 5);
  b.SetPaletteEntry(256, MakeBGR(1, 1, 1));
  b.SetPaletteEntry(-1, MakeBGR(1, 1, 1));
  b.GetPaletteEntry(256, c);
  EXPECT_EQ(c, MakeBGR(5, 5, 5));
  TPxBitmap rgb;
  rgb.SetLocation(pxInMemory);
  rgb.AllocatePixels(1, 1, pxRGB24);
  EXPECT_EQ(rgb.PaletteCount(), 0);
}

TEST(PxBitmap, HasOnlyGrays) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.AllocatePixels(3, 3, pxRGB24);
  b.FillWith(0x404040);
  EXPECT_TRUE(b.HasOnlyGrays());
  b.SetPixelBGR(2, 2, MakeBGR(1, 1, 2));
  EXPECT_FALSE(b.HasOnlyGrays());
  b.AllocatePixels(3, 3, pxGray16);
  EXPECT_TRUE(b.HasOnlyGrays());
}

TEST(PxBitmap, MergeAlphaKeepsTheLargerValue) {
  TPxBitmap src, dst;
  src.SetLocation(pxInMemory);
  dst.SetLocation(pxInMemory);
  src.AllocatePixels(2, 1, pxRGB24);
  dst.AllocatePixels(3, 1, pxRGB24);
  src.AlphaChannel()->SetByteAt(0, 0, 10);
  src.AlphaChannel()->SetByteAt(1, 0, 200);
  dst.AlphaChannel()->FillWith(100);
  src.MergeAlphaRegionTo(dst, 0, 0, 1, 0, 2, 1);
  EXPECT_EQ(dst.AlphaAt(0, 0), 100);
  EXPECT_EQ(dst.AlphaAt(1, 0), 100);
  EXPECT_EQ(dst.AlphaAt(2, 0), 200);
}

TEST(PxBitmap, ImportTBitmapEveryDepth) {
  struct Case {
    TPixelFormat depth;
    std::vector<uint8_t> row;
    TPxBitmapFormat format;
    TColorBGR first;
  } cases[] = {
      {TPixelFormat::pf1bit, {0x80}, pxMono1, MakeBGR(255, 255, 255)},
      {TPixelFormat::pf4bit, {0x9F}, pxPalette8, MakeBGR(255, 0, 0)},  // entry 9 of the 16-colour table
      {TPixelFormat::pf8bit, {0}, pxPalette8, MakeBGR(0, 0, 0)},
      {TPixelFormat::pf15bit, {0x00, 0x7C}, pxRGB24, MakeBGR(248, 0, 0)},
      {TPixelFormat::pf16bit, {0xE0, 0x07}, pxRGB24, MakeBGR(0, 252, 0)},
      {TPixelFormat::pf24bit, {1, 2, 3}, pxRGB24, MakeBGR(3, 2, 1)},
      {TPixelFormat::pf32bit, {1, 2, 3, 9}, pxRGB24, MakeBGR(3, 2, 1)},
  };
  for (const Case& c : cases) {
    TBitmap platform;
    platform.SetPixelFormat(c.depth);
    platform.SetSize(2, 2);
    std::memcpy(platform.ScanLine(0), c.row.data(), c.row.size());
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.ImportTBitmap(platform);
    EXPECT_EQ(b.Format(), c.format) << TBitmap::BitCountOf(c.depth);
    EXPECT_EQ(b.ColorAt(0, 0), c.first) << TBitmap::BitCountOf(c.depth);
    EXPECT_FALSE(b.AllOpaque());
  }
  // A 1-bit bitmap with a colour table becomes a two-entry palette.
  TBitmap coloured;
  coloured.SetPixelFormat(TPixelFormat::pf1bit);
  coloured.SetSize(8, 1);
  TRGBQuad two[2] = {{0, 0, 255, 0}, {255, 0, 0, 0}};
  coloured.SetColorTable(0, 2, two);
  coloured.ScanLine(0)[0] = 0x40;
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.ImportTBitmap(coloured);
  EXPECT_EQ(b.Format(), pxPalette8);
  EXPECT_EQ(b.ByteAt(1, 0), 1);
  EXPECT_EQ(b.ColorAt(0, 0), MakeBGR(255, 0, 0));
  // Device-dependent bitmaps are not imported.
  TBitmap device;
  device.SetSize(2, 2);
  TPxBitmap untouched;
  untouched.ImportTBitmap(device);
  EXPECT_TRUE(untouched.IsEmpty());
}

TEST(PxBitmap, MasksAndDibsRoundTrip) {
  TPxMask mask;
  mask.AllocateMask(9, 3, 8);
  mask.FillMask(255);
  mask.MaskRow(2)[4] = 17;
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.ImportMask(&mask);
  EXPECT_EQ(b.Format(), pxGray8);
  EXPECT_EQ(b.ByteAt(4, 2), 17);
  EXPECT_TRUE(b.AllOpaque());  // the mask's flag, as carried
  TPxMask back;
  b.ExportMask(back);
  EXPECT_EQ(back.BitsPerPixel(), 8);
  EXPECT_EQ(back.MaskRow(2)[4], 17);
  EXPECT_TRUE(back.AllSet());
  TPxBitmap none;
  none.SetLocation(pxInMemory);
  none.AllocatePixels(2, 2, pxGray8);
  none.ImportMask(nullptr);
  EXPECT_EQ(none.ByteAt(1, 1), 255);

  TPxDibbitmap dib;
  dib.AllocatePixels(5, 2, pxRGB24);
  EXPECT_EQ(dib.RowLength(), 16);
  dib.RowPointer(1)[2] = 66;
  EXPECT_EQ(dib.RowPointer(0) - dib.RowPointer(1), 16);
  TPxBitmap fromDib;
  fromDib.SetLocation(pxInMemory);
  fromDib.ImportDib(dib);
  EXPECT_EQ(fromDib.Format(), pxRGB24);
  EXPECT_EQ(fromDib.RowPointer(1)[2], 66);
  dib.AllocatePixels(5, 2, pxGray8);  // refused: the DIB keeps its picture
  EXPECT_EQ(dib.BitsPerPixel(), 24);
}

}  // namespace
}  // namespace rv
