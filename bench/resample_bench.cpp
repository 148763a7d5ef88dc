// Resampling and scaled rendering of a 24 MP picture. bench/compare_resample.py
// runs these beside Pillow and libvips on the same pixels: it passes the
// pictures as binary PPM files through REVIMORA_RESAMPLE_LARGE (6000 x 4000)
// and REVIMORA_RESAMPLE_SMALL (1000 x 700); without them a synthetic picture
// of those sizes is used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxrender.h"
#include "imaging/pxresample.h"

namespace rv {
namespace {

std::unique_ptr<TPxBitmap> NewInMemory(int w, int h) {
  auto b = std::make_unique<TPxBitmap>();
  b->SetLocation(pxInMemory);
  b->SetMemoryThreshold(int64_t(1) << 40);
  b->AllocatePixels(w, h, pxRGB24);
  return b;
}

// Binary PPM (P6, maxval 255) into pxRGB24; nullptr when it cannot be read.
std::unique_ptr<TPxBitmap> LoadPPM(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return nullptr;
  int w = 0, h = 0, maxval = 0;
  char magic[3] = {};
  std::unique_ptr<TPxBitmap> b;
  if (std::fscanf(f, "%2s %d %d %d", magic, &w, &h, &maxval) == 4 && std::strcmp(magic, "P6") == 0 && maxval == 255 &&
      w > 0 && h > 0 && std::fgetc(f) != EOF) {
    b = NewInMemory(w, h);
    std::vector<uint8_t> row(size_t(w) * 3);
    for (int y = 0; y < h && b; ++y) {
      if (std::fread(row.data(), 1, row.size(), f) != row.size()) b.reset();
      if (!b) break;
      uint8_t* d = b->RowPointer(y);
      for (int x = 0; x < w; ++x) {  // RGB to BGR
        d[3 * x] = row[3 * size_t(x) + 2];
        d[3 * x + 1] = row[3 * size_t(x) + 1];
        d[3 * x + 2] = row[3 * size_t(x)];
      }
    }
  }
  std::fclose(f);
  return b;
}

// Smooth gradients with noise, like a photograph.
std::unique_ptr<TPxBitmap> Synthetic(int w, int h) {
  auto b = NewInMemory(w, h);
  uint32_t state = 11;
  auto rng = [&state] {  // xorshift: cheap, so setting up stays quick
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
}

TPxBitmap& Picture(const char* env, int w, int h) {
  static std::unique_ptr<TPxBitmap> large, small;
  std::unique_ptr<TPxBitmap>& slot = w > 1000 ? large : small;
  if (!slot) {
    const char* path = std::getenv(env);
    if (path) slot = LoadPPM(path);
    if (!slot) slot = Synthetic(w, h);
  }
  return *slot;
}
TPxBitmap& Large() {
  return Picture("REVIMORA_RESAMPLE_LARGE", 6000, 4000);
}
TPxBitmap& Small() {
  return Picture("REVIMORA_RESAMPLE_SMALL", 1000, 700);
}

void Resample(benchmark::State& state, bool large, TResampleFilter filter, int dw, int dh) {
  TPxBitmap& source = large ? Large() : Small();
  auto dest = NewInMemory(dw, dh);
  for (auto _ : state) {
    FilteredResample(source, *dest, filter);
    benchmark::DoNotOptimize(dest->RowPointer(0));
    benchmark::ClobberMemory();
  }
  state.counters["src_mpix"] = double(source.Width()) * source.Height() / 1e6;
}

// The view of a 1920 x 1080 window onto the 24 MP picture at a zoom, centred
// on the picture, as the viewer draws it.
void Render(benchmark::State& state, double zoomPercent, TResampleFilter filter) {
  TPxBitmap& source = Large();
  auto dest = NewInMemory(1920, 1080);
  const double z = zoomPercent / 100;
  const int dw = std::min(1920, int(std::lround(source.Width() * z)));
  const int dh = std::min(1080, int(std::lround(source.Height() * z)));
  const int sw = std::min(source.Width(), int(std::lround(dw / z)));
  const int sh = std::min(source.Height(), int(std::lround(dh / z)));
  const int sx = (source.Width() - sw) / 2, sy = (source.Height() - sh) / 2;
  for (auto _ : state) {
    RenderScaled(source, *dest, nullptr, nullptr, 0, 0, dw, dh, sx, sy, sw, sh, true, false, 255, filter, true, 0);
    benchmark::DoNotOptimize(dest->RowPointer(0));
    benchmark::ClobberMemory();
  }
}

// The frame's worth of bytes copied once, for scale.
void FrameMemcpy(benchmark::State& state) {
  const size_t bytes = size_t(1920) * 1080 * 3;
  std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void RegisterAll() {
  const TResampleFilter downFilters[] = {rfLanczos3, rfMitchell, rfBicubic,   rfTriangle,
                                         rfNearest,  rfNone,     rfFastLinear};
  const std::pair<int, int> downSizes[] = {{1920, 1280}, {600, 400}};
  for (auto [w, h] : downSizes)
    for (TResampleFilter f : downFilters) {
      const std::string name = std::string("Resample/") + ResampleFilterName(f) + "/6000x4000/" + std::to_string(w) +
                               "x" + std::to_string(h);
      benchmark::RegisterBenchmark(name.c_str(), Resample, true, f, w, h)->Unit(benchmark::kMillisecond);
    }
  for (TResampleFilter f : {rfLanczos3, rfFastLinear}) {
    const std::string name = std::string("Resample/") + ResampleFilterName(f) + "/1000x700/4000x2800";
    benchmark::RegisterBenchmark(name.c_str(), Resample, false, f, 4000, 2800)->Unit(benchmark::kMillisecond);
  }
  for (TResampleFilter f : {rfNone, rfFastLinear})
    for (int zoom : {10, 37, 100, 350}) {
      const std::string name = std::string("RenderScaled/") + ResampleFilterName(f) + "/zoom" + std::to_string(zoom);
      benchmark::RegisterBenchmark(name.c_str(), Render, double(zoom), f)->Unit(benchmark::kMillisecond);
    }
  benchmark::RegisterBenchmark("RenderScaled/memcpy_1920x1080x3", FrameMemcpy)->Unit(benchmark::kMillisecond);
}

const int registered = (RegisterAll(), 0);

}  // namespace
}  // namespace rv
