// TIFF decoding through ReadTiff, from memory into a fresh bitmap each time,
// on the files bench/compare_tiff.py makes in REVIMORA_TIFF_DIR (the script
// runs libtiff and Pillow on the same files in the same run).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/tiffreader.h"

namespace {

std::vector<uint8_t> LoadTiffBenchFile(const std::string& name) {
  const char* dir = std::getenv("REVIMORA_TIFF_DIR");
  std::ifstream in(std::string(dir ? dir : "/dev/shm/revimora-tiff") + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void TiffRead(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> file = LoadTiffBenchFile(name);
  if (file.empty()) {
    state.SkipWithError("file missing: run bench/compare_tiff.py");
    return;
  }
  int64_t pixels = 0;
  for (auto _ : state) {
    rv::TPxMemStream stream(file.data(), int64_t(file.size()));
    rv::TPxBitmap bitmap;
    rv::TIOParamsVals params;
    bool aborted = false;
    rv::TProgressRecord progress;
    progress.Aborted = &aborted;
    std::unique_ptr<rv::TPxMask> mask;
    rv::TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
    rv::ReadTiff(ctx);
    if (aborted) {
      state.SkipWithError(progress.AbortReason.c_str());
      return;
    }
    pixels = int64_t(bitmap.Width()) * bitmap.Height();
    benchmark::DoNotOptimize(bitmap.RowPointer(0));
  }
  state.SetItemsProcessed(state.iterations() * pixels);
}

}  // namespace

BENCHMARK_CAPTURE(TiffRead, none, "rgb_none.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TiffRead, lzw_predictor, "rgb_lzw2.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TiffRead, packbits, "rgb_packbits.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TiffRead, g4, "g4.tif")->Unit(benchmark::kMillisecond);
