// TViewHost: what the viewer asks of the window that hosts it. The Qt layer
// implements it with a QWidget; tests implement it with a fake. Calls come on
// the window's thread only.
//
// The way round for painting: the host's paint handler calls the view's
// Paint(rect); the view renders its back buffer when needed and hands the
// pixels back through Present, from inside that call. The view never draws
// outside a paint handler; where it must show a change at once it asks for a
// synchronous repaint (RepaintNow), which comes back as a Paint call.
#pragma once

#include <cstdint>
#include <functional>

#include "view/viewtypes.h"

namespace rv {

class TBitmap;

enum TScrollBarKind : int { sbHorizontal = 0, sbVertical = 1 };

struct TScrollInfo {
  int Min = 0;
  int Max = 0;
  int Page = 0;
  int Position = 0;
  bool Visible = false;
  friend bool operator==(const TScrollInfo&, const TScrollInfo&) = default;
};

// Scroll commands of a scroll bar, numbered as the platform's scroll codes.
enum TScrollCode : int {
  scLineUp = 0,  // line left on the horizontal bar
  scLineDown = 1,
  scPageUp = 2,
  scPageDown = 3,
  scPosition = 4,  // thumb released at a position
  scTrack = 5,     // thumb dragged to a position
  scTop = 6,
  scBottom = 7,
  scEndScroll = 8,
};

// Cursor shapes are numbered by the viewer (0 is the platform's default arrow).
using TCursorId = int;

// Mouse buttons and the shift state of input events.
enum TMouseButton : int { mbLeft = 0, mbRight = 1, mbMiddle = 2 };
using TShiftState = uint16_t;
inline constexpr TShiftState ssShift = 1;
inline constexpr TShiftState ssAlt = 2;
inline constexpr TShiftState ssCtrl = 4;
inline constexpr TShiftState ssLeft = 8;
inline constexpr TShiftState ssRight = 16;
inline constexpr TShiftState ssMiddle = 32;
inline constexpr TShiftState ssDouble = 64;

// Key codes the viewer looks at (the platform's virtual-key numbers); the host
// maps its own key codes to these.
inline constexpr uint16_t vkShift = 16;
inline constexpr uint16_t vkControl = 17;
inline constexpr uint16_t vkPrior = 33;  // page up
inline constexpr uint16_t vkNext = 34;   // page down
inline constexpr uint16_t vkEnd = 35;
inline constexpr uint16_t vkHome = 36;
inline constexpr uint16_t vkLeft = 37;
inline constexpr uint16_t vkUp = 38;
inline constexpr uint16_t vkRight = 39;
inline constexpr uint16_t vkDown = 40;

class TViewHost {
 public:
  virtual ~TViewHost() = default;

  // Outer size of the control in device pixels, frame included.
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // The control sits in a visible parent window (posted calls can be delivered).
  // A view that is not placed works with a 50 x 50 client area.
  virtual bool HasParent() const = 0;
  // The control can take the keyboard focus (enabled, visible, focusable).
  virtual bool CanFocus() const { return HasParent(); }

  // Thickness of a scroll bar while the host shows it, 0 while it is hidden.
  // The client area is the control less its frame and the visible bars.
  virtual int ScrollBarSize(TScrollBarKind) const { return 0; }

  // The part of the client area that can be seen on screen, in client
  // coordinates (half-open): the client area clipped by the parent windows and
  // the screen. The view renders and keeps only this part; when it changes
  // (the window moved, or a scrolled parent scrolled) the host calls the view's
  // VisibleRectChanged. The default is the whole client area.
  virtual TViewRect VisibleRect() const { return {0, 0, 1 << 30, 1 << 30}; }

  virtual void Invalidate() = 0;
  // Half-open rectangle in client coordinates.
  virtual void InvalidateRect(int left, int top, int right, int bottom) = 0;
  // Paints the whole client area before returning (the host's paint handler
  // runs and calls the view's Paint); does nothing while the window cannot be
  // painted.
  virtual void RepaintNow() { Invalidate(); }
  // Called by the view from inside Paint: draw rect (client coordinates,
  // half-open) of the back buffer onto the window at the same place, one
  // buffer pixel per device pixel. The buffer (24 bits per pixel, rows
  // top-down) holds the client pixels from (bufferLeft, bufferTop) on, and
  // rect lies inside it. The host must not keep the reference.
  virtual void Present(const TBitmap& backBuffer, int bufferLeft, int bufferTop, const TViewRect& rect) = 0;

  virtual void SetCursor(TCursorId cursor) = 0;
  virtual void SetMouseCapture(bool capture) = 0;
  virtual bool HasMouseCapture() const = 0;
  virtual void SetFocus() = 0;
  virtual bool Focused() const = 0;

  // Runs call later on the window's thread, after the current event.
  virtual void PostCall(std::function<void()> call) = 0;
  // Repeating timer; returns an id for StopTimer. onTimer runs on the window's thread.
  virtual int StartTimer(int intervalMs, std::function<void()> onTimer) = 0;
  virtual void StopTimer(int timerId) = 0;

  // Range, page, position and visibility of one bar; the host reports scroll
  // commands back through the view's Scroll.
  virtual void SetScrollBar(TScrollBarKind kind, const TScrollInfo& info) = 0;

  // The frame changed (border style or 3-D look): rebuild the native window.
  virtual void RecreateWindow() = 0;
};

}  // namespace rv
