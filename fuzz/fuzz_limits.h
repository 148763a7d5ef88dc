// Size limits for fuzzing: low enough that a hostile header is refused long
// before memory runs short, high enough for every seed picture.
#pragma once

#include "io/limits.h"

namespace rv {

inline TImageLimits FuzzLimits() {
  TImageLimits limits;
  limits.MaxSide = 8192;
  limits.MaxPixels = int64_t(1) << 22;
  return limits;
}

}  // namespace rv
