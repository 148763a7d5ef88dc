// Quarter turn of a 24 MP pxRGB24 picture beside a memcpy of its bytes, in
// the same run. bench/compare_rotate.py runs these and times Pillow's
// transpose(ROTATE_270) on the same pixels: byte i of row y is
// (7 i + 13 y) mod 256 on both sides.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "imaging/pictureproc.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxrotate.h"

namespace rv {
namespace {

constexpr int kRotateWidth = 6000, kRotateHeight = 4000;
constexpr int64_t kRotateBytes = int64_t(kRotateWidth) * 3 * kRotateHeight;

void FillRotatePicture(TPxBitmap& b) {
  b.SetLocation(pxInMemory);
  b.SetMemoryThreshold(int64_t(1) << 40);
  b.AllocatePixels(kRotateWidth, kRotateHeight, pxRGB24);
  for (int y = 0; y < kRotateHeight; ++y) {
    uint8_t* row = b.RowPointer(y);
    for (int i = 0; i < kRotateWidth * 3; ++i) row[i] = uint8_t(7 * i + 13 * y);
  }
}

// The turn as the processing component runs it, result storage included.
void RotateMinus90(benchmark::State& state) {
  TPxBitmap b;
  FillRotatePicture(b);
  for (auto _ : state) {
    RotateBitmap(b, -90, true, 0, TColorBGR{});
    benchmark::DoNotOptimize(b.RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRotateBytes);
}

// The turn alone: into a picture that already has the result's size, so its
// storage is reused.
void QuarterTurnIntoReusedPicture(benchmark::State& state) {
  TPxBitmap source, dest;
  FillRotatePicture(source);
  for (auto _ : state) {
    QuarterTurnClockwise(source, dest);
    benchmark::DoNotOptimize(dest.RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRotateBytes);
}

// What any operation that makes a new 24 MP picture pays: a copy into fresh
// storage (page faults included), for comparison with RotateMinus90.
void CopyIntoFreshPicture(benchmark::State& state) {
  TPxBitmap source;
  FillRotatePicture(source);
  for (auto _ : state) {
    TPxBitmap copy;
    copy.SetLocation(pxInMemory);
    copy.SetMemoryThreshold(int64_t(1) << 40);
    copy.AssignFrom(source);
    benchmark::DoNotOptimize(copy.RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRotateBytes);
}

// Through TPictureProc::Rotate(-90, true, 0, -1), as the application calls
// it, without (arg 0) and with (arg 1) the undo copy in a temporary file.
void PictureProcRotateMinus90(benchmark::State& state) {
  TPictureProc proc;
  proc.SetAutoUndo(state.range(0) != 0);
  FillRotatePicture(*proc.Bitmap());
  for (auto _ : state) {
    proc.Rotate(-90, true, 0, kUseBackgroundProperty);
    benchmark::DoNotOptimize(proc.Bitmap()->RowPointer(0));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRotateBytes);
}

void RotateMemcpy(benchmark::State& state) {
  std::vector<uint8_t> a(size_t(kRotateBytes), 1), b(size_t(kRotateBytes), 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRotateBytes);
}

BENCHMARK(RotateMemcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(CopyIntoFreshPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(QuarterTurnIntoReusedPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(RotateMinus90)->Unit(benchmark::kMillisecond);
BENCHMARK(PictureProcRotateMinus90)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rv
