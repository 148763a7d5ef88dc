#include "view/pxview.h"

#include <algorithm>
#include <utility>

namespace rv {

TPxView::TPxView(TViewHost* host) : host_(host) {}

TPxView::~TPxView() {
  // Each record leaves the list before its callback runs, so a listener that
  // unregisters anyway from the destroying call finds nothing to remove.
  while (!listeners_.empty()) {
    TChangeListener first = std::move(listeners_.front());
    listeners_.erase(listeners_.begin());
    if (first.Callback) first.Callback(first.UserData, *this, true);
  }
}

void TPxView::SetBorderStyle(TBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  if (host_) host_->RecreateWindow();
}

void TPxView::SetCtl3D(bool value) {
  if (value == ctl3D_) return;
  ctl3D_ = value;
  if (host_) host_->RecreateWindow();
}

int TPxView::FrameWidth() const {
  if (borderStyle_ != bsSingle) return 0;
  return ctl3D_ ? 2 : 1;
}

int TPxView::ClientWidth() const {
  if (!host_) return 0;
  if (!host_->HasParent()) return 50;
  return std::max(0, host_->Width() - 2 * FrameWidth() - host_->ScrollBarSize(sbVertical));
}

int TPxView::ClientHeight() const {
  if (!host_) return 0;
  if (!host_->HasParent()) return 50;
  return std::max(0, host_->Height() - 2 * FrameWidth() - host_->ScrollBarSize(sbHorizontal));
}

void TPxView::SetBackground(uint32_t color) {
  background_ = color;
}

void TPxView::SetImageDpiX(int32_t value) {
  if (value != 0) imageDpiX_ = value;
}

void TPxView::SetImageDpiY(int32_t value) {
  if (value != 0) imageDpiY_ = value;
}

void TPxView::SetImageDpi(int32_t x, int32_t y) {
  SetImageDpiX(x);
  SetImageDpiY(y);
}

TChangeListenerHandle TPxView::RegisterChangeListener(TChangeListenerProc callback, void* userData) {
  const TChangeListenerHandle handle = nextHandle_++;
  listeners_.push_back({handle, std::move(callback), userData});
  return handle;
}

void TPxView::UnregisterChangeListener(TChangeListenerHandle handle) {
  if (handle < 0) return;
  auto it = std::find_if(listeners_.begin(), listeners_.end(),
                         [handle](const TChangeListener& l) { return l.Handle == handle; });
  if (it != listeners_.end()) listeners_.erase(it);
}

void TPxView::NotifyChangeListeners() {
  // Walk a snapshot of the handles: a listener may unregister itself or
  // others from its call, and must not be called after that.
  std::vector<TChangeListenerHandle> handles;
  handles.reserve(listeners_.size());
  for (const TChangeListener& l : listeners_) handles.push_back(l.Handle);
  for (TChangeListenerHandle h : handles) {
    auto it =
        std::find_if(listeners_.begin(), listeners_.end(), [h](const TChangeListener& l) { return l.Handle == h; });
    if (it == listeners_.end()) continue;
    // A copy: the callback may change the list and invalidate it.
    TChangeListenerProc callback = it->Callback;
    void* userData = it->UserData;
    if (callback) callback(userData, *this, false);
  }
}

void TPxView::MouseEnter() {
  if (OnMouseEnter) OnMouseEnter(*this);
}

void TPxView::MouseLeave() {
  if (OnMouseLeave) OnMouseLeave(*this);
}

}  // namespace rv
