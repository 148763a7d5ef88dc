// Decoding 24-megapixel PCX, TGA, PNM, BMP and WBMP files and a 256 x 256
// icon through TPictureIO, as the application loads them, beside a memcpy of
// the picture's pixel bytes in the same run. The files come from bench/compare_small_readers.py, which makes
// them with ImageMagick into the folder named by REVIMORA_SMALL_DIR and
// compares these figures with ImageMagick and Pillow on the same files.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "io/pictureio.h"

namespace rv {
namespace {

std::string SmallFile(const char* name) {
  const char* dir = std::getenv("REVIMORA_SMALL_DIR");
  return dir ? std::string(dir) + "/" + name : std::string();
}

void SmallRead(benchmark::State& state, const char* name) {
  const std::string path = SmallFile(name);
  if (path.empty()) {
    state.SkipWithError("REVIMORA_SMALL_DIR is not set (bench/compare_small_readers.py makes the files)");
    return;
  }
  TPictureIO io;
  io.LoadFileByExtension(path);  // also warms the page cache
  if (io.Aborted() || io.TargetBitmap()->IsEmpty()) {
    state.SkipWithError(("cannot load " + path + ": " + io.AbortReason()).c_str());
    return;
  }
  for (auto _ : state) {
    io.LoadFileByExtension(path);
    benchmark::DoNotOptimize(io.TargetBitmap()->RowPointer(0));
  }
  const int64_t pixels = int64_t(io.TargetBitmap()->Width()) * io.TargetBitmap()->Height();
  state.SetItemsProcessed(int64_t(state.iterations()) * pixels);
  state.counters["MP"] = double(pixels) / 1e6;
}

// The pixel bytes of a 6000 x 4000 24-bit picture copied once.
void SmallReadMemcpy(benchmark::State& state) {
  const size_t bytes = size_t(6000) * 4000 * 3;
  std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 6000 * 4000);
}

BENCHMARK_CAPTURE(SmallRead, pcx24, "pcx24.pcx")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, tga24, "tga24.tga")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, tga24rle, "tga24rle.tga")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, ppm, "photo.ppm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, pgm16, "gray16.pgm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, bmp24, "bmp24.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, bmp8rle, "bmp8rle.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, wbmp, "photo.wbmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SmallRead, ico, "icon.ico")->Unit(benchmark::kMillisecond);
BENCHMARK(SmallReadMemcpy)->Name("SmallRead/memcpy")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rv
