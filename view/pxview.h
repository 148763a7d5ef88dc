// TPxView: the base of every picture view. It holds what components attached
// to a view rely on without knowing the concrete viewer: background colour,
// frame, the picture's resolution, a list of change listeners, and the virtual
// operations the viewer (TPictureView) fills in. It talks to its window only
// through TViewHost (not owned; may be null in tests of the pure parts).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "view/viewhost.h"
#include "view/viewtypes.h"

namespace rv {

class TBitmap;
class TPxBitmap;
class TPxView;

enum TBorderStyle : uint8_t { bsNone = 0, bsSingle = 1 };

// Called with (user data, the view, destroying). destroying is true once, when
// the view goes away; the listener's record is removed by the view then, so
// the callback must not unregister itself from that call.
using TChangeListenerProc = std::function<void(void* userData, TPxView& view, bool destroying)>;
// Handles are non-negative; -1 stands for "not registered".
using TChangeListenerHandle = int32_t;

class TPxView {
 public:
  using TNotifyEvent = std::function<void(TPxView& sender)>;

  explicit TPxView(TViewHost* host = nullptr);
  // Calls every listener, first-registered first, with destroying = true.
  virtual ~TPxView();
  TPxView(const TPxView&) = delete;
  TPxView& operator=(const TPxView&) = delete;

  TViewHost* Host() const { return host_; }
  void SetHost(TViewHost* host) { host_ = host; }

  // --- frame --------------------------------------------------------------
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);  // recreates the window when it changes
  bool Ctl3D() const { return ctl3D_; }
  void SetCtl3D(bool value);  // likewise
  bool ParentCtl3D() const { return parentCtl3D_; }
  void SetParentCtl3D(bool value) { parentCtl3D_ = value; }
  // Width of the frame on each side: 2 (sunken client edge) with bsSingle and
  // Ctl3D, 1 (flat line) with bsSingle alone, 0 with bsNone.
  int FrameWidth() const;
  // The host's size less the frame and the scroll bars it shows; 50 x 50
  // while the view is not placed (the host has no parent); 0 without a host.
  int ClientWidth() const;
  int ClientHeight() const;
  // The view sits in a parent window: it then talks to its scroll bars,
  // invalidates and presents.
  bool Placed() const { return host_ != nullptr && host_->HasParent(); }

  // --- colours and resolution ------------------------------------------------
  uint32_t Background() const { return background_; }
  virtual void SetBackground(uint32_t color);
  int32_t ImageDpiX() const { return imageDpiX_; }
  int32_t ImageDpiY() const { return imageDpiY_; }
  // A value of 0 leaves the resolution unchanged.
  virtual void SetImageDpiX(int32_t value);
  virtual void SetImageDpiY(int32_t value);
  virtual void SetImageDpi(int32_t x, int32_t y);

  // --- the picture (the viewer's) --------------------------------------------
  virtual TBitmap* DisplayBitmap() { return nullptr; }
  virtual TPxBitmap* ImageBitmap() { return nullptr; }
  virtual TPxBitmap* ImageAlphaChannel() = 0;
  virtual bool ImageHasAlphaChannel() = 0;
  virtual void FlattenAlphaChannel(bool apply) = 0;
  virtual void BeginRedrawLock() = 0;
  virtual void EndRedrawLock() = 0;
  virtual void EndRedrawLockQuiet() = 0;
  // Lay out and repaint after the picture changed; the input and processing
  // components call it. Nothing to lay out in the base.
  virtual void UpdateView() {}
  // Fires the viewer's image-change event; nothing in the base.
  virtual void NotifyImageChange() {}

  // --- change listeners ---------------------------------------------------------
  TChangeListenerHandle RegisterChangeListener(TChangeListenerProc callback, void* userData);
  // Negative or unknown handles are ignored.
  void UnregisterChangeListener(TChangeListenerHandle handle);
  // Calls every listener in registration order with destroying = false; the
  // viewer calls it whenever the objects behind DisplayBitmap / ImageBitmap are
  // replaced. A listener may unregister itself (or others) from the call.
  virtual void NotifyChangeListeners();
  int ChangeListenerCount() const { return static_cast<int>(listeners_.size()); }

  // --- mouse enter and leave (called by the host) ------------------------------
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;
  virtual void MouseEnter();
  virtual void MouseLeave();

 private:
  struct TChangeListener {
    TChangeListenerHandle Handle;
    TChangeListenerProc Callback;
    void* UserData;
  };

  TViewHost* host_ = nullptr;
  TBorderStyle borderStyle_ = bsSingle;
  bool ctl3D_ = true;
  bool parentCtl3D_ = true;
  uint32_t background_ = clBtnFace;
  int32_t imageDpiX_ = 0;
  int32_t imageDpiY_ = 0;
  std::vector<TChangeListener> listeners_;
  TChangeListenerHandle nextHandle_ = 0;
};

}  // namespace rv
