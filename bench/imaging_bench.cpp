// Conversions and allocation of a 24-megapixel picture, each beside a memcpy
// of the same number of source bytes in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "imaging/pxbitmap.h"

namespace rv {
namespace {

constexpr int kWidth = 6000, kHeight = 4000;  // 24 MP

// A photo-like picture: smooth gradients plus noise, so the quantizer sees
// millions of distinct colours.
std::unique_ptr<TPxBitmap> MakeSource(TPxBitmapFormat format) {
  auto b = std::make_unique<TPxBitmap>();
  b->SetLocation(pxInMemory);
  b->SetMemoryThreshold(int64_t(1) << 40);
  b->AllocatePixels(kWidth, kHeight, format);
  std::mt19937 rng(7);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = b->RowPointer(y);
    const int n = b->RowLength();
    for (int i = 0; i < n; ++i) row[i] = uint8_t((i * 255 / n + y * 255 / kHeight) / 2 + (rng() & 15));
  }
  if (format == pxPalette8)
    for (int i = 0; i < 256; ++i) b->SetPaletteEntry(i, MakeBGR(uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)));
  return b;
}

void Convert(benchmark::State& state, TPxBitmapFormat from, TPxBitmapFormat to) {
  auto source = MakeSource(from);
  TPxBitmap dest;
  dest.SetLocation(pxInMemory);
  dest.SetMemoryThreshold(int64_t(1) << 40);
  dest.AllocatePixels(kWidth, kHeight, to);
  for (auto _ : state) {
    dest.ConvertPixelsFrom(*source);
    benchmark::DoNotOptimize(dest.RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * source->RowLength() * kHeight);
}

void Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(state.range(0));
  std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// A fresh 24 MP pxRGB24 picture, every byte touched once.
void AllocateAndTouch(benchmark::State& state) {
  for (auto _ : state) {
    TPxBitmap b;
    b.SetLocation(pxInMemory);
    b.SetMemoryThreshold(int64_t(1) << 40);
    b.AllocatePixels(kWidth, kHeight, pxRGB24);
    for (int y = 0; y < kHeight; ++y) std::memset(b.RowPointer(y), y, size_t(b.RowLength()));
    benchmark::DoNotOptimize(b.RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kWidth) * 3 * kHeight);
}

BENCHMARK_CAPTURE(Convert, RGB24_to_Gray8, pxRGB24, pxGray8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Convert, Palette8_to_RGB24, pxPalette8, pxRGB24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Convert, RGB48_to_RGB24, pxRGB48, pxRGB24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Convert, CMYK_to_RGB24, pxCMYK, pxRGB24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Convert, RGB24_to_Palette8, pxRGB24, pxPalette8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(Memcpy)
    ->Arg(int64_t(kWidth) * kHeight)
    ->Arg(int64_t(kWidth) * 3 * kHeight)
    ->Arg(int64_t(kWidth) * 4 * kHeight)
    ->Arg(int64_t(kWidth) * 6 * kHeight)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(AllocateAndTouch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace rv
