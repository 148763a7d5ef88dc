// The reduced-copy render cache: the halving, the level choice, the bound on
// its difference from the direct render, the cases it passes through
// unchanged, and invalidation.
#include "viewer/zoomcache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace rv {
namespace {

std::unique_ptr<TPxBitmap> Picture(int w, int h, const std::function<TColorBGR(int, int)>& fn) {
  auto b = std::make_unique<TPxBitmap>();
  b->AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b->SetPixelBGR(x, y, fn(x, y));
  return b;
}

std::unique_ptr<TPxBitmap> Noise(int w, int h) {
  uint32_t state = 12345;
  return Picture(w, h, [&](int, int) {
    state = state * 1103515245u + 12345u;
    return TColorBGR{uint8_t(state >> 24), uint8_t(state >> 16), uint8_t(state >> 8)};
  });
}

std::unique_ptr<TBitmap> Buffer(int w, int h) {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(TPixelFormat::pf24bit);
  b->SetSize(w, h);
  for (int y = 0; y < h; ++y) std::memset(b->ScanLine(y), 0x11, size_t(3) * size_t(w));
  return b;
}

std::vector<uint8_t> Bytes(const TBitmap& b) {
  std::vector<uint8_t> v;
  for (int y = 0; y < b.Height(); ++y) v.insert(v.end(), b.ScanLine(y), b.ScanLine(y) + 3 * b.Width());
  return v;
}

struct TFrame {
  int dstX, dstY, dstW, dstH, srcX, srcY, srcW, srcH;
};

void Direct(TPxBitmap& p, TBitmap& out, const TFrame& f, TResampleFilter filter, bool useAlpha = false) {
  RenderScaledToTBitmap(p, out, nullptr, nullptr, f.dstX, f.dstY, f.dstW, f.dstH, f.srcX, f.srcY, f.srcW, f.srcH,
                        useAlpha, false, 255, filter, true, 0);
}

void Cached(TZoomRenderCache& cache, TPxBitmap& p, TBitmap& out, const TFrame& f, TResampleFilter filter,
            bool useAlpha = false) {
  cache.Render(p, out, nullptr, nullptr, f.dstX, f.dstY, f.dstW, f.dstH, f.srcX, f.srcY, f.srcW, f.srcH, useAlpha,
               false, 255, filter, true, 0);
}

TEST(ZoomCache, HalvingAveragesTwoByTwoBlocks) {
  // 3 x 3, blue = 10 x + 100 y: the odd column and row pair with themselves.
  auto p = Picture(3, 3, [](int x, int y) { return TColorBGR{uint8_t(10 * x + 100 * y), 7, 0}; });
  TPxBitmap half;
  HalvePicture(*p, half);
  ASSERT_EQ(half.Width(), 2);
  ASSERT_EQ(half.Height(), 2);
  // (0 + 10 + 100 + 110 + 2) >> 2 = 55; (20 + 20 + 120 + 120 + 2) >> 2 = 70;
  // (200 + 210 + 200 + 210 + 2) >> 2 = 205; (220 * 4 + 2) >> 2 = 220.
  EXPECT_EQ(half.ColorAt(0, 0), (TColorBGR{55, 7, 0}));
  EXPECT_EQ(half.ColorAt(1, 0), (TColorBGR{70, 7, 0}));
  EXPECT_EQ(half.ColorAt(0, 1), (TColorBGR{205, 7, 0}));
  EXPECT_EQ(half.ColorAt(1, 1), (TColorBGR{220, 7, 0}));
  // Rounding: 1 + 2 + 2 + 2 = 7 -> (7 + 2) >> 2 = 2.
  auto q = Picture(2, 2, [](int x, int y) { return TColorBGR{uint8_t(x + y ? 2 : 1), 0, 0}; });
  HalvePicture(*q, half);
  EXPECT_EQ(half.ColorAt(0, 0).b, 2);
}

TEST(ZoomCache, LevelIsTheLargestHalvingStillAtLeastTheFrame) {
  struct Case {
    int srcW, srcH, dstW, dstH, level;
  } cases[] = {
      {6000, 4000, 600, 400, 3},    // 10 %: ratio 10, 8 <= 10 < 16
      {5189, 2919, 1920, 1080, 1},  // 37 %: ratio 2.7
      {3840, 2160, 1920, 1080, 1},  // exactly half
      {3839, 2160, 1920, 1080, 0},  // just under half
      {1920, 1080, 1920, 1080, 0},  // one to one
      {192, 108, 1920, 1080, 0},    // enlarged
      {1000, 100, 10, 90, 0},       // reduced on one axis only
  };
  for (const Case& c : cases)
    EXPECT_EQ(TZoomRenderCache::LevelFor(c.srcW, c.srcH, c.dstW, c.dstH), c.level)
        << c.srcW << "x" << c.srcH << " -> " << c.dstW << "x" << c.dstH;
}

// Every cached pixel lies between the smallest and the largest source value
// in the direct path's box widened by 2^k - 1 source pixels on each side.
TEST(ZoomCache, ReductionStaysWithinTheWidenedBox) {
  auto p = Noise(400, 300);
  const TFrame frames[] = {
      {0, 0, 40, 30, 0, 0, 400, 300},     // 10 %, level 3
      {5, 3, 100, 70, 37, 21, 271, 190},  // 37 %, away from the origin, level 1
      {0, 0, 90, 64, 101, 77, 299, 223},  // to the picture's far corner, level 1
      {2, 2, 60, 40, 13, 9, 250, 170},    // ratio 4.2, level 2
  };
  for (const TFrame& f : frames) {
    const int k = TZoomRenderCache::LevelFor(f.srcW, f.srcH, f.dstW, f.dstH);
    ASSERT_GT(k, 0);
    TZoomRenderCache cache;
    auto out = Buffer(f.dstX + f.dstW + 3, f.dstY + f.dstH + 3);
    Cached(cache, *p, *out, f, rfFastLinear);
    EXPECT_EQ(cache.LevelCount(), k);
    const double rx = double(f.srcW) / f.dstW, ry = double(f.srcH) / f.dstH;
    const int widen = (1 << k) - 1;
    for (int j = 0; j < f.dstH; ++j)
      for (int i = 0; i < f.dstW; ++i) {
        const int x0 = std::max(0, f.srcX + int(i * rx) - widen);
        const int x1 = std::min(p->Width() - 1, f.srcX + int((i + 1) * rx) + widen);
        const int y0 = std::max(0, f.srcY + int(j * ry) - widen);
        const int y1 = std::min(p->Height() - 1, f.srcY + int((j + 1) * ry) + widen);
        const uint8_t* px = out->ScanLine(f.dstY + j) + 3 * (f.dstX + i);
        for (int c = 0; c < 3; ++c) {
          int lo = 255, hi = 0;
          for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
              const int v = p->RowPointer(y)[3 * x + c];
              lo = std::min(lo, v), hi = std::max(hi, v);
            }
          ASSERT_GE(px[c], lo) << "frame " << f.srcW << "->" << f.dstW << " pixel " << i << "," << j;
          ASSERT_LE(px[c], hi) << "frame " << f.srcW << "->" << f.dstW << " pixel " << i << "," << j;
        }
      }
    // Nothing outside the destination rectangle is touched.
    EXPECT_EQ(out->ScanLine(f.dstY)[3 * (f.dstX + f.dstW)], 0x11);
    EXPECT_EQ(out->ScanLine(f.dstY + f.dstH)[3 * f.dstX], 0x11);
    if (f.dstX > 0) {
      EXPECT_EQ(out->ScanLine(f.dstY)[3 * (f.dstX - 1)], 0x11);
    }
  }
}

TEST(ZoomCache, SmoothPictureAgreesWithTheDirectRender) {
  // A gentle gradient: the level boxes' offset of under 2^k source pixels
  // moves a value by less than 2^k times the slope (here 1/3 per pixel).
  auto p = Picture(600, 450, [](int x, int y) {
    return TColorBGR{uint8_t(x / 3), uint8_t(y / 3), uint8_t((x + y) / 6)};
  });
  const TFrame f{0, 0, 160, 120, 30, 20, 560, 420};  // ratio 3.5, level 1
  TZoomRenderCache cache;
  auto cached = Buffer(160, 120), direct = Buffer(160, 120);
  Cached(cache, *p, *cached, f, rfFastLinear);
  Direct(*p, *direct, f, rfFastLinear);
  const std::vector<uint8_t> a = Bytes(*cached), b = Bytes(*direct);
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  EXPECT_LE(worst, 2);
}

TEST(ZoomCache, OtherRendersPassThroughUnchanged) {
  auto p = Noise(300, 200);
  auto withAlpha = Noise(300, 200);
  withAlpha->AlphaChannel()->SetByteAt(5, 5, 10);
  withAlpha->AlphaChannel()->SetAllOpaque(false);
  struct Case {
    const char* name;
    TPxBitmap* picture;
    TFrame frame;
    TResampleFilter filter;
    bool useAlpha;
  } cases[] = {
      {"nearest", p.get(), {0, 0, 75, 50, 0, 0, 300, 200}, rfNone, false},
      {"other filter", p.get(), {0, 0, 75, 50, 0, 0, 300, 200}, rfTriangle, false},
      {"enlarged", p.get(), {0, 0, 90, 60, 10, 10, 30, 20}, rfFastLinear, false},
      {"under half", p.get(), {0, 0, 160, 110, 0, 0, 300, 200}, rfFastLinear, false},
      {"alpha", withAlpha.get(), {0, 0, 75, 50, 0, 0, 300, 200}, rfFastLinear, true},
  };
  for (const Case& c : cases) {
    TZoomRenderCache cache;
    auto a = Buffer(100, 80), b = Buffer(100, 80);
    Cached(cache, *c.picture, *a, c.frame, c.filter, c.useAlpha);
    Direct(*c.picture, *b, c.frame, c.filter, c.useAlpha);
    EXPECT_EQ(Bytes(*a), Bytes(*b)) << c.name;
    EXPECT_EQ(cache.LevelCount(), 0) << c.name;
  }
}

TEST(ZoomCache, InvalidateAndANewSizeRebuildTheLevels) {
  auto p = Picture(200, 100, [](int, int) { return TColorBGR{10, 20, 30}; });
  const TFrame f{0, 0, 50, 25, 0, 0, 200, 100};
  TZoomRenderCache cache;
  auto out = Buffer(50, 25);
  Cached(cache, *p, *out, f, rfFastLinear);
  EXPECT_EQ(out->ScanLine(10)[3 * 20], 10);
  EXPECT_EQ(cache.LevelCount(), 2);
  EXPECT_EQ(cache.LevelBytes(), size_t(300 * 50 + 152 * 25));  // rows padded to 4 bytes

  // New pixels in the same bitmap: shown once the owner invalidates.
  p->FillWith(0);
  for (int y = 0; y < 100; ++y) std::memset(p->RowPointer(y), 200, 600);
  cache.Invalidate();
  EXPECT_EQ(cache.LevelCount(), 0);
  Cached(cache, *p, *out, f, rfFastLinear);
  EXPECT_EQ(out->ScanLine(10)[3 * 20], 200);

  // Another size is noticed without being told.
  p->AllocatePixels(400, 100, pxRGB24);
  for (int y = 0; y < 100; ++y) std::memset(p->RowPointer(y), 90, 1200);
  Cached(cache, *p, *out, TFrame{0, 0, 50, 25, 0, 0, 400, 100}, rfFastLinear);
  EXPECT_EQ(out->ScanLine(10)[3 * 20], 90);
}

}  // namespace
}  // namespace rv
