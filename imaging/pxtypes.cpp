#include "imaging/pxtypes.h"

namespace rv {

const char* FormatName(TPxBitmapFormat f) {
  static const char* const names[] = {"pxNoFormat", "pxMono1", "pxPalette8", "pxGray8", "pxGray16",
                                      "pxRGB24",    "px32f",   "pxCMYK",     "pxRGB48", "pxCIELab"};
  return f <= pxCIELab ? names[f] : "unknown";
}

}  // namespace rv
