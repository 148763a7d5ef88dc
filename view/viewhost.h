// TViewHost: what the viewer asks of the window that hosts it. The Qt layer
// implements it with a QWidget; tests implement it with a fake. Calls come on
// the window's thread only.
#pragma once

#include <functional>

namespace rv {

enum TScrollBarKind : int { sbHorizontal = 0, sbVertical = 1 };

struct TScrollInfo {
  int Min = 0;
  int Max = 0;
  int Page = 0;
  int Position = 0;
  bool Visible = false;
  friend bool operator==(const TScrollInfo&, const TScrollInfo&) = default;
};

// Cursor shapes are numbered by the viewer (0 is the platform's default arrow).
using TCursorId = int;

class TViewHost {
 public:
  virtual ~TViewHost() = default;

  // Outer size of the control in device pixels, frame included.
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // The control sits in a visible parent window (posted calls can be delivered).
  virtual bool HasParent() const = 0;

  virtual void Invalidate() = 0;
  // Half-open rectangle in client coordinates.
  virtual void InvalidateRect(int left, int top, int right, int bottom) = 0;

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

  virtual void SetScrollBar(TScrollBarKind kind, const TScrollInfo& info) = 0;

  // The frame changed (border style or 3-D look): rebuild the native window.
  virtual void RecreateWindow() = 0;
};

}  // namespace rv
