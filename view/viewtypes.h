// Small value types shared by the view base, its host and the viewer's
// painting code.
#pragma once

#include <cstdint>

namespace rv {

// The platform's button-face system colour, the default background.
inline constexpr uint32_t clBtnFace = 0xFF00000F;

// Half-open rectangle: Left <= x < Right, Top <= y < Bottom.
struct TViewRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TViewRect&, const TViewRect&) = default;
};

}  // namespace rv
