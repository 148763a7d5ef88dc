// JPEG files encoded with libjpeg for the reader tests: TJpegSpec says what
// EncodeJpeg writes (size, colour spaces, progression, markers), Sample the
// picture it encodes.
#pragma once

// clang-format off
#include <cstdio>  // jpeglib.h needs size_t and FILE declared first
#include <jpeglib.h>
// clang-format on

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace rv::testing_support::jpeg {

using TBytes = std::vector<uint8_t>;

struct TMarker {
  int Code;
  TBytes Data;
};

// What EncodeJpeg writes.
struct TJpegSpec {
  int Width = 64;
  int Height = 48;
  J_COLOR_SPACE Input = JCS_RGB;  // JCS_GRAYSCALE, JCS_RGB or JCS_CMYK samples
  J_COLOR_SPACE File = JCS_YCbCr;
  bool Progressive = false;
  int DensityUnit = 1;
  int XDensity = 72;
  int YDensity = 72;
  std::vector<TMarker> Markers;       // written after the JFIF/Adobe header
  std::vector<jpeg_scan_info> Scans;  // a scan script (progressive), or none
};

inline int InputComponents(J_COLOR_SPACE cs) {
  return cs == JCS_GRAYSCALE ? 1 : cs == JCS_CMYK ? 4 : 3;
}

// A picture with gradients and edges, so every coefficient band carries data.
inline uint8_t Sample(int x, int y, int c) {
  return static_cast<uint8_t>((x * 5 + y * 3 + c * 60 + ((x / 8 + y / 8) % 2) * 70) & 255);
}

inline TBytes EncodeJpeg(const TJpegSpec& spec) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = spec.Width;
  cinfo.image_height = spec.Height;
  cinfo.input_components = InputComponents(spec.Input);
  cinfo.in_color_space = spec.Input;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, spec.File);
  jpeg_set_quality(&cinfo, 90, TRUE);
  cinfo.density_unit = static_cast<UINT8>(spec.DensityUnit);
  cinfo.X_density = static_cast<UINT16>(spec.XDensity);
  cinfo.Y_density = static_cast<UINT16>(spec.YDensity);
  if (spec.Progressive) jpeg_simple_progression(&cinfo);
  if (!spec.Scans.empty()) {
    cinfo.scan_info = spec.Scans.data();
    cinfo.num_scans = static_cast<int>(spec.Scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  for (const TMarker& m : spec.Markers)
    jpeg_write_marker(&cinfo, m.Code, m.Data.data(), static_cast<unsigned>(m.Data.size()));
  const int n = cinfo.input_components;
  TBytes row(size_t(spec.Width) * n);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < spec.Width; ++x)
      for (int c = 0; c < n; ++c) row[size_t(x) * n + c] = Sample(x, y, c);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&cinfo, &p, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  TBytes bytes(out, out + outSize);
  std::free(out);
  return bytes;
}

}  // namespace rv::testing_support::jpeg
