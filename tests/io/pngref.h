// A small PNG reader for conformance references, built on libpng directly so
// the references are read independently of the project's own readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rv::test {

// A reference picture as 8-bit samples: blue, green, red and, when the file
// has transparency (alpha channel or tRNS), alpha. Rows are top-down.
struct TRefImage {
  int Width = 0;
  int Height = 0;
  bool HasAlpha = false;
  std::vector<uint8_t> Pixels;  // Width × Height × (HasAlpha ? 4 : 3)

  int Channels() const { return HasAlpha ? 4 : 3; }
  const uint8_t* Pixel(int x, int y) const { return Pixels.data() + (size_t(y) * Width + x) * Channels(); }
};

// Reads a PNG file. Palette and low-depth gray are expanded, 16-bit samples
// are rounded to 8 bits (value × 255 / 65535), no gamma is applied. Returns
// false with a reason in *error when the file cannot be read.
bool ReadPngReference(const std::string& path, TRefImage& image, std::string* error);

}  // namespace rv::test
