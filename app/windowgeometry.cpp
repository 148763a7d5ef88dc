#include "app/windowgeometry.h"

#include <climits>
#include <cmath>
#include <limits>

namespace rv {

// The sizes are truncated from products with a 64-bit mantissa; a double product
// would round some of them up to the next whole pixel (900 x 13 % gives 117, not
// 116).
static_assert(std::numeric_limits<long double>::digits >= 64, "extended precision is needed");

namespace {

// Trunc of a product formed in extended precision, kept within the 32-bit range.
int32_t TruncatedSize(long double product) {
  if (!(product > 0)) return 0;  // also a non-number
  if (product >= static_cast<long double>(INT32_MAX)) return INT32_MAX;
  return int32_t(product);  // conversion truncates
}

TWindowRect Resized(const TWindowRect& window, TWindowSize size) {
  return {window.Left, window.Top, size.Width, size.Height};
}

}  // namespace

bool HasSavedPosition(int32_t px, int32_t py) {
  return px != kNoPosition && py != kNoPosition;
}

TWindowRect StartupRect(int32_t px, int32_t py, const TScreenGeometry& screen) {
  int64_t cx = 0, cy = 0;
  if (HasSavedPosition(px, py)) {
    cx = px;
    cy = py;
  }
  return {SaturateToInt32(cx - HalfRoundedEven(screen.Width)), SaturateToInt32(cy - HalfRoundedEven(screen.Height)),
          screen.Width, screen.Height};
}

TWindowRect FirstShownRect(const TWindowRect& window, int32_t px, int32_t py, const TScreenGeometry& screen) {
  if (HasSavedPosition(px, py)) return window;
  // Integer division truncates toward zero, also when the window is larger than
  // the desktop.
  const int64_t left = screen.AvailableLeft + (int64_t(screen.AvailableWidth) - window.Width) / 2;
  const int64_t top = screen.AvailableTop + (int64_t(screen.AvailableHeight) - window.Height) / 2;
  return {SaturateToInt32(left), SaturateToInt32(top), window.Width, window.Height};
}

TCentre CentreOf(const TWindowRect& window) {
  return {window.Left + HalfRoundedEven(window.Width), window.Top + HalfRoundedEven(window.Height)};
}

TWindowRect ResizeAroundCentre(const TWindowRect& window, int32_t width, int32_t height) {
  const TCentre c = CentreOf(window);
  return {SaturateToInt32(c.X - HalfRoundedEven(width)), SaturateToInt32(c.Y - HalfRoundedEven(height)), width, height};
}

TWindowSize ZoomedSize(int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent) {
  const long double q = static_cast<long double>(zoomPercent) / 100;
  return {TruncatedSize(bitmapWidth * q), TruncatedSize(bitmapHeight * q)};
}

TWindowRect KeepOnScreen(const TWindowRect& window, const TScreenGeometry& screen) {
  int64_t left = window.Left, top = window.Top;
  const int64_t sx = screen.Left, sy = screen.Top;
  if (top > sy + screen.Height - 100) top = sy + screen.Height - 100;
  if (left > sx + screen.Width - 50) left = sx + screen.Width - 50;
  if (top + window.Height < sy + 50) top = sy + 50 - window.Height;
  if (left + window.Width < sx + 50) left = sx + 50 - window.Width;
  return {SaturateToInt32(left), SaturateToInt32(top), window.Width, window.Height};
}

TWindowRect WheelZoomRect(const TWindowRect& window, int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent,
                          const TScreenGeometry& screen) {
  return KeepOnScreen(Resized(window, ZoomedSize(bitmapWidth, bitmapHeight, zoomPercent)), screen);
}

TWindowRect CentredZoomRect(const TWindowRect& window, int32_t bitmapWidth, int32_t bitmapHeight, double zoomPercent,
                            const TScreenGeometry& screen) {
  const TWindowSize size = ZoomedSize(bitmapWidth, bitmapHeight, zoomPercent);
  return KeepOnScreen(ResizeAroundCentre(window, size.Width, size.Height), screen);
}

TWindowRect ShowPictureRect(const TWindowRect& window, int32_t width, int32_t height, const TScreenGeometry& screen) {
  return KeepOnScreen(ResizeAroundCentre(window, width, height), screen);
}

std::optional<TFitToScreen> FitToScreen(int32_t bitmapWidth, int32_t bitmapHeight, const TScreenGeometry& screen) {
  if (bitmapWidth <= 0 || bitmapHeight <= 0) return std::nullopt;
  const double sw = screen.Width, sh = screen.Height, bw = bitmapWidth, bh = bitmapHeight;
  // Each quotient is a double before the comparison, and so is f: the products
  // below start from that rounded f (1920 / 400 lies just below 4.8, so a
  // 400 × 100 picture becomes 1919 × 479).
  const double screenAspect = sw / sh;
  const double bitmapAspect = bw / bh;
  const double f = screenAspect >= bitmapAspect ? sh / bh : sw / bw;
  const int32_t height = TruncatedSize(static_cast<long double>(bitmapHeight) * f);
  const int32_t width = TruncatedSize(static_cast<long double>(bitmapWidth) * f);
  const int64_t top = screen.Top + HalfRoundedEven(int64_t(screen.Height) - height);
  const int64_t left = screen.Left + HalfRoundedEven(int64_t(screen.Width) - width);
  TFitToScreen fit;
  fit.Window = KeepOnScreen({SaturateToInt32(left), SaturateToInt32(top), width, height}, screen);
  fit.ZoomPercent = static_cast<double>(static_cast<long double>(f) * 100);
  fit.ZoomBeforeResize = f > 1;
  return fit;
}

TWindowRect CentreOnScreen(const TWindowRect& window, const TScreenGeometry& screen) {
  // Trunc(S / 2) for a size that is never negative is the integer half.
  const int64_t top = screen.Top + screen.Height / 2 - HalfRoundedEven(window.Height);
  const int64_t left = screen.Left + screen.Width / 2 - HalfRoundedEven(window.Width);
  return {SaturateToInt32(left), SaturateToInt32(top), window.Width, window.Height};
}

TPoint DialogPosition(const TScreenGeometry& screen) {
  return {SaturateToInt32(screen.Left + HalfRoundedEven(screen.Width) - 200),
          SaturateToInt32(screen.Top + HalfRoundedEven(screen.Height) - 200)};
}

}  // namespace rv
