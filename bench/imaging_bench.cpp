// Conversions, fills and allocation of a 24-megapixel picture, each beside a
// memcpy or memset of the same number of bytes in the same run. The memcpy and
// memset buffers are allocated as picture blocks are (2 MiB aligned, huge
// pages), so both sides pay the same for address translation.
//
// Besides the usual mean time, every case reports best_ms: the thread CPU time
// of its fastest iteration. On a machine shared with other work the mean also
// measures what the others do to the caches and the memory bus; the fastest
// iteration is the nearest to the code's own speed, and it is taken the same
// way on both sides of a comparison.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "imaging/pxbitmap.h"

namespace rv {
namespace {

constexpr int kWidth = 6000, kHeight = 4000;  // 24 MP

double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

class TBestIteration {
 public:
  explicit TBestIteration(benchmark::State& state) : state_(state) {}
  ~TBestIteration() { state_.counters["best_ms"] = best_ * 1e3; }
  void Start() { start_ = ThreadSeconds(); }
  void Stop() { best_ = std::min(best_, ThreadSeconds() - start_); }

 private:
  benchmark::State& state_;
  double start_ = 0, best_ = 1e30;
};

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
  TBestIteration best(state);
  for (auto _ : state) {
    best.Start();
    dest.ConvertPixelsFrom(*source);
    benchmark::DoNotOptimize(dest.RowPointer(0));
    best.Stop();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * source->RowLength() * kHeight);
}

// The conversion and a memcpy of its source bytes taken in turns, each timed
// (thread CPU time) in every iteration, so both see the same load from other
// work and the same source. Counters: median and fastest time of each side,
// and rate = memcpy time / conversion time of the medians (and of the fastest).
void ConvertBesideMemcpy(benchmark::State& state, TPxBitmapFormat from, TPxBitmapFormat to);

// `bytes` bytes in one block allocated the way picture pixels are: a pxGray8
// picture of kHeight rows (every byte count used here is a multiple of 4 x kHeight).
class TPictureBytes {
 public:
  explicit TPictureBytes(int64_t bytes, uint8_t fill) {
    picture_.SetLocation(pxInMemory);
    picture_.SetMemoryThreshold(int64_t(1) << 40);
    picture_.AllocatePixels(int(bytes / kHeight), kHeight, pxGray8);
    std::memset(Data(), fill, Size());
  }
  // Rows are stored bottom-up: the last row starts the block.
  uint8_t* Data() { return picture_.RowPointer(kHeight - 1); }
  size_t Size() { return size_t(picture_.RowLength()) * kHeight; }

 private:
  TPxBitmap picture_;
};

void Memcpy(benchmark::State& state) {
  TPictureBytes a(state.range(0), 1), b(state.range(0), 2);
  TBestIteration best(state);
  for (auto _ : state) {
    best.Start();
    std::memcpy(b.Data(), a.Data(), a.Size());
    benchmark::DoNotOptimize(b.Data());
    benchmark::ClobberMemory();
    best.Stop();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(a.Size()));
}

void Memset(benchmark::State& state) {
  TPictureBytes a(state.range(0), 1);
  int v = 0;
  TBestIteration best(state);
  for (auto _ : state) {
    best.Start();
    std::memset(a.Data(), ++v, a.Size());
    benchmark::DoNotOptimize(a.Data());
    benchmark::ClobberMemory();
    best.Stop();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(a.Size()));
}

// FillWith of an allocated, already touched picture (as a reader clears its
// picture before decoding into it), beside a memset of the same bytes.
void FillWith(benchmark::State& state, TPxBitmapFormat format, double value) {
  TPxBitmap b;
  b.SetLocation(pxInMemory);
  b.SetMemoryThreshold(int64_t(1) << 40);
  b.AllocatePixels(kWidth, kHeight, format);
  b.FillWith(0);
  TBestIteration best(state);
  for (auto _ : state) {
    best.Start();
    b.FillWith(value);
    benchmark::DoNotOptimize(b.RowPointer(0));
    benchmark::ClobberMemory();
    best.Stop();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * b.RowLength() * kHeight);
}

void ConvertBesideMemcpy(benchmark::State& state, TPxBitmapFormat from, TPxBitmapFormat to) {
  auto source = MakeSource(from);
  TPxBitmap dest;
  dest.SetLocation(pxInMemory);
  dest.SetMemoryThreshold(int64_t(1) << 40);
  dest.AllocatePixels(kWidth, kHeight, to);
  const int64_t bytes = int64_t(source->RowLength()) * kHeight;
  TPictureBytes copy(bytes, 0);
  const uint8_t* sourceBytes = source->RowPointer(kHeight - 1);  // rows bottom-up: the block's start
  dest.ConvertPixelsFrom(*source);
  std::vector<double> convert, memcpyTimes;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    dest.ConvertPixelsFrom(*source);
    benchmark::DoNotOptimize(dest.RowPointer(0));
    const double t1 = ThreadSeconds();
    std::memcpy(copy.Data(), sourceBytes, size_t(bytes));
    benchmark::DoNotOptimize(copy.Data());
    benchmark::ClobberMemory();
    const double t2 = ThreadSeconds();
    convert.push_back(t1 - t0);
    memcpyTimes.push_back(t2 - t1);
  }
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  const double cm = median(convert), mm = median(memcpyTimes);
  const double cb = *std::min_element(convert.begin(), convert.end());
  const double mb = *std::min_element(memcpyTimes.begin(), memcpyTimes.end());
  state.counters["convert_ms"] = cm * 1e3;
  state.counters["memcpy_ms"] = mm * 1e3;
  state.counters["rate"] = mm / cm;
  state.counters["convert_best_ms"] = cb * 1e3;
  state.counters["memcpy_best_ms"] = mb * 1e3;
  state.counters["rate_best"] = mb / cb;
}

// A fresh 24 MP pxRGB24 picture, every byte touched once.
void AllocateAndTouch(benchmark::State& state) {
  TBestIteration best(state);
  for (auto _ : state) {
    best.Start();
    {
      TPxBitmap b;
      b.SetLocation(pxInMemory);
      b.SetMemoryThreshold(int64_t(1) << 40);
      b.AllocatePixels(kWidth, kHeight, pxRGB24);
      for (int y = 0; y < kHeight; ++y) std::memset(b.RowPointer(y), y, size_t(b.RowLength()));
      benchmark::DoNotOptimize(b.RowPointer(0));
    }
    best.Stop();
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
BENCHMARK_CAPTURE(ConvertBesideMemcpy, RGB24_to_Gray8, pxRGB24, pxGray8)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK_CAPTURE(ConvertBesideMemcpy, Palette8_to_RGB24, pxPalette8, pxRGB24)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);
BENCHMARK_CAPTURE(ConvertBesideMemcpy, RGB48_to_RGB24, pxRGB48, pxRGB24)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK_CAPTURE(ConvertBesideMemcpy, CMYK_to_RGB24, pxCMYK, pxRGB24)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK_CAPTURE(FillWith, Gray8, pxGray8, 0x80)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(FillWith, RGB24_colour, pxRGB24, 0x336699)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(FillWith, RGB24_gray, pxRGB24, 0x808080)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(FillWith, CMYK_colour, pxCMYK, 0x336699)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(FillWith, RGB48_colour, pxRGB48, 0x336699)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Memcpy)
    ->Arg(int64_t(kWidth) * kHeight)
    ->Arg(int64_t(kWidth) * 3 * kHeight)
    ->Arg(int64_t(kWidth) * 4 * kHeight)
    ->Arg(int64_t(kWidth) * 6 * kHeight)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Memset)
    ->Arg(int64_t(kWidth) * kHeight)
    ->Arg(int64_t(kWidth) * 3 * kHeight)
    ->Arg(int64_t(kWidth) * 4 * kHeight)
    ->Arg(int64_t(kWidth) * 6 * kHeight)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(AllocateAndTouch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace rv
