// Decoding a 24-megapixel 256-colour GIF through TPictureIO, as the
// application loads it: to pxRGB24 (the default) and to pxPalette8 (the
// indices with the table as palette, NativePixelFormat), and the LZW decoder
// alone on the same file's code stream. The file comes from
// bench/compare_gif.py, which makes it with Pillow, names it in
// REVIMORA_GIF_FILE and compares these figures with giflib and Pillow doing
// the same work on the same file in the same run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "io/pictureio.h"
#include "io/readers/giflzw.h"

namespace rv {
namespace {

std::vector<uint8_t> BenchFile(benchmark::State& state) {
  const char* path = std::getenv("REVIMORA_GIF_FILE");
  if (!path) {
    state.SkipWithError("REVIMORA_GIF_FILE is not set (bench/compare_gif.py makes the file)");
    return {};
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) state.SkipWithError((std::string("cannot read ") + path).c_str());
  return bytes;
}

// From memory into a fresh picture each time, as a load of a new file does.
void DecodeThroughPictureIO(benchmark::State& state, bool native, TPxBitmapFormat expected) {
  const std::vector<uint8_t> bytes = BenchFile(state);
  if (bytes.empty()) return;
  int64_t pixels = 0;
  for (auto _ : state) {
    TPictureIO io;
    io.SetNativePixelFormat(native);
    io.LoadBuffer(bytes.data(), int64_t(bytes.size()), ffGIF);
    if (io.Aborted() || io.TargetBitmap()->Format() != expected) {
      state.SkipWithError(("cannot load: " + io.AbortReason()).c_str());
      return;
    }
    pixels = int64_t(io.TargetBitmap()->Width()) * io.TargetBitmap()->Height();
    benchmark::DoNotOptimize(io.TargetBitmap()->RowPointer(0));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * pixels);
  state.counters["MP"] = double(pixels) / 1e6;
}

void GifDecodeToRGB24(benchmark::State& state) {
  DecodeThroughPictureIO(state, false, pxRGB24);
}
BENCHMARK(GifDecodeToRGB24)->Unit(benchmark::kMillisecond);

void GifDecodeToPalette8(benchmark::State& state) {
  DecodeThroughPictureIO(state, true, pxPalette8);
}
BENCHMARK(GifDecodeToPalette8)->Unit(benchmark::kMillisecond);

// The code stream of the file's first image, joined from its sub-blocks,
// decoded to indices (no colour expansion, no stream reading).
void GifLzwIndices(benchmark::State& state) {
  const std::vector<uint8_t> bytes = BenchFile(state);
  if (bytes.empty()) return;
  size_t p = 13;
  if (bytes[10] & 0x80) p += 3u << ((bytes[10] & 7) + 1);
  while (p < bytes.size() && bytes[p] == 0x21) {  // extensions before the image
    p += 2;
    while (p < bytes.size() && bytes[p] != 0) p += bytes[p] + 1u;
    ++p;
  }
  if (p + 11 > bytes.size() || bytes[p] != 0x2C) {
    state.SkipWithError("no image descriptor where expected");
    return;
  }
  const int width = bytes[p + 5] | bytes[p + 6] << 8, height = bytes[p + 7] | bytes[p + 8] << 8;
  if (bytes[p + 9] & 0x80) p += 3u << ((bytes[p + 9] & 7) + 1);
  const int minCodeSize = bytes[p + 10];
  std::vector<uint8_t> data;
  for (p += 11; p < bytes.size() && bytes[p] != 0; p += bytes[p] + 1u)
    data.insert(data.end(), bytes.begin() + long(p) + 1,
                bytes.begin() + long(std::min(bytes.size(), p + 1 + bytes[p])));
  std::vector<uint8_t> indices(size_t(width) * size_t(height));
  for (auto _ : state) {
    DecodeGifLzwData(data.data(), data.size(), minCodeSize, width, height, indices.data(), false);
    benchmark::DoNotOptimize(indices.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}
BENCHMARK(GifLzwIndices)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rv
