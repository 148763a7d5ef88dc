// The main window's placement arithmetic: where it starts, how it follows a new
// picture size, the wheel zoom and full screen, and how it is kept within reach
// on the screen. Pure functions of the window's rectangle and the screen's
// geometry; the window only applies what they return. All positions are device
// pixels in the coordinates of the screens' common space, so the primary
// screen's origin takes part wherever the screen does.
#pragma once

#include <cstdint>
#include <optional>

#include "app/config.h"

namespace rv {

// The primary screen: its whole area, and the desktop's available area (what
// task bars and panels leave free).
struct TScreenGeometry {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t AvailableLeft = 0;
  int32_t AvailableTop = 0;
  int32_t AvailableWidth = 0;
  int32_t AvailableHeight = 0;
};

struct TWindowRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TWindowRect&, const TWindowRect&) = default;
};

struct TWindowSize {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TWindowSize&, const TWindowSize&) = default;
};

// Both px and py must differ from kNoPosition for the saved centre to count.
bool HasSavedPosition(int32_t px, int32_t py);

// The window as creation lays it out: as large as the screen, its centre on
// (px, py) when both are saved, else on (0, 0) until the first showing
// re-centres it (FirstShownRect).
TWindowRect StartupRect(int32_t px, int32_t py, const TScreenGeometry& screen);

// The window's rectangle once it is first shown: unchanged with a saved
// position; else centred on the desktop's available area, the halves of the
// spare room truncated toward zero.
TWindowRect FirstShownRect(const TWindowRect& window, int32_t px, int32_t py, const TScreenGeometry& screen);

// The window's centre: left + Round(width / 2), top + Round(height / 2).
struct TCentre {
  int64_t X = 0;
  int64_t Y = 0;
};
TCentre CentreOf(const TWindowRect& window);

// The window resized to width × height around its present centre (which may
// move by a pixel with an odd size: Round halves to even).
TWindowRect ResizeAroundCentre(const TWindowRect& window, int32_t width, int32_t height);

// Trunc(bw × q) × Trunc(bh × q) with q = zoom / 100, q and the products in
// extended precision so that they are not rounded before the truncation. A
// product beyond the 32-bit range saturates; a non-number or a negative product
// gives 0.
TWindowSize ZoomedSize(int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent);

// Moves the window so that part of it stays on the screen: the top at most 100
// pixels above the screen's bottom, the left at most 50 left of its right edge,
// then the bottom at least 50 below its top and the right at least 50 right of
// its left edge, each test on the values the one before left. A window larger
// than the screen is not limited.
TWindowRect KeepOnScreen(const TWindowRect& window, const TScreenGeometry& screen);

// The wheel zoom: the window takes the picture's size at the new zoom with its
// top-left corner where it was, then KeepOnScreen.
TWindowRect WheelZoomRect(const TWindowRect& window, int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent,
                          const TScreenGeometry& screen);

// The adjustment dialog's zoom and rotation: the picture's size at the zoom,
// around the window's centre, then KeepOnScreen.
TWindowRect CentredZoomRect(const TWindowRect& window, int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent,
                            const TScreenGeometry& screen);

// A picture (or message screen) of width × height replacing the shown one: the
// window keeps its centre, then KeepOnScreen.
TWindowRect ShowPictureRect(const TWindowRect& window, int32_t width, int32_t height, const TScreenGeometry& screen);

// Full screen: the picture scaled, proportions kept, until it touches two
// opposite edges of the screen, and centred on it.
struct TFitToScreen {
  TWindowRect Window;             // after KeepOnScreen
  double ZoomPercent = 100;       // f × 100
  bool ZoomBeforeResize = false;  // enlarging (f > 1) sets the zoom first, else the window shrinks first
};
// No picture (a 0-wide or 0-high bitmap): nothing to fit, the window stays.
std::optional<TFitToScreen> FitToScreen(int32_t bitmapWidth, int32_t bitmapHeight, const TScreenGeometry& screen);

// The adjustment dialog's "centre": Trunc(SH / 2) − Round(height / 2) and
// Trunc(SW / 2) − Round(width / 2); no KeepOnScreen follows.
TWindowRect CentreOnScreen(const TWindowRect& window, const TScreenGeometry& screen);

// The top-left corner of the settings and adjustment dialogs: Round(SW / 2) −
// 200, Round(SH / 2) − 200.
struct TPoint {
  int32_t X = 0;
  int32_t Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};
TPoint DialogPosition(const TScreenGeometry& screen);

}  // namespace rv
