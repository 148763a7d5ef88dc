// JPEG, PNG and JPEG 2000 decoding of 24-megapixel files through TPictureIO,
// as the application loads them (a fresh component and bitmap each time),
// beside the same library called directly into a fresh buffer with the same
// output layout, in the same run. The files come from bench/compare_codecs.py,
// which makes them with ImageMagick and OpenJPEG into the folder named by
// REVIMORA_CODECS_DIR and compares these figures with Pillow, ImageMagick and
// opj_decompress on the same files.
//
// Like with like: the direct harnesses read the file through stdio with a
// 64 KiB buffer (the size of our file reads) and write their output into a
// block allocated as our bitmaps allocate theirs (2 MiB-aligned, offered to
// transparent huge pages from 8 MiB). The .../library_malloc variants take
// a plain new[] block on small pages instead, to show what that costs.
#include <benchmark/benchmark.h>
#include <openjpeg.h>
#include <png.h>

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "io/pictureio.h"

namespace rv {
namespace {

std::string CodecFile(const char* name) {
  const char* dir = std::getenv("REVIMORA_CODECS_DIR");
  return dir ? std::string(dir) + "/" + name : std::string();
}

bool Exists(const std::string& path) {
  std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

// How a direct harness takes its output block.
enum class TAlloc {
  kLikeOurs,  // as TPxBitmap does: 2 MiB-aligned whole 2 MiB pages, MADV_HUGEPAGE from 8 MiB
  kNew,       // new[]: small pages
};

constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kReadBuffer = 64 << 10;

struct TBlock {
  uint8_t* data = nullptr;
  bool aligned = false;
  TBlock(size_t bytes, TAlloc how) {
    if (how == TAlloc::kNew) {
      data = new uint8_t[bytes];
      return;
    }
    void* p = nullptr;
    aligned = true;
    if (bytes >= 4 * kHugePage) {
      bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);  // whole huge pages, as ours
      if (posix_memalign(&p, kHugePage, bytes) == 0) madvise(p, bytes, MADV_HUGEPAGE);
    } else if (posix_memalign(&p, 32, bytes) != 0) {
      p = nullptr;
    }
    data = static_cast<uint8_t*>(p);
  }
  ~TBlock() {
    if (aligned) {
      std::free(data);
    } else {
      delete[] data;
    }
  }
  TBlock(const TBlock&) = delete;
  TBlock& operator=(const TBlock&) = delete;
};

// The file through stdio, read in blocks of our size.
struct TFile {
  std::FILE* f;
  std::vector<char> buffer;
  explicit TFile(const std::string& path) : f(std::fopen(path.c_str(), "rb")), buffer(kReadBuffer) {
    if (f) setvbuf(f, buffer.data(), _IOFBF, buffer.size());
  }
  ~TFile() {
    if (f) std::fclose(f);
  }
};

void Report(benchmark::State& state, int64_t pixels) {
  state.SetItemsProcessed(int64_t(state.iterations()) * pixels);
  state.counters["MP"] = double(pixels) / 1e6;
}

// ------------------------------------------------------------ through TPictureIO

// jpegScale: the JpegScale option (4 = 1/8).
void Ours(benchmark::State& state, const char* name, int jpegScale) {
  const std::string path = CodecFile(name);
  if (!Exists(path)) {
    state.SkipWithError("REVIMORA_CODECS_DIR has no such file (bench/compare_codecs.py makes them)");
    return;
  }
  int64_t pixels = 0;
  for (auto _ : state) {
    TPictureIO io;  // a fresh target bitmap each time, as for a new picture
    io.ImageParams().JpegScale = static_cast<uint8_t>(jpegScale);
    io.LoadFileByExtension(path);
    if (io.Aborted()) {
      state.SkipWithError(("cannot load " + path + ": " + io.AbortReason()).c_str());
      return;
    }
    pixels = int64_t(io.TargetBitmap()->Width()) * io.TargetBitmap()->Height();
    benchmark::DoNotOptimize(io.TargetBitmap()->RowPointer(0));
  }
  Report(state, pixels);
}

// ------------------------------------------------------------ the libraries directly

// libjpeg-turbo into a fresh buffer of blue, green, red rows.
void DirectJpeg(benchmark::State& state, const char* name, int denominator, TAlloc how) {
  const std::string path = CodecFile(name);
  if (!Exists(path)) {
    state.SkipWithError("REVIMORA_CODECS_DIR has no such file (bench/compare_codecs.py makes them)");
    return;
  }
  int64_t pixels = 0;
  for (auto _ : state) {
    TFile file(path);
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file.f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(denominator);
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(cinfo.output_width) * 3;
    TBlock out(stride * cinfo.output_height, how);
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
      const unsigned n = std::min(16u, cinfo.output_height - cinfo.output_scanline);
      for (unsigned i = 0; i < n; ++i) rows[i] = out.data + stride * (cinfo.output_scanline + i);
      jpeg_read_scanlines(&cinfo, rows, n);
    }
    pixels = int64_t(cinfo.output_width) * cinfo.output_height;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(out.data);
  }
  Report(state, pixels);
}

// libpng into a fresh buffer, blue-green-red(-alpha) order, 8 bits a sample,
// de-interlaced by libpng.
void DirectPng(benchmark::State& state, const char* name, TAlloc how) {
  const std::string path = CodecFile(name);
  if (!Exists(path)) {
    state.SkipWithError("REVIMORA_CODECS_DIR has no such file (bench/compare_codecs.py makes them)");
    return;
  }
  int64_t pixels = 0;
  for (auto _ : state) {
    TFile file(path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file.f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    TBlock out(stride * height, how);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = out.data + stride * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    pixels = int64_t(width) * height;
    benchmark::DoNotOptimize(out.data);
  }
  Report(state, pixels);
}

// OpenJPEG decoding into its own component buffers, then those (8-bit
// unsigned red, green, blue at full size, which the test file has) clamped
// and interleaved into blue, green, red rows, as a reader must.
void DirectOpenJpeg(benchmark::State& state, const char* name, TAlloc how) {
  const std::string path = CodecFile(name);
  if (!Exists(path)) {
    state.SkipWithError("REVIMORA_CODECS_DIR has no such file (bench/compare_codecs.py makes them)");
    return;
  }
  int64_t pixels = 0;
  for (auto _ : state) {
    opj_stream_t* stream = opj_stream_create_file_stream(path.c_str(), kReadBuffer, OPJ_TRUE);
    opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_JP2);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_setup_decoder(codec, &parameters);
    opj_image_t* image = nullptr;
    if (!opj_read_header(stream, codec, &image) || !opj_decode(codec, stream, image) ||
        !opj_end_decompress(codec, stream)) {
      state.SkipWithError("OpenJPEG cannot decode the file");
    } else if (image->numcomps != 3 || image->comps[0].prec != 8 || image->comps[0].sgnd || image->comps[1].dx != 1 ||
               image->comps[2].dy != 1) {
      state.SkipWithError("expected 8-bit RGB at full size");
    } else {
      const size_t width = image->comps[0].w, height = image->comps[0].h;
      TBlock out(width * 3 * height, how);
      const OPJ_INT32* r = image->comps[0].data;
      const OPJ_INT32* g = image->comps[1].data;
      const OPJ_INT32* b = image->comps[2].data;
      for (size_t i = 0, n = width * height; i < n; ++i) {
        out.data[3 * i] = static_cast<uint8_t>(std::clamp(b[i], 0, 255));
        out.data[3 * i + 1] = static_cast<uint8_t>(std::clamp(g[i], 0, 255));
        out.data[3 * i + 2] = static_cast<uint8_t>(std::clamp(r[i], 0, 255));
      }
      pixels = int64_t(width * height);
      benchmark::DoNotOptimize(out.data);
    }
    if (image) opj_image_destroy(image);
    opj_destroy_codec(codec);
    opj_stream_destroy(stream);
  }
  Report(state, pixels);
}

constexpr auto kMs = benchmark::kMillisecond;

constexpr TAlloc kOurs = TAlloc::kLikeOurs, kNew = TAlloc::kNew;

BENCHMARK_CAPTURE(Ours, jpeg_baseline, "baseline.jpg", 1)->Name("Codec/jpeg_baseline/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_baseline, "baseline.jpg", 1, kOurs)->Name("Codec/jpeg_baseline/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_baseline, "baseline.jpg", 1, kNew)
    ->Name("Codec/jpeg_baseline/library_malloc")
    ->Unit(kMs);
BENCHMARK_CAPTURE(Ours, jpeg_progressive, "progressive.jpg", 1)->Name("Codec/jpeg_progressive/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_progressive, "progressive.jpg", 1, kOurs)
    ->Name("Codec/jpeg_progressive/library")
    ->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_progressive, "progressive.jpg", 1, kNew)
    ->Name("Codec/jpeg_progressive/library_malloc")
    ->Unit(kMs);
BENCHMARK_CAPTURE(Ours, jpeg_scale8, "baseline.jpg", 4)->Name("Codec/jpeg_scale8/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_scale8, "baseline.jpg", 8, kOurs)->Name("Codec/jpeg_scale8/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectJpeg, jpeg_scale8, "baseline.jpg", 8, kNew)
    ->Name("Codec/jpeg_scale8/library_malloc")
    ->Unit(kMs);
BENCHMARK_CAPTURE(Ours, png_rgb, "rgb.png", 1)->Name("Codec/png_rgb/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_rgb, "rgb.png", kOurs)->Name("Codec/png_rgb/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_rgb, "rgb.png", kNew)->Name("Codec/png_rgb/library_malloc")->Unit(kMs);
BENCHMARK_CAPTURE(Ours, png_rgba, "rgba.png", 1)->Name("Codec/png_rgba/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_rgba, "rgba.png", kOurs)->Name("Codec/png_rgba/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_rgba, "rgba.png", kNew)->Name("Codec/png_rgba/library_malloc")->Unit(kMs);
BENCHMARK_CAPTURE(Ours, png_interlaced, "interlaced.png", 1)->Name("Codec/png_interlaced/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_interlaced, "interlaced.png", kOurs)->Name("Codec/png_interlaced/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectPng, png_interlaced, "interlaced.png", kNew)
    ->Name("Codec/png_interlaced/library_malloc")
    ->Unit(kMs);
BENCHMARK_CAPTURE(Ours, jp2, "photo.jp2", 1)->Name("Codec/jp2/ours")->Unit(kMs);
BENCHMARK_CAPTURE(DirectOpenJpeg, jp2, "photo.jp2", kOurs)->Name("Codec/jp2/library")->Unit(kMs);
BENCHMARK_CAPTURE(DirectOpenJpeg, jp2, "photo.jp2", kNew)->Name("Codec/jp2/library_malloc")->Unit(kMs);

}  // namespace
}  // namespace rv
