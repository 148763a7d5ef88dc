// revimora-decode: decodes a picture file through TPictureIO's general entry
// for tools (LoadFromFile) and writes it as PNG or PAM, or prints its
// parameters as JSON. The format is recognised from the content first, the
// name only when the content says nothing; so, unlike the viewer, which goes
// by the name, it decodes a file whose name does not match what it holds (a
// GIF called .jpg). The pixels reach the output through the library's own
// conversion to 24-bit colour (TPxBitmap::ChangeFormat).
//
//   revimora-decode FILE [-o OUT.png|OUT.pam] [--info] [--index N]
//                   [--rotate DEG] [--resize WxH [--filter NAME]]
//
// --rotate turns the decoded picture by DEG degrees (positive counter-
// clockwise) through the processing component, antialiased, new corners
// black; it comes before --resize, so --resize gives the final size.
// --resize scales the decoded picture before it is written (0 for one side
// keeps the aspect ratio); NAME is a resampling filter without its "rf"
// prefix (lanczos3, fastlinear, bicubic, none, ...), lanczos3 by default.
//
// Exit status: 0 decoded (and written), 1 the file could not be read or the
// output not written (one line "revimora-decode: FILE: <reason>" on stderr),
// 2 bad usage.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "imaging/pictureproc.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxresample.h"
#include "io/formats.h"
#include "io/pictureio.h"

namespace {

using namespace rv;

constexpr const char* kTool = "revimora-decode";

struct TOptions {
  std::string input;
  std::string output;
  bool info = false;
  bool haveIndex = false;
  int index = 0;
  int resizeWidth = -1;  // -1: no resizing
  int resizeHeight = -1;
  TResampleFilter filter = rfLanczos3;
  bool haveFilter = false;
  double rotate = 0;  // degrees; 0: no turn
};

[[noreturn]] void Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
  std::fprintf(stderr,
               "usage: %s FILE [-o OUT.png|OUT.pam] [--info] [--index N] [--rotate DEG]"
               " [--resize WxH [--filter NAME]]\n",
               kTool);
  if (problem.empty())
    std::fprintf(stderr,
                 "Decodes FILE, its format recognised from the content (else from the name), and writes\n"
                 "it as PNG or PAM (8-bit RGB, RGBA with an alpha channel). A conversion tool: it also\n"
                 "decodes files the viewer refuses because their name names another format.\n");
  std::exit(2);
}

[[noreturn]] void Fail(const std::string& file, const std::string& reason) {
  std::fprintf(stderr, "%s: %s: %s\n", kTool, file.c_str(), reason.c_str());
  std::exit(1);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
  return true;
}

TOptions ParseArguments(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o") {
      if (++i >= argc) Usage("-o needs a file name");
      o.output = argv[i];
      if (!EndsWithNoCase(o.output, ".png") && !EndsWithNoCase(o.output, ".pam"))
        Usage("the output name must end in .png or .pam");
    } else if (a == "--info") {
      o.info = true;
    } else if (a == "--index") {
      if (++i >= argc) Usage("--index needs a number");
      char* end = nullptr;
      const long v = std::strtol(argv[i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || v < 0 || v > 1000000) Usage("--index needs a number from 0");
      o.index = int(v);
      o.haveIndex = true;
    } else if (a == "--resize") {
      if (++i >= argc) Usage("--resize needs WxH");
      char* end = nullptr;
      const long w = std::strtol(argv[i], &end, 10);
      const bool sep = end != argv[i] && (*end == 'x' || *end == 'X');
      const char* hs = sep ? end + 1 : end;
      const long h = std::strtol(hs, &end, 10);
      if (!sep || end == hs || *end != '\0' || w < 0 || h < 0 || w > 65535 || h > 65535 || (w == 0 && h == 0))
        Usage("--resize needs WxH, each 0 .. 65535 and not both 0");
      o.resizeWidth = int(w);
      o.resizeHeight = int(h);
    } else if (a == "--filter") {
      if (++i >= argc) Usage("--filter needs a name");
      if (!ResampleFilterFromName(argv[i], o.filter)) Usage(std::string("unknown filter ") + argv[i]);
      o.haveFilter = true;
    } else if (a == "--rotate") {
      if (++i >= argc) Usage("--rotate needs an angle in degrees");
      char* end = nullptr;
      o.rotate = std::strtod(argv[i], &end);
      if (*argv[i] == '\0' || *end != '\0' || !(o.rotate > -1e6 && o.rotate < 1e6))
        Usage("--rotate needs an angle in degrees");
    } else if (a == "-h" || a == "--help") {
      Usage("");
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      Usage("unknown option " + a);
    } else if (o.input.empty()) {
      o.input = a;
    } else {
      Usage("one input file only");
    }
  }
  if (o.input.empty()) Usage("no input file");
  if (o.haveFilter && o.resizeWidth < 0) Usage("--filter goes with --resize");
  return o;
}

// ------------------------------------------------------------ pixels out

// The picture's rows as 8-bit red, green, blue (and alpha), top row first.
// The library turns every pixel format into 24-bit colour and the alpha
// channel into 8-bit gray; left here is the byte order of the output.
class TRgbRows {
 public:
  explicit TRgbRows(TPxBitmap& bitmap) : bitmap_(bitmap) {
    bitmap_.ChangeFormat(pxRGB24);
    alpha_ = bitmap_.HasAlphaChannel() ? bitmap_.AlphaChannel() : nullptr;
    if (alpha_) alpha_->ChangeFormat(pxGray8);
    width = bitmap_.Width();
    height = bitmap_.Height();
    channels = alpha_ ? 4 : 3;
    out_.resize(size_t(width) * size_t(channels));
  }
  int width = 0;
  int height = 0;
  int channels = 3;

  // Valid until the next call.
  const uint8_t* Row(int y) {
    const uint8_t* bgr = bitmap_.RowPointer(y);
    for (int x = 0; x < width; ++x) {
      uint8_t* d = out_.data() + size_t(x) * size_t(channels);
      d[0] = bgr[3 * size_t(x) + 2];
      d[1] = bgr[3 * size_t(x) + 1];
      d[2] = bgr[3 * size_t(x)];
    }
    if (alpha_) {
      const uint8_t* a = alpha_->RowPointer(y);
      for (int x = 0; x < width; ++x) out_[size_t(x) * 4 + 3] = a[x];
    }
    return out_.data();
  }

 private:
  TPxBitmap& bitmap_;
  TPxBitmap* alpha_ = nullptr;
  std::vector<uint8_t> out_;
};

struct TPngWriteState {
  char message[200];
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<TPngWriteState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng leaves by longjmp on errors; nothing here needs a destructor (the
// rows are made between libpng calls).
bool WritePngRaw(std::FILE* file, TRgbRows& rows, TPngWriteState* state) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(rows.width), png_uint_32(rows.height), 8,
               rows.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < rows.height; ++y) png_write_row(png, rows.Row(y));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

void WriteOutput(TPxBitmap& picture, const std::string& path) {
  TRgbRows rows(picture);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) Fail(path, std::string("cannot create: ") + std::strerror(errno));
  bool ok = true;
  std::string why = "write error";
  if (EndsWithNoCase(path, ".png")) {
    TPngWriteState state{};
    ok = WritePngRaw(file, rows, &state);
    if (!ok && state.message[0]) why = state.message;
  } else {
    std::fprintf(file, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", rows.width, rows.height,
                 rows.channels, rows.channels == 4 ? "RGB_ALPHA" : "RGB");
    const size_t stride = size_t(rows.width) * size_t(rows.channels);
    for (int y = 0; y < rows.height && ok; ++y) ok = std::fwrite(rows.Row(y), 1, stride, file) == stride;
  }
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::remove(path.c_str());
    Fail(path, why);
  }
}

// ------------------------------------------------------------ JSON

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string Hex(TColorBGR c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\"#%02x%02x%02x\"", c.r, c.g, c.b);
  return buf;
}

class TJson {
 public:
  void Add(const char* key, const std::string& rawValue) {
    text_ += (text_.empty() ? "{" : ", ") + JsonString(key) + ": " + rawValue;
  }
  void Add(const char* key, long long v) { Add(key, std::to_string(v)); }
  void AddText(const char* key, const std::string& v) { Add(key, JsonString(v)); }
  void AddBool(const char* key, bool v) { Add(key, std::string(v ? "true" : "false")); }
  std::string Text() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

void PrintInfo(TPictureIO& io, const std::string& file) {
  TIOParamsVals& p = io.ImageParams();
  TPxBitmap& bitmap = *io.TargetBitmap();
  TJson j;
  j.AddText("file", file);
  const TFileFormatInfo* format = FindFormatByType(p.FileType);
  j.AddText("format", format ? format->Description : "");
  j.Add("format_code", p.FileType);
  j.Add("width", p.Width);
  j.Add("height", p.Height);
  j.Add("bits_per_sample", p.BitsPerSample);
  j.Add("samples_per_pixel", p.SamplesPerPixel);
  j.Add("dpi_x", p.DpiX());
  j.Add("dpi_y", p.DpiY());
  j.Add("image_index", p.ImageIndex);
  j.Add("image_count", p.ImageCount);
  j.Add("color_map_count", p.ColorMapCount());
  j.AddText("pixel_format", FormatName(bitmap.Format()));
  j.Add("bitmap_width", bitmap.Width());
  j.Add("bitmap_height", bitmap.Height());
  j.AddBool("alpha", bitmap.HasAlphaChannel());
  switch (p.FileType) {
    case ffBMP:
      j.Add("bmp_version", p.BmpVersion);
      j.Add("bmp_run_length", p.BmpRunLength);
      break;
    case ffGIF:
      j.AddText("gif_version", p.GifVersion);
      j.Add("gif_image_count", p.GifImageCount);
      j.Add("gif_screen_width", p.GifScreenWidth);
      j.Add("gif_screen_height", p.GifScreenHeight);
      j.Add("gif_x_pos", p.GifXPos);
      j.Add("gif_y_pos", p.GifYPos);
      j.Add("gif_delay_time", p.GifDelayTime);
      j.Add("gif_interlaced", p.GifInterlaced);
      j.Add("gif_transparent", p.GifTransparent);
      j.Add("gif_transparent_color", Hex(p.GifTransparentColor));
      j.Add("gif_background", Hex(p.GifBackground));
      j.Add("gif_disposal", p.GifDisposal);
      break;
    case ffJPEG:
      j.Add("jpeg_color_space", p.JpegColorSpace);
      j.Add("jpeg_progressive", p.JpegProgressive);
      j.Add("jpeg_scale_used", p.JpegScaleUsed);
      j.Add("jpeg_header_width", p.JpegHeaderWidth);
      j.Add("jpeg_header_height", p.JpegHeaderHeight);
      j.Add("jpeg_warning_count", p.JpegWarningCount);
      j.Add("exif_present", p.ExifPresent);
      j.Add("orientation", p.Orientation());
      break;
    case ffTIFF:
      j.Add("tiff_compression", p.TiffCompression);
      j.Add("tiff_photometric", p.TiffPhotometric);
      j.Add("tiff_planar_config", p.TiffPlanarConfig);
      j.Add("tiff_image_count", p.TiffImageCount);
      j.Add("tiff_fill_order", p.TiffFillOrder);
      j.Add("orientation", p.Orientation());
      break;
    case ffPNG:
      j.Add("png_interlaced", p.PngInterlaced);
      j.Add("png_background", Hex(p.PngBackground));
      break;
    case ffPCX:
    case ffDCX:
      j.Add("pcx_version", p.PcxVersion);
      break;
    case ffTGA:
      j.Add("tga_x_origin", p.TgaXOrigin);
      j.Add("tga_y_origin", p.TgaYOrigin);
      j.Add("tga_run_length", p.TgaRunLength);
      j.Add("tga_grayscale", p.TgaGrayscale);
      j.AddText("tga_image_name", p.TgaImageName);
      break;
    case ffICO:
      j.Add("ico_image_index", p.IcoImageIndex);
      break;
    case ffCUR:
      j.Add("cur_hot_spot_x", p.CurHotSpotX);
      j.Add("cur_hot_spot_y", p.CurHotSpotY);
      break;
    default:
      break;
  }
  std::printf("%s\n", j.Text().c_str());
}

// The picture turned by TPictureProc::Rotate, antialiased, without undo.
void Rotate(TPxBitmap& picture, double degrees) {
  TPictureProc proc;
  proc.SetAutoUndo(false);
  picture.MoveStorageTo(*proc.Bitmap());
  proc.Rotate(degrees, true, 0, kUseBackgroundProperty);
  proc.Bitmap()->MoveStorageTo(picture);
}

// The picture at the size asked for: nearest neighbour keeps the format, the
// projections give 1 bit, every other filter 24-bit colour. An alpha channel
// is resampled alongside.
void Resize(TPxBitmap& picture, const TOptions& o) {
  const int64_t w0 = picture.Width(), h0 = picture.Height();
  int64_t w = o.resizeWidth, h = o.resizeHeight;
  if (w == 0) w = std::max<int64_t>(1, h * w0 / h0);
  if (h == 0) h = std::max<int64_t>(1, w * h0 / w0);
  w = std::min<int64_t>(w, 65535);
  h = std::min<int64_t>(h, 65535);
  TPxBitmapFormat format = pxRGB24;
  if (o.filter == rfNone)
    format = picture.Format();
  else if (o.filter == rfProjectBW || o.filter == rfProjectWB)
    format = pxMono1;
  TPxBitmap scaled;
  scaled.AllocatePixels(int(w), int(h), format);
  FilteredResample(picture, scaled, o.filter);
  if (picture.HasAlphaChannel()) {
    TPxBitmap& alpha = *picture.AlphaChannel();
    FilteredResampleAlpha(alpha, *scaled.AlphaChannel(), o.filter);
    scaled.AlphaChannel()->SetAllOpaque(alpha.AllOpaque());
  }
  picture.AssignFrom(scaled);
}

int Run(const TOptions& o) {
  TPictureIO io;
  if (o.haveIndex) io.ImageParams().SetImageIndex(o.index);
  try {
    io.LoadFromFile(o.input);
  } catch (const std::bad_alloc&) {
    Fail(o.input, "out of memory");
  } catch (const std::exception& e) {
    Fail(o.input, e.what());
  }
  if (io.Aborted()) Fail(o.input, io.AbortReason().empty() ? "cannot be decoded" : io.AbortReason());
  if (io.TargetBitmap()->IsEmpty()) {
    if (DetectFileFormat(o.input, false) == ffNone && FormatCodeOfExtension(ExtractFileExtLower(o.input)) == ffNone)
      Fail(o.input, "not a picture format this program knows");
    Fail(o.input, "no picture decoded");
  }
  if (o.info) PrintInfo(io, o.input);
  if (o.rotate != 0) Rotate(*io.TargetBitmap(), o.rotate);
  if (o.resizeWidth >= 0) Resize(*io.TargetBitmap(), o);
  if (!o.output.empty()) WriteOutput(*io.TargetBitmap(), o.output);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseArguments(argc, argv);
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    Fail(options.input, "out of memory");
  } catch (const std::exception& e) {
    Fail(options.input, e.what());
  } catch (...) {
    Fail(options.input, "unexpected error");
  }
}
