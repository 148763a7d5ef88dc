// PNG files written with libpng for the reader tests: TPngSpec says what
// EncodePng writes, Sample the sample values it writes.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace rv::testing_support::png {

using TBytes = std::vector<uint8_t>;

struct TPngSpec {
  int Width = 37;
  int Height = 23;
  int ColorType = PNG_COLOR_TYPE_RGB;
  int BitDepth = 8;
  bool Interlaced = false;
  std::vector<png_color> Palette;  // palette pictures
  TBytes PaletteAlpha;             // tRNS of a palette picture
  // tRNS colour key of a gray (one value) or truecolour (red, green, blue)
  // picture, at the picture's depth. With a key, pixels in columns 0, 5, 10,
  // ... hold the key and those in columns 1, 6, 11, ... the key with the low
  // bit of its last sample flipped (for 16 bits: the same 8-bit colour).
  std::vector<uint32_t> Key;
  bool Phys = false;
  png_uint_32 PpmX = 0, PpmY = 0;
  int PhysUnit = PNG_RESOLUTION_METER;
  std::vector<std::pair<std::string, std::string>> Texts;  // tEXt, then zTXt for the odd ones
  bool Noisy = false;                                      // samples that deflate cannot shrink
};

// Samples a pixel from the colour type's bits: palette indexes stand alone,
// colour has three, alpha adds one.
inline int ChannelsOf(int colorType) {
  if (colorType & PNG_COLOR_MASK_PALETTE) return 1;
  return (colorType & PNG_COLOR_MASK_COLOR ? 3 : 1) + (colorType & PNG_COLOR_MASK_ALPHA ? 1 : 0);
}

// Sample c of pixel (x, y) at the recipe's bit depth: every value of small depths
// appears, and 16-bit samples have different high and low bytes.
inline uint32_t Sample(const TPngSpec& s, int x, int y, int c) {
  if (!s.Key.empty() && x % 5 < 2) {
    const bool last = c == static_cast<int>(s.Key.size()) - 1;
    return s.Key[size_t(c)] ^ (x % 5 == 1 && last ? 1u : 0u);
  }
  uint32_t v = uint32_t(x * 7 + y * 13 + c * 29);
  if (s.Noisy) {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u ^ uint32_t(c) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    v = h >> 8;
  }
  if (s.ColorType == PNG_COLOR_TYPE_PALETTE) return v % s.Palette.size();
  if (s.BitDepth == 16) return (v * 977) & 0xFFFF;
  return v & ((1u << s.BitDepth) - 1);
}

inline void WriteToVector(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<TBytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

inline TBytes EncodePng(const TPngSpec& s) {
  TBytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, WriteToVector, nullptr);
  png_set_IHDR(png, info, s.Width, s.Height, s.BitDepth, s.ColorType,
               s.Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!s.Palette.empty()) png_set_PLTE(png, info, s.Palette.data(), static_cast<int>(s.Palette.size()));
  if (!s.PaletteAlpha.empty())
    png_set_tRNS(png, info, s.PaletteAlpha.data(), static_cast<int>(s.PaletteAlpha.size()), nullptr);
  if (!s.Key.empty()) {
    png_color_16 key{};
    if (s.Key.size() == 1) {
      key.gray = static_cast<png_uint_16>(s.Key[0]);
    } else {
      key.red = static_cast<png_uint_16>(s.Key[0]);
      key.green = static_cast<png_uint_16>(s.Key[1]);
      key.blue = static_cast<png_uint_16>(s.Key[2]);
    }
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  if (s.Phys) png_set_pHYs(png, info, s.PpmX, s.PpmY, s.PhysUnit);
  std::vector<png_text> texts;
  for (size_t i = 0; i < s.Texts.size(); ++i) {
    png_text t{};
    t.compression = i % 2 ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(s.Texts[i].first.c_str());
    t.text = const_cast<char*>(s.Texts[i].second.c_str());
    t.text_length = s.Texts[i].second.size();
    texts.push_back(t);
  }
  if (!texts.empty()) png_set_text(png, info, texts.data(), static_cast<int>(texts.size()));
  png_write_info(png, info);
  if (s.BitDepth == 16) png_set_swap(png);  // rows below hold host-order words
  const int channels = ChannelsOf(s.ColorType);
  const size_t rowBytes = (size_t(s.Width) * channels * s.BitDepth + 7) / 8;
  std::vector<TBytes> rows(size_t(s.Height), TBytes(rowBytes + 1, 0));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < s.Height; ++y) {
    uint8_t* r = rows[size_t(y)].data();
    for (int x = 0; x < s.Width; ++x)
      for (int c = 0; c < channels; ++c) {
        const uint32_t v = Sample(s, x, y, c);
        const size_t i = size_t(x) * channels + c;
        if (s.BitDepth == 16) {
          const uint16_t w = static_cast<uint16_t>(v);
          std::memcpy(r + 2 * i, &w, 2);
        } else if (s.BitDepth == 8) {
          r[i] = static_cast<uint8_t>(v);
        } else {
          const size_t bit = i * s.BitDepth;
          r[bit / 8] |= static_cast<uint8_t>(v << (8 - s.BitDepth - bit % 8));
        }
      }
    pointers.push_back(r);
  }
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace rv::testing_support::png
