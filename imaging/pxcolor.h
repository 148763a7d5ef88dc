// Colour-model rules shared by the conversions and the single-pixel accessors:
// gray levels, the inverted CMYK form and CIE Lab (D65 white). Pure functions.
#pragma once

#include <cstdint>

#include "imaging/pxtypes.h"

namespace rv {

// Gray weights in per cent (red 21, green 71, blue 8), truncating.
inline constexpr uint8_t Gray8Of(TColorBGR c) {
  return static_cast<uint8_t>((21u * c.r + 71u * c.g + 8u * c.b) / 100u);
}
inline constexpr uint8_t Gray8OfRGB(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint8_t>((21u * r + 71u * g + 8u * b) / 100u);
}

// 16-bit gray from 8-bit channels: the weights sum to 257 * 1000 so white is 65535.
inline constexpr uint16_t Gray16Of8(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint16_t>((54484u * r + 183241u * g + 19275u * b) / 1000u);
}
// 16-bit gray from 16-bit channels.
inline constexpr uint16_t Gray16Of16(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint16_t>((212u * r + 713u * g + 75u * b) / 1000u);
}

// Float gray, nominally 0..1, from 8-bit channels.
inline constexpr float FloatGrayOf8(unsigned r, unsigned g, unsigned b) {
  return static_cast<float>((0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0);
}
// From 16-bit channels: each channel scaled to 0..256 first.
inline constexpr float FloatGrayOf16(unsigned r, unsigned g, unsigned b) {
  return static_cast<float>((0.2126 * (r / 256.0) + 0.7152 * (g / 256.0) + 0.0722 * (b / 256.0)) / 255.0);
}

// Inverted CMYK: bytes in memory order C, M, Y, K (255 = no ink); the result's
// low byte is C, so storing it little-endian gives that order.
uint32_t BGRToInvertedCMYK(TColorBGR c);
TColorBGR InvertedCMYKToBGR(const uint8_t cmyk[4]);

// CIE Lab bytes: L scaled by 2.5 (0..250 for 0..100), a and b as signed bytes.
void BGRToLab(TColorBGR c, uint8_t lab[3]);
TColorBGR LabToBGR(const uint8_t lab[3]);

}  // namespace rv
