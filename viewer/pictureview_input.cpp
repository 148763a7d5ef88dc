// TPictureView: mouse, wheel, keyboard, focus, size changes and cursors.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "viewer/pictureview.h"

namespace rv {

namespace {

constexpr int kWheelNotch = 120;

bool Has(TPxMouseInteract set, TPxMouseInteractItem item) {
  return (set & MouseInteractBit(item)) != 0;
}

}  // namespace

// ------------------------------------------------------------ options

void TPictureView::SetMouseInteract(TPxMouseInteract v) {
  const TPxMouseInteract c = mouseInteract_;
  if (v == c) return;
  const TPxMouseInteract added = TPxMouseInteract(v & ~c);
  auto bit = MouseInteractBit;
  TPxMouseInteract stored;
  if (added & bit(miScroll)) {
    stored = v & (bit(miZoom) | bit(miScroll));
  } else if (added & bit(miSelect)) {
    stored = v & (bit(miZoom) | bit(miSelect));
  } else if (added & bit(miSelectPolygon)) {
    stored = v & bit(miSelectPolygon);
  } else if (added & bit(miSelectCircle)) {
    stored = v & (bit(miZoom) | bit(miSelectCircle));
  } else if (added & bit(miSelectLasso)) {
    stored = v & (bit(miZoom) | bit(miSelectLasso));
  } else if (added & bit(miSelectZoom)) {
    stored = v & (bit(miZoom) | bit(miSelectZoom));
  } else if (added & bit(miZoom)) {
    stored = v & ~(bit(miSelectPolygon) | bit(miSelectMagicWand) | bit(miMoveLayers) | bit(miResizeLayers));
  } else if (added & bit(miSelectMagicWand)) {
    stored = v & bit(miSelectMagicWand);
  } else if (v & (bit(miMoveLayers) | bit(miResizeLayers))) {
    stored = v & (bit(miMoveLayers) | bit(miResizeLayers));
  } else {
    stored = v;
  }
  mouseInteract_ = TPxMouseInteract(stored);
}

void TPictureView::SetCursor(TCursorId cursor) {
  cursor_ = cursor;
  ApplyCursor(cursor);
}

void TPictureView::ApplyCursor(TCursorId cursor) {
  shownCursor_ = cursor;
  if (Host()) Host()->SetCursor(cursor);
}

bool TPictureView::PictureCanScroll() {
  const TOffsetPair m = MaxViewOffset();
  return m.X > 0 || m.Y > 0;
}

// ------------------------------------------------------------ mouse

void TPictureView::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
  if (Host() && Host()->CanFocus() && !Host()->Focused()) Host()->SetFocus();
  restoreFilter_ = zoomFilter_;
  if (button == mbRight && (shift & ssLeft)) return;
  if (button != mbLeft && !Has(mouseInteract_, miZoom)) return;
  if (!Has(mouseInteract_, miScroll) && delayZoomFilter_) zoomFilter_ = rfNone;
  pressed_ = true;
  pressButton_ = button;
  pressRawX_ = x;
  pressRawY_ = y;
  pressX_ = std::clamp(x, originX_, originX_ + destWidth_ + 1);
  pressY_ = std::clamp(y, originY_, originY_ + destHeight_ + 1);
  pressViewX_ = viewOffsetX_;
  pressViewY_ = viewOffsetY_;
  if (Host()) Host()->SetMouseCapture(true);
  if (button == mbLeft && Has(mouseInteract_, miScroll) && PictureCanScroll()) ApplyCursor(crHand);
}

void TPictureView::MouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(*this, shift, x, y);
  if (pressed_ && Has(mouseInteract_, miScroll))
    SetViewOffset(pressViewX_ - (x - pressX_), pressViewY_ - (y - pressY_));
}

void TPictureView::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(*this, button, shift, x, y);
  // The platform's click: the left button released over the control.
  if (button == mbLeft && OnClick && x >= 0 && y >= 0 && x < ClientWidth() && y < ClientHeight()) OnClick(*this);
  if (pressed_ && button == pressButton_) {
    pressed_ = false;
    if (Host()) Host()->SetMouseCapture(false);
    if (Has(mouseInteract_, miZoom) && x == pressX_ && y == pressY_ && !IsEmptyImage()) {
      const double z = zoomX_;
      if (button == mbLeft) {
        if (Has(mouseInteract_, miScroll)) RestoreUserCursor();
        double next = z + 100;
        if (z < 100) {
          for (double step : kZoomSteps)
            if (step > z) {
              next = step;
              break;
            }
        }
        if (OnZoomIn) OnZoomIn(*this, next);
        if (next != zoomX_ || next != zoomY_) ZoomAtPoint(x, y, next, false);
      } else if (button == mbRight) {
        double next = 2;
        if (z >= 200) {
          next = z - 100;
        } else {
          for (double step : kZoomSteps)
            if (step < z) next = step;
        }
        if (OnZoomOut) OnZoomOut(*this, next);
        if (next != zoomX_ || next != zoomY_) ZoomAtPoint(x, y, next, false);
      }
    } else if (button == mbLeft && Has(mouseInteract_, miScroll) && PictureCanScroll()) {
      SetViewOffset(pressViewX_ - (x - pressX_), pressViewY_ - (y - pressY_));
      RestoreUserCursor();
    }
  }
  zoomFilter_ = restoreFilter_;
}

void TPictureView::DblClick() {
  if (OnDblClick) OnDblClick(*this);
}

void TPictureView::Wheel(int delta, TShiftState shift, int x, int y) {
  // No vertical movement (a horizontal wheel, a touchpad's begin or end
  // phase): not a notch in either direction.
  if (delta == 0) return;
  bool handled = false;
  if (OnMouseWheel) OnMouseWheel(*this, shift, delta, x, y, handled);
  if (wheelParams_.WheelAction == WheelNone || autoFit_) {
    wheelRemainder_ = 0;
    return;
  }
  // Fine-grained wheels send parts of a notch: they add up to one step of
  // 120; turning back starts the count again.
  if ((wheelRemainder_ > 0 && delta < 0) || (wheelRemainder_ < 0 && delta > 0)) wheelRemainder_ = 0;
  wheelRemainder_ += delta;
  while (std::abs(wheelRemainder_) >= kWheelNotch) {
    const int sign = wheelRemainder_ > 0 ? 1 : -1;
    wheelRemainder_ -= sign * kWheelNotch;
    int dir = sign > 0 ? -1 : 1;
    if (wheelParams_.ReverseDirection) dir = -dir;
    if (wheelParams_.WheelAction == WheelScroll) {
      const TOffsetPair m = MaxViewOffset();
      const bool horizontal = (shift & ssCtrl) || (m.X > 0 && m.Y == 0);
      const double zoom = horizontal ? zoomX_ : zoomY_;
      int64_t step;
      if (wheelParams_.StepMode == StepPercent) {
        step = std::max<int64_t>(
            int64_t(std::nearbyint(double(horizontal ? ClientWidth() : ClientHeight()) * wheelParams_.StepSize / 100)),
            1);
      } else if (wheelParams_.StepMode == StepAbsolute) {
        step = int64_t(wheelParams_.StepSize) * std::max<int64_t>(int64_t(zoom / 100), 1);
      } else {
        continue;
      }
      if (horizontal)
        SetViewOffsetX(int32_t(std::clamp<int64_t>(viewOffsetX_ + dir * step, INT32_MIN, INT32_MAX)));
      else
        SetViewOffsetY(int32_t(std::clamp<int64_t>(viewOffsetY_ + dir * step, INT32_MIN, INT32_MAX)));
    } else if (wheelParams_.WheelAction == WheelZoom) {
      const double z = zoomX_;
      double next = z;
      if (wheelParams_.StepMode == StepAbsolute)
        next = z + dir * double(wheelParams_.StepSize);
      else if (wheelParams_.StepMode == StepPercent)
        next = z + dir * std::max(std::nearbyint(wheelParams_.StepSize * z / 100), 1.0);
      if (next > z && OnZoomIn) OnZoomIn(*this, next);
      if (next < z && OnZoomOut) OnZoomOut(*this, next);
      if (wheelParams_.ZoomAroundCursor)
        ZoomAtPoint(x, y, next, false);
      else
        SetZoomPercent(next);
    }
  }
}

// ------------------------------------------------------------ keyboard

void TPictureView::KeyDown(uint16_t& key, TShiftState shift) {
  if (OnKeyDown) OnKeyDown(*this, key, shift);
  if ((shift & ssShift) && shiftExtendsSelection_) {
    if (shownCursor_ == crCross3) ApplyCursor(crCross3Plus);
    if (shownCursor_ == crCross2) ApplyCursor(crCross2Plus);
  }
}

void TPictureView::KeyUp(uint16_t& key, TShiftState shift) {
  if (OnKeyUp) OnKeyUp(*this, key, shift);
  if (!(shift & ssShift) && shiftExtendsSelection_) RestoreUserCursor();
}

void TPictureView::KeyPress(char32_t& key) {
  if (OnKeyPress) OnKeyPress(*this, key);
}

bool TPictureView::WantsSpecialKey(uint16_t key, TShiftState shift) {
  bool handled = false;
  if (OnSpecialKey) OnSpecialKey(*this, key, handled);
  if (handled) return true;
  if (key >= vkPrior && key <= vkDown) {
    uint16_t k = key;
    KeyUp(k, shift);
    return true;
  }
  return false;
}

// ------------------------------------------------------------ focus and size

void TPictureView::FocusIn() {
  fullRepaint_ = true;
  if (Placed()) Host()->Invalidate();
}

void TPictureView::FocusOut() {
  fullRepaint_ = true;
  if (Placed()) Host()->Invalidate();
}

void TPictureView::Resize() {
  if (!layoutRunning_) UpdateView();
}

}  // namespace rv
