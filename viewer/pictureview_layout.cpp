// TPictureView: zoom, view offsets, fit modes, scroll bars, coordinate maps
// and the layout pass.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "viewer/pictureview.h"

namespace rv {

namespace {

// Round half to even (the default floating-point rounding mode).
int64_t RoundEven(double v) {
  return static_cast<int64_t>(std::nearbyint(v));
}

// Results that do not fit 32 bits saturate instead of wrapping.
int32_t Clamp32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

int32_t Trunc32(double v) {
  if (std::isnan(v)) return 0;
  return Clamp32(static_cast<int64_t>(std::clamp(v, -9.0e18, 9.0e18)));
}

int32_t Round32(double v) {
  if (std::isnan(v)) return 0;
  return Clamp32(RoundEven(std::clamp(v, -9.0e18, 9.0e18)));
}

// The 3-D edge and the flat border of the platform's window frames.
constexpr int kEdgeSize = 2;
constexpr int kFlatBorderSize = 1;
constexpr int kCropShadowMargin = 5;

}  // namespace

// The outer size: the host's when placed, else the 50 x 50 client and the frame.
int TPictureView::ControlWidth() const {
  return Placed() ? Host()->Width() : CW() + 2 * FrameWidth();
}

int TPictureView::ControlHeight() const {
  return Placed() ? Host()->Height() : CH() + 2 * FrameWidth();
}

// ------------------------------------------------------------ zoom

bool TPictureView::ZoomAllowed(double zoomX, double zoomY) const {
  if (!(zoomX > 0) || !(zoomY > 0) || !std::isfinite(zoomX) || !std::isfinite(zoomY)) return false;
  // The maps hold the zoomed size plus the destination size (at most the
  // zoomed size again) plus the extra pixel: keep that inside 32 bits.
  constexpr double kHardLimit = double(std::numeric_limits<int32_t>::max() / 4);
  const double w = (double(bitmapWidth_) + 1) * zoomX / 100;
  const double h = (double(bitmapHeight_) + 1) * zoomY / 100;
  if (w > kHardLimit || h > kHardLimit) return false;
  if (zoomedSizeLimit_ > 0) {
    const double zw = double(RoundEven(double(bitmapWidth_) * zoomX / 100));
    const double zh = double(RoundEven(double(bitmapHeight_) * zoomY / 100));
    if (zw > double(zoomedSizeLimit_) || zh > double(zoomedSizeLimit_)) return false;
  }
  return true;
}

void TPictureView::RecomputeFactors() {
  zx_ = zoomX_ / 100;
  zy_ = zoomY_ / 100;
  izx_ = 100 / zoomX_;
  izy_ = 100 / zoomY_;
}

void TPictureView::SetZoomPercent(double zoom) {
  SetZoomAxes(zoom, true, true);
}

void TPictureView::SetZoomPercentX(double zoom) {
  SetZoomAxes(zoom, true, false);
}

void TPictureView::SetZoomPercentY(double zoom) {
  SetZoomAxes(zoom, false, true);
}

void TPictureView::SetZoomAxes(double zoom, bool x, bool y) {
  if (!(zoom > 0)) return;
  if ((!x || zoom == zoomX_) && (!y || zoom == zoomY_)) return;
  if (!ZoomAllowed(x ? zoom : zoomX_, y ? zoom : zoomY_)) return;
  const bool oldNot100 = (x && zoomX_ != 100) || (y && zoomY_ != 100);
  if (delayZoomFilter_ && zoomFilter_ != rfNone && oldNot100) filterDelayCountdown_ = filterDelayTicks_;
  animationPause_ = 2;

  BeginRedrawLock();
  // Keep the client centre over the same bitmap point, within the range the
  // old zoom allows.
  const TOffsetPair oldMax = MaxViewOffset();
  if (x) {
    const int cx = int(unsigned(CW()) >> 1);
    const int64_t bx = RoundEven((double(cx) + viewOffsetX_ - originX_) * izx_);
    viewOffsetX_ = std::clamp(Trunc32(double(bx) * zoom / 100 - cx), 0, oldMax.X);
  }
  if (y) {
    const int cy = int(unsigned(CH()) >> 1);
    const int64_t by = RoundEven((double(cy) + viewOffsetY_ - originY_) * izy_);
    viewOffsetY_ = std::clamp(Trunc32(double(by) * zoom / 100 - cy), 0, oldMax.Y);
  }
  if (x) zoomX_ = zoom;
  if (y) zoomY_ = zoom;
  RecomputeFactors();
  UpdateView();
  UpdateView();
  ComputeVisibleRegion();
  RebuildCoordinateMaps();
  EndRedrawLockQuiet();
  PaintView();
  NotifyViewChange(1);
}

void TPictureView::ZoomAtPoint(int x, int y, double zoom, bool centre) {
  BeginRedrawLock();
  const int bx = ClientToBitmapX(x), by = ClientToBitmapY(y);
  SetZoomPercent(zoom);
  const double f = zoomX_ / 100;
  if (centre)
    SetViewOffset(Trunc32(bx * f - CW() / 2), Trunc32(by * f - CH() / 2));
  else
    SetViewOffset(Trunc32(bx * f - x + f), Trunc32(by * f - y + f));
  EndRedrawLock();
  ComputeVisibleRegion();
  RebuildCoordinateMaps();
  NotifyViewChange(1);
}

double TPictureView::FitZoomValue() {
  int mx = 0, my = 0;
  if (backgroundStyle_ == pxbsCropped) {
    mx = my = kEdgeSize;
  } else if (backgroundStyle_ == pxbsCropShadow) {
    mx = my = kCropShadowMargin;
  } else if (BorderStyle() == bsSingle) {
    mx = my = Ctl3D() ? kEdgeSize : kFlatBorderSize;
  }
  const int controlW = ControlWidth(), controlH = ControlHeight();
  const double fx = (controlW - 2.0 * mx) / (bitmapWidth_ / 100.0);
  const double fy = (controlH - 2.0 * my) / (bitmapHeight_ / 100.0);
  return std::min(fx, fy);
}

void TPictureView::FitToClient() {
  if (bitmapWidth_ == 0 || bitmapHeight_ == 0) return;
  if (Placed()) {
    if (barShownX_) {
      barShownX_ = false;
      barX_.Visible = false;
      Host()->SetScrollBar(sbHorizontal, barX_);
    }
    if (barShownY_) {
      barShownY_ = false;
      barY_.Visible = false;
      Host()->SetScrollBar(sbVertical, barY_);
    }
  }
  SetZoomPercent(FitZoomValue());
}

void TPictureView::AutomaticFit() {
  if (!(autoFit_ || autoStretch_ || autoShrink_) || bitmapWidth_ < 1 || bitmapHeight_ < 1) return;
  int ax, ay;
  if (backgroundStyle_ == pxbsCropped) {
    ax = ay = kEdgeSize;
  } else if (backgroundStyle_ == pxbsCropShadow) {
    ax = ay = kCropShadowMargin;
  } else {
    const int controlW = ControlWidth(), controlH = ControlHeight();
    ax = (controlW - CW()) / 2;
    ay = (controlH - CH()) / 2;
  }
  const int availW = CW() - 2 * ax, availH = CH() - 2 * ay;
  double zoom = 100;
  if (bitmapWidth_ >= 2 || bitmapHeight_ >= 2) {
    const bool shrink = autoShrink_ || autoFit_, stretch = autoStretch_ || autoFit_;
    if (availW > 0 && availH > 0) {
      if (double(bitmapWidth_) / availW > double(bitmapHeight_) / availH) {
        if (bitmapWidth_ > availW ? shrink : stretch) zoom = FitZoomValue();
      } else {
        if (bitmapHeight_ > availH ? shrink : stretch) zoom = FitZoomValue();
      }
    }
  }
  zoom = std::max(zoom, 1.0);
  if (ZoomAllowed(zoom, zoom)) {
    zoomX_ = zoomY_ = zoom;
    RecomputeFactors();
  }
  ComputeVisibleRegion();
  RebuildCoordinateMaps();
  NotifyViewChange(1);
  filterDelayCountdown_ = 0;
  animationPause_ = 0;
}

// ------------------------------------------------------------ offsets

TPictureView::TOffsetPair TPictureView::MaxViewOffset() {
  const int cw = CW(), ch = CH();
  double a = std::trunc(bitmapWidth_ * zx_), b = std::trunc(bitmapHeight_ * zy_);
  if (zoomX_ == zoomY_) {
    if (a > cw + 10 || b > ch + 10) {
      // One more bitmap pixel, so the last column (row) can scroll fully into view.
      a = std::trunc((bitmapWidth_ + 1.0) * zx_);
      b = std::trunc((bitmapHeight_ + 1.0) * zy_);
    }
  } else {
    if (a > cw + 10) a = std::trunc((bitmapWidth_ + 1.0) * zx_);
    if (b > ch + 10) b = std::trunc((bitmapHeight_ + 1.0) * zy_);
  }
  if (a < 1 || b < 1) return {};
  TOffsetPair m;
  m.X = std::max(0, Clamp32(int64_t(a) - cw));
  m.Y = std::max(0, Clamp32(int64_t(b) - ch));
  if (m.X > 0 && ClientToBitmapX(m.X) == 0) m.X = 0;
  if (m.Y > 0 && ClientToBitmapY(m.Y) == 0) m.Y = 0;
  const int controlW = ControlWidth(), controlH = ControlHeight();
  if (zoomX_ == zoomY_) {
    if (a <= controlW && b <= controlH) return {};
  } else {
    if (a <= controlW) m.X = 0;
    if (b <= controlH) m.Y = 0;
  }
  return m;
}

void TPictureView::SetViewOffsetX(int32_t x) {
  if (x == viewOffsetX_) return;
  const TOffsetPair m = MaxViewOffset();
  const int32_t nx = std::min(std::max(x, 0), m.X);
  if (nx == viewOffsetX_) return;
  StartFilterDelay();
  viewOffsetX_ = nx;
  MarkForRender();
  PaintView();
  NotifyViewChange(0);
  MoveThumbs(true, false);
}

void TPictureView::SetViewOffsetY(int32_t y) {
  if (y == viewOffsetY_) return;
  const TOffsetPair m = MaxViewOffset();
  const int32_t ny = std::min(std::max(y, 0), m.Y);
  if (ny == viewOffsetY_) return;
  StartFilterDelay();
  viewOffsetY_ = ny;
  MarkForRender();
  PaintView();
  NotifyViewChange(0);
  MoveThumbs(false, true);
}

void TPictureView::SetViewOffset(int32_t x, int32_t y) {
  if (x == viewOffsetX_ && y == viewOffsetY_) return;
  const TOffsetPair m = MaxViewOffset();
  const int32_t nx = std::min(std::max(x, 0), m.X), ny = std::min(std::max(y, 0), m.Y);
  if (nx == viewOffsetX_ && ny == viewOffsetY_) return;
  StartFilterDelay();
  viewOffsetX_ = nx;
  viewOffsetY_ = ny;
  MarkForRender();
  PaintView();
  NotifyViewChange(0);
  MoveThumbs(true, true);
}

void TPictureView::StartFilterDelay() {
  if (delayZoomFilter_ && zoomFilter_ != rfNone && (zoomX_ != 100 || zoomY_ != 100))
    filterDelayCountdown_ = filterDelayTicks_;
  animationPause_ = 2;
}

void TPictureView::MoveThumbs(bool horizontal, bool vertical) {
  if (!Placed()) return;
  if (horizontal && (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth) && barShownX_ && scrollScaleX_ > 0) {
    barX_.Position = Trunc32(viewOffsetX_ / scrollScaleX_);
    Host()->SetScrollBar(sbHorizontal, barX_);
  }
  if (vertical && (scrollBars_ == ssVertical || scrollBars_ == ssBoth) && barShownY_ && scrollScaleY_ > 0) {
    barY_.Position = Trunc32(viewOffsetY_ / scrollScaleY_);
    Host()->SetScrollBar(sbVertical, barY_);
  }
}

int32_t TPictureView::LineStep(bool horizontal) const {
  const int32_t p = std::max(Trunc32((horizontal ? zoomX_ : zoomY_) / 100), 1);
  const int32_t step = horizontal ? hScrollParams_.LineStep : vScrollParams_.LineStep;
  return step == -1 ? p : p * step;
}

int32_t TPictureView::PageStep(bool horizontal) const {
  const int32_t p = std::max(Trunc32((horizontal ? zoomX_ : zoomY_) / 100), 1);
  const int32_t step = horizontal ? hScrollParams_.PageStep : vScrollParams_.PageStep;
  if (step == -1) return horizontal ? CW() : CH();
  return p * step;
}

void TPictureView::Scroll(TScrollBarKind kind, TScrollCode code, int position) {
  const bool horizontal = kind == sbHorizontal;
  const int32_t offset = horizontal ? viewOffsetX_ : viewOffsetY_;
  const double scale = horizontal ? scrollScaleX_ : scrollScaleY_;
  const bool track = horizontal ? hScrollParams_.TrackThumb : vScrollParams_.TrackThumb;
  int64_t v = offset;
  switch (code) {
    case scLineUp:
      v = int64_t(offset) - LineStep(horizontal);
      break;
    case scLineDown:
      v = int64_t(offset) + LineStep(horizontal);
      break;
    case scPageUp:
      v = int64_t(offset) - PageStep(horizontal);
      break;
    case scPageDown:
      v = int64_t(offset) + PageStep(horizontal);
      break;
    case scTrack:
      if (!track) return;
      [[fallthrough]];
    case scPosition:
      v = Trunc32(double(uint16_t(position)) * scale);
      break;
    case scTop:
      v = 0;
      break;
    case scBottom: {
      const TOffsetPair m = MaxViewOffset();
      v = horizontal ? m.X : m.Y;
      break;
    }
    default:
      return;
  }
  if (horizontal)
    SetViewOffsetX(Clamp32(v));
  else
    SetViewOffsetY(Clamp32(v));
}

// ------------------------------------------------------------ layout pass

void TPictureView::BeginRedrawLock() {
  ++redrawLockCount_;
}

void TPictureView::EndRedrawLock() {
  if (redrawLockCount_ > 0) --redrawLockCount_;
  if (redrawLockCount_ == 0) UpdateView();
}

void TPictureView::EndRedrawLockQuiet() {
  if (redrawLockCount_ > 0) --redrawLockCount_;
}

void TPictureView::BeginLayoutLock() {
  ++layoutLockCount_;
}

void TPictureView::EndLayoutLock() {
  if (layoutLockCount_ > 0) {
    --layoutLockCount_;
    if (layoutLockCount_ == 0) UpdateView();
  }
}

void TPictureView::UpdateView() {
  if (layoutLockCount_ > 0 || destroying_) return;
  LayoutPass(false);
}

void TPictureView::ReattachPicture() {
  // Changes made straight to the platform bitmap, its size included, are
  // picked up; a picture kept elsewhere (memory, temporary file) stays there.
  if (image_->Location() == pxTBitmap && image_->Bitmap() == displayBitmap_.get())
    image_->AdoptTBitmap(displayBitmap_.get(), false);
  bitmapWidth_ = image_->Width();
  bitmapHeight_ = image_->Height();
}

void TPictureView::LayoutPass(bool repetition) {
  const bool wasRunning = layoutRunning_;
  layoutRunning_ = true;
  ReattachPicture();
  AutomaticFit();
  if (bitmapWidth_ != seenWidth_ || bitmapHeight_ != seenHeight_) {
    seenWidth_ = bitmapWidth_;
    seenHeight_ = bitmapHeight_;
    if (image_->HasAlphaChannel()) {
      TPxBitmap* alpha = image_->AlphaChannel();
      if (alpha->Width() != bitmapWidth_ || alpha->Height() != bitmapHeight_) {
        alpha->AllocatePixels(bitmapWidth_, bitmapHeight_, pxGray8);
        alpha->FillWith(255);
      }
    }
  }
  const int cw = CW(), ch = CH();
  const TOffsetPair m = MaxViewOffset();
  bool clamped = false;
  if (viewOffsetX_ > m.X) viewOffsetX_ = m.X, clamped = true;
  if (viewOffsetY_ > m.Y) viewOffsetY_ = m.Y, clamped = true;
  if (clamped) NotifyViewChange(0);
  if (Placed()) {
    UpdateScrollBars();
    // A bar that appeared or went away changed the client area: once more.
    if (!repetition && (CW() != cw || CH() != ch)) LayoutPass(true);
  }
  ComputeImageLayout();
  // Conversions and the press clamp read the visible region: keep it current
  // without waiting for the next render.
  ComputeVisibleRegion();
  RebuildCoordinateMaps();
  MarkForRender();
  if (Placed()) Host()->Invalidate();
  layoutRunning_ = wasRunning;
}

void TPictureView::UpdateScrollBars() {
  const TOffsetPair m = MaxViewOffset();
  try {
    if (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth) {
      if (m.X < 1) {
        if (barShownX_) {
          barShownX_ = false;
          barX_.Visible = false;
          Host()->SetScrollBar(sbHorizontal, barX_);
        }
      } else {
        barShownX_ = true;
        const int cw = CW();
        scrollScaleX_ = (double(cw) + m.X) / 65536;
        barX_ = {0, 65535, Trunc32(cw / scrollScaleX_), Trunc32(viewOffsetX_ / scrollScaleX_), true};
        Host()->SetScrollBar(sbHorizontal, barX_);
      }
    }
    if (scrollBars_ == ssVertical || scrollBars_ == ssBoth) {
      if (m.Y < 1) {
        if (barShownY_) {
          barShownY_ = false;
          barY_.Visible = false;
          Host()->SetScrollBar(sbVertical, barY_);
        }
      } else {
        barShownY_ = true;
        const int ch = CH();
        scrollScaleY_ = (double(ch) + m.Y) / 65536;
        barY_ = {0, 65535, Trunc32(ch / scrollScaleY_), Trunc32(viewOffsetY_ / scrollScaleY_), true};
        Host()->SetScrollBar(sbVertical, barY_);
      }
    }
  } catch (...) {
    // A failing scroll-bar call must not stop the layout.
  }
}

void TPictureView::ComputeImageLayout() {
  const int cw = CW(), ch = CH();
  zoomedWidth_ = Round32(bitmapWidth_ * zx_);
  zoomedHeight_ = Round32(bitmapHeight_ * zy_);
  originX_ = originY_ = 0;
  visibleWidth_ = std::min(zoomedWidth_, cw);
  visibleHeight_ = std::min(zoomedHeight_, ch);
  if (center_) {
    // The odd pixel is left over on the right (bottom).
    if (cw > visibleWidth_) originX_ = int32_t(uint32_t(cw - visibleWidth_) >> 1);
    if (ch > visibleHeight_) originY_ = int32_t(uint32_t(ch - visibleHeight_) >> 1);
  }
}

// ------------------------------------------------------------ visible region and maps

void TPictureView::ComputeVisibleRegion() {
  sourceX_ = sourceY_ = sourceWidth_ = sourceHeight_ = 0;
  if (zoomedWidth_ != 0) {
    const double r = double(bitmapWidth_) / zoomedWidth_;
    sourceX_ = Round32(SnapX(viewOffsetX_) * r);
    sourceWidth_ = Round32(r * visibleWidth_);
    if (int64_t(sourceX_) + sourceWidth_ > bitmapWidth_) --sourceWidth_;
  }
  if (zoomedHeight_ != 0) {
    const double r = double(bitmapHeight_) / zoomedHeight_;
    sourceY_ = Round32(SnapY(viewOffsetY_) * r);
    sourceHeight_ = Round32(r * visibleHeight_);
    if (int64_t(sourceY_) + sourceHeight_ > bitmapHeight_) --sourceHeight_;
  }
  if (zoomX_ > 100) {
    destWidth_ = Trunc32(sourceWidth_ * zx_);
    if (destWidth_ < visibleWidth_ && int64_t(sourceX_) + sourceWidth_ + 1 <= bitmapWidth_) {
      ++sourceWidth_;
      destWidth_ = Trunc32(sourceWidth_ * zx_);
    }
  } else {
    destWidth_ = visibleWidth_;
  }
  if (zoomY_ > 100) {
    destHeight_ = Trunc32(sourceHeight_ * zy_);
    if (destHeight_ < visibleHeight_ && int64_t(sourceY_) + sourceHeight_ + 1 <= bitmapHeight_) {
      ++sourceHeight_;
      destHeight_ = Trunc32(sourceHeight_ * zy_);
    }
  } else {
    destHeight_ = visibleHeight_;
  }
}

namespace {

// Builds the zoomed -> bitmap (zb) and bitmap -> zoomed (bz) maps of one axis.
// Both loops run downward, so an entry written several times keeps the value
// of the smallest index.
void BuildAxisMaps(double zoom, double z, double iz, int32_t zoomed, int32_t dest, int32_t bitmap,
                   std::vector<int32_t>& zb, std::vector<int32_t>& bz, int32_t& mapLen, int32_t& invLen) {
  mapLen = dest;
  invLen = Trunc32(dest * iz);
  const int64_t j = int64_t(zoomed) + dest;
  const int64_t k = static_cast<int64_t>((j + 1) * iz);
  const int32_t last = std::max(bitmap - 1, 0);
  // (k) x z can reach j + 1 when (j + 1) x iz is whole: one spare entry.
  zb.assign(size_t(j + 2), 0);
  bz.assign(size_t(k + 2), 0);
  if (zoom > 100) {
    for (int64_t jj = j; jj >= 0; --jj) {
      const int64_t i = static_cast<int64_t>(jj * iz);
      if (i < int64_t(bz.size())) bz[size_t(i)] = int32_t(jj);
      zb[size_t(jj)] = int32_t(std::min<int64_t>(i, last));
    }
  } else {
    for (int64_t kk = k; kk >= 0; --kk) {
      const int64_t i = static_cast<int64_t>(kk * z);
      bz[size_t(kk)] = int32_t(i);
      if (i < int64_t(zb.size())) zb[size_t(i)] = int32_t(std::min<int64_t>(kk, last));
    }
  }
}

}  // namespace

void TPictureView::RebuildCoordinateMaps() {
  const TMapKey key{zoomX_, zoomY_, destWidth_, destHeight_, bitmapWidth_, bitmapHeight_};
  if (!(key == mapKey_)) {
    zbX_.clear(), bzX_.clear(), zbY_.clear(), bzY_.clear();
    mapLenX_ = mapLenY_ = invLenX_ = invLenY_ = 0;
    xMapStart_ = invXMapStart_ = yMapStart_ = invYMapStart_ = 0;
    mapKey_ = TMapKey{};
    if (destWidth_ <= 0 || destHeight_ <= 0 || bitmapWidth_ <= 0 || bitmapHeight_ <= 0) return;
    BuildAxisMaps(zoomX_, zx_, izx_, zoomedWidth_, destWidth_, bitmapWidth_, zbX_, bzX_, mapLenX_, invLenX_);
    BuildAxisMaps(zoomY_, zy_, izy_, zoomedHeight_, destHeight_, bitmapHeight_, zbY_, bzY_, mapLenY_, invLenY_);
    mapKey_ = key;
  }
  PlaceMapWindows();
}

void TPictureView::PlaceMapWindows() {
  auto place = [](int32_t mapLen, int32_t s, int32_t source, const std::vector<int32_t>& zb,
                  const std::vector<int32_t>& bz, size_t& mapStart, size_t& invStart) {
    if (mapLen <= 0 || s < 0 || size_t(s) >= zb.size()) return;
    // The client map is the zoomed-to-bitmap map from the snapped offset on;
    // the inverse map is indexed from the first visible bitmap column.
    mapStart = size_t(s);
    invStart = size_t(std::max(0, zb[size_t(s)] - source));
    (void)bz;
  };
  place(mapLenX_, SnapX(viewOffsetX_), sourceX_, zbX_, bzX_, xMapStart_, invXMapStart_);
  place(mapLenY_, SnapY(viewOffsetY_), sourceY_, zbY_, bzY_, yMapStart_, invYMapStart_);
}

int TPictureView::SnapX(int v) const {
  v = std::max(v, 0);
  if (v < zoomedWidth_ && size_t(v) < zbX_.size()) {
    const int32_t b = zbX_[size_t(v)];
    if (b >= 0 && size_t(b) < bzX_.size()) return bzX_[size_t(b)];
  }
  return v;
}

int TPictureView::SnapY(int v) const {
  v = std::max(v, 0);
  if (v < zoomedHeight_ && size_t(v) < zbY_.size()) {
    const int32_t b = zbY_[size_t(v)];
    if (b >= 0 && size_t(b) < bzY_.size()) return bzY_[size_t(b)];
  }
  return v;
}

int TPictureView::ClientToBitmapX(int c) const {
  const int64_t a = int64_t(c) - originX_;
  if (a >= 0 && a < mapLenX_ && xMapStart_ + size_t(a) < zbX_.size()) return zbX_[xMapStart_ + size_t(a)];
  return Trunc32(double(a) * izx_ + sourceX_);
}

int TPictureView::ClientToBitmapY(int c) const {
  const int64_t a = int64_t(c) - originY_;
  if (a >= 0 && a < mapLenY_ && yMapStart_ + size_t(a) < zbY_.size()) return zbY_[yMapStart_ + size_t(a)];
  return Trunc32(double(a) * izy_ + sourceY_);
}

int TPictureView::BitmapToClientX(int x) const {
  const int64_t d = int64_t(x) - sourceX_;
  if (d >= 0 && d < invLenX_ && invXMapStart_ + size_t(d) < bzX_.size())
    return Clamp32(int64_t(bzX_[invXMapStart_ + size_t(d)]) + originX_);
  return Round32((double(RoundEven(-SnapX(viewOffsetX_) * izx_)) + x) * zx_ + originX_);
}

int TPictureView::BitmapToClientY(int y) const {
  const int64_t d = int64_t(y) - sourceY_;
  if (d >= 0 && d < invLenY_ && invYMapStart_ + size_t(d) < bzY_.size())
    return Clamp32(int64_t(bzY_[invYMapStart_ + size_t(d)]) + originY_);
  return Round32((double(RoundEven(-SnapY(viewOffsetY_) * izy_)) + y) * zy_ + originY_);
}

void TPictureView::NotifyViewChange(int change) {
  if (OnViewChange) OnViewChange(*this, change);
}

// ------------------------------------------------------------ options

void TPictureView::SetCenter(bool v) {
  if (v == center_) return;
  center_ = v;
  UpdateView();
}

void TPictureView::SetAutoFit(bool v) {
  autoFit_ = v;
  UpdateView();
}

void TPictureView::SetAutoStretch(bool v) {
  autoStretch_ = v;
  UpdateView();
}

void TPictureView::SetAutoShrink(bool v) {
  autoShrink_ = v;
  UpdateView();
}

void TPictureView::SetScrollBars(TScrollStyle style) {
  scrollBars_ = style;
  if (Placed()) {
    if (style != ssVertical && style != ssBoth && (barShownY_ || barY_.Visible)) {
      barShownY_ = false;
      barY_.Visible = false;
      Host()->SetScrollBar(sbVertical, barY_);
    }
    if (style != ssHorizontal && style != ssBoth && (barShownX_ || barX_.Visible)) {
      barShownX_ = false;
      barX_.Visible = false;
      Host()->SetScrollBar(sbHorizontal, barX_);
    }
  }
  UpdateView();
}

}  // namespace rv
