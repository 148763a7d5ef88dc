#include "viewer/background.h"

#include <algorithm>

namespace rv {

uint32_t ResolveColor(uint32_t color) {
  if ((color & 0xFF000000u) == 0) return color;
  // Interim: system colours resolve to a light grey button face.
  return 0xF0F0F0;
}

void PaintBackground(TBitmap& target, const TBackgroundParams& params, const TViewRect&, const TViewRect& area,
                     const TViewRect& clip) {
  // Interim: every style fills with the solid colour until the styles land.
  if (target.PixelFormat() != TPixelFormat::pf24bit) return;
  const int left = std::max({area.Left, clip.Left, 0});
  const int top = std::max({area.Top, clip.Top, 0});
  const int right = std::min({area.Right, clip.Right, target.Width()});
  const int bottom = std::min({area.Bottom, clip.Bottom, target.Height()});
  const uint32_t rgb = ResolveColor(params.Color);
  const uint8_t b = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, r = rgb & 0xFF;
  for (int y = top; y < bottom; ++y) {
    uint8_t* p = target.ScanLine(y) + 3 * left;
    for (int x = left; x < right; ++x, p += 3) {
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
  }
}

}  // namespace rv
