// One frame of the picture view: the visible part of a 24 MP (6000 x 4000
// pxRGB24) picture rendered into a 1920 x 1080 24-bit back buffer at several
// zooms, with the rectangles a view centred on the picture uses, beside a
// copy of the buffer's bytes. bench/compare_view_render.py runs these and
// writes the "View rendering" section of docs/BENCHMARKS.md.
//
//   ViewRender/direct/<filter>/zoomN   RenderScaledToTBitmap, as the view calls it
//   ViewRender/cached/<filter>/zoomN   TZoomRenderCache::Render with its levels built
//   ViewRender/firstframe/rfFastLinear/zoomN  the same right after Invalidate
//                                      (building the levels it needs is part of the frame)
//   ViewRender/memcpy_1920x1080x3      the back buffer's bytes into another back buffer
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/pxbitmap.h"
#include "imaging/pxrender.h"
#include "platform/tbitmap.h"
#include "viewer/zoomcache.h"

namespace rv {
namespace {

constexpr int kClientW = 1920, kClientH = 1080;

// Smooth gradients with noise, like a photograph.
TPxBitmap& Picture() {
  static std::unique_ptr<TPxBitmap> picture = [] {
    const int w = 6000, h = 4000;
    auto b = std::make_unique<TPxBitmap>();
    b->SetLocation(pxInMemory);
    b->SetMemoryThreshold(int64_t(1) << 40);
    b->AllocatePixels(w, h, pxRGB24);
    uint32_t state = 7;
    auto rng = [&state] {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      return state;
    };
    for (int y = 0; y < h; ++y) {
      uint8_t* row = b->RowPointer(y);
      for (int x = 0; x < w; ++x) {
        row[3 * x] = uint8_t(x * 255 / w / 2 + (rng() & 31));
        row[3 * x + 1] = uint8_t(y * 255 / h / 2 + (rng() & 31));
        row[3 * x + 2] = uint8_t((x + y) * 127 / (w + h) + (rng() & 63));
      }
    }
    return b;
  }();
  return *picture;
}

std::unique_ptr<TBitmap> BackBuffer() {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(TPixelFormat::pf24bit);
  b->SetSize(kClientW, kClientH);
  std::memset(b->Bits(), 0x80, size_t(b->RowLength()) * kClientH);
  return b;
}

// The rectangles of a view whose client area is 1920 x 1080, centred on the
// picture (offsets half the scroll range), computed as its visible region
// is: zoomed size rounded, source rectangle rounded from the offset, one
// more source column (row) when an enlargement would leave a gap.
struct TGeometry {
  int originX, originY, destW, destH, srcX, srcY, srcW, srcH;
};

void Axis(int bitmap, int client, double zoom, int& origin, int& dest, int& src, int& srcLen) {
  const double z = zoom / 100;
  const int zoomed = int(std::nearbyint(bitmap * z));
  const int visible = std::min(zoomed, client);
  origin = client > visible ? (client - visible) >> 1 : 0;
  const int offset = (zoomed - visible) / 2;
  const double r = double(bitmap) / zoomed;
  src = int(std::nearbyint(offset * r));
  srcLen = int(std::nearbyint(r * visible));
  if (src + srcLen > bitmap) --srcLen;
  if (zoom > 100) {
    dest = int(srcLen * z);
    if (dest < visible && src + srcLen + 1 <= bitmap) dest = int(++srcLen * z);
  } else {
    dest = visible;
  }
}

TGeometry ViewGeometry(double zoom) {
  TPxBitmap& p = Picture();
  TGeometry g{};
  Axis(p.Width(), kClientW, zoom, g.originX, g.destW, g.srcX, g.srcW);
  Axis(p.Height(), kClientH, zoom, g.originY, g.destH, g.srcY, g.srcH);
  return g;
}

enum class TPath { Direct, Cached, FirstFrame };

void Frame(benchmark::State& state, TPath path, double zoom, TResampleFilter filter) {
  TPxBitmap& picture = Picture();
  auto buffer = BackBuffer();
  const TGeometry g = ViewGeometry(zoom);
  const TRenderClip clip{0, 0, kClientW - 1, kClientH - 1};
  // The view keeps its row table and maps between frames.
  TRenderTables tables;
  TZoomRenderCache cache;
  auto render = [&] {
    if (path == TPath::Direct)
      RenderScaledToTBitmap(picture, *buffer, &tables, &clip, g.originX, g.originY, g.destW, g.destH, g.srcX, g.srcY,
                            g.srcW, g.srcH, false, true, 255, filter, false, 0);
    else
      cache.Render(picture, *buffer, &tables, &clip, g.originX, g.originY, g.destW, g.destH, g.srcX, g.srcY, g.srcW,
                   g.srcH, false, true, 255, filter, false, 0);
  };
  render();  // tables and (for the cached path) levels
  for (auto _ : state) {
    if (path == TPath::FirstFrame) cache.Invalidate();
    render();
    benchmark::DoNotOptimize(buffer->Bits());
    benchmark::ClobberMemory();
  }
  state.counters["levels"] = cache.LevelCount();
  state.counters["level_mb"] = double(cache.LevelBytes()) / 1e6;
}

void BufferMemcpy(benchmark::State& state) {
  auto a = BackBuffer(), b = BackBuffer();
  const size_t bytes = size_t(a->RowLength()) * kClientH;
  for (auto _ : state) {
    std::memcpy(b->Bits(), a->Bits(), bytes);
    benchmark::DoNotOptimize(b->Bits());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void RegisterAll() {
  const int zooms[] = {10, 37, 100, 350, 1000};
  const struct {
    TPath path;
    const char* name;
  } paths[] = {{TPath::Direct, "direct"}, {TPath::Cached, "cached"}, {TPath::FirstFrame, "firstframe"}};
  for (const auto& p : paths)
    for (TResampleFilter f : {rfNone, rfFastLinear}) {
      if (p.path == TPath::FirstFrame && f == rfNone) continue;
      for (int zoom : zooms) {
        const std::string name =
            std::string("ViewRender/") + p.name + "/" + ResampleFilterName(f) + "/zoom" + std::to_string(zoom);
        benchmark::RegisterBenchmark(name.c_str(), Frame, p.path, double(zoom), f)->Unit(benchmark::kMillisecond);
      }
    }
  benchmark::RegisterBenchmark("ViewRender/memcpy_1920x1080x3", BufferMemcpy)->Unit(benchmark::kMillisecond);
}

const int registered = (RegisterAll(), 0);

}  // namespace
}  // namespace rv
