#include "imaging/pxcolor.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace rv {

uint32_t BGRToInvertedCMYK(TColorBGR c) {
  unsigned m = std::max({c.r, c.g, c.b});
  if (m == 0) m = 1;
  const uint32_t c0 = c.r * 255u / m;
  const uint32_t c1 = c.g * 255u / m;
  const uint32_t c2 = c.b * 255u / m;
  return c0 | (c1 << 8) | (c2 << 16) | (m << 24);
}

TColorBGR InvertedCMYKToBGR(const uint8_t cmyk[4]) {
  const unsigned k = cmyk[3];
  return MakeBGR(static_cast<uint8_t>(cmyk[0] * k / 255u), static_cast<uint8_t>(cmyk[1] * k / 255u),
                 static_cast<uint8_t>(cmyk[2] * k / 255u));
}

namespace {

// sRGB byte to linear light; 256 entries so a conversion costs no pow per channel.
const std::array<double, 256>& LinearTable() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int i = 0; i < 256; ++i) {
      const double v = i / 255.0;
      t[i] = v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    return t;
  }();
  return table;
}

double LabF(double t) {
  return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0;
}

double LabFInverse(double t) {
  const double t3 = t * t * t;
  return t3 > 0.008856 ? t3 : (t - 0.13793103448) / 7.787;
}

uint8_t Compand(double v) {
  v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
  // nearbyint rounds halves to the even neighbour in the default rounding mode.
  const double scaled = std::nearbyint(v * 255.0);
  return static_cast<uint8_t>(std::clamp(scaled, 0.0, 255.0));
}

// Trunc toward zero, keeping the low 8 bits (so -1 is stored as 0xFF).
uint8_t TruncByte(double v) {
  return static_cast<uint8_t>(static_cast<int64_t>(v) & 0xFF);
}

}  // namespace

void BGRToLab(TColorBGR c, uint8_t lab[3]) {
  const auto& lin = LinearTable();
  const double r = lin[c.r], g = lin[c.g], b = lin[c.b];
  const double x = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
  const double y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
  const double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
  const double fx = LabF(x), fy = LabF(y), fz = LabF(z);
  const double l = y > 0.008856 ? 116.0 * fy - 16.0 : 903.3 * y;
  lab[0] = TruncByte(l * 2.5);
  lab[1] = TruncByte(500.0 * (fx - fy));
  lab[2] = TruncByte(200.0 * (fy - fz));
}

TColorBGR LabToBGR(const uint8_t lab[3]) {
  const double l = lab[0] * 0.39215686275;
  const double fy = (l + 16.0) / 116.0;
  const double fx = fy + static_cast<int8_t>(lab[1]) / 500.0;
  const double fz = fy - static_cast<int8_t>(lab[2]) / 200.0;
  const double x = LabFInverse(fx) * 0.95047;
  const double y = LabFInverse(fy);
  const double z = LabFInverse(fz) * 1.08883;
  const double r = 3.2406 * x - 1.5372 * y - 0.4986 * z;
  const double g = -0.9689 * x + 1.8758 * y + 0.0415 * z;
  const double b = 0.0557 * x - 0.204 * y + 1.057 * z;
  return MakeBGR(Compand(r), Compand(g), Compand(b));
}

}  // namespace rv
