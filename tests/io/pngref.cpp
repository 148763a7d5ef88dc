#include "pngref.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rv::test {

namespace {

struct TRawResult {
  int width;
  int height;
  int channels;
  unsigned char* pixels;  // malloc'ed, width × height × channels, RGB(A)
  char message[200];
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* result = static_cast<TRawResult*>(png_get_error_ptr(png));
  std::snprintf(result->message, sizeof result->message, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng leaves by longjmp on errors; this function holds no C++ object with
// a destructor, only raw pointers that the error path frees.
bool ReadRaw(std::FILE* file, TRawResult* result) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, result, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  png_bytep* volatile rows = nullptr;
  result->pixels = nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    std::free(rows);
    std::free(result->pixels);
    result->pixels = nullptr;
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return false;
  }
  png_init_io(png, file);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  result->width = int(png_get_image_width(png, info));
  result->height = int(png_get_image_height(png, info));
  result->channels = int(png_get_channels(png, info));
  if (result->channels != 3 && result->channels != 4) png_error(png, "unexpected channel count");
  const size_t rowBytes = png_get_rowbytes(png, info);
  result->pixels = static_cast<unsigned char*>(std::malloc(rowBytes * size_t(result->height)));
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * size_t(result->height)));
  if (!result->pixels || !rows) png_error(png, "out of memory");
  for (int y = 0; y < result->height; ++y) rows[y] = result->pixels + size_t(y) * rowBytes;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  std::free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

bool ReadPngReference(const std::string& path, TRefImage& image, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  TRawResult raw{};
  const bool ok = ReadRaw(file, &raw);
  std::fclose(file);
  if (!ok) {
    if (error) *error = path + ": " + raw.message;
    return false;
  }
  image.Width = raw.width;
  image.Height = raw.height;
  image.HasAlpha = raw.channels == 4;
  const size_t count = size_t(raw.width) * size_t(raw.height);
  image.Pixels.resize(count * size_t(raw.channels));
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* s = raw.pixels + i * size_t(raw.channels);
    uint8_t* d = image.Pixels.data() + i * size_t(raw.channels);
    d[0] = s[2];
    d[1] = s[1];
    d[2] = s[0];
    if (raw.channels == 4) d[3] = s[3];
  }
  std::free(raw.pixels);
  return true;
}

}  // namespace rv::test
