// TPictureView: the back buffer, rendering, presenting, the delayed zoom
// filter and the painting properties.
#include <algorithm>
#include <cstring>
#include <span>

#include "imaging/pxrender.h"
#include "viewer/pictureview.h"

namespace rv {

namespace {

TViewRect Intersect(const TViewRect& a, const TViewRect& b) {
  TViewRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
              std::min(a.Bottom, b.Bottom)};
  if (r.IsEmpty()) return {};
  return r;
}

TViewRect Offset(const TViewRect& r, int dx, int dy) {
  return {r.Left + dx, r.Top + dy, r.Right + dx, r.Bottom + dy};
}

}  // namespace

// ------------------------------------------------------------ back buffer

TViewRect TPictureView::CurrentVisibleRect() const {
  const TViewRect client{0, 0, ClientWidth(), ClientHeight()};
  if (!Host()) return client;
  return Intersect(client, Host()->VisibleRect());
}

void TPictureView::RebuildRowTable() {
  rowTable_.resize(size_t(std::max(backBuffer_.Height(), 0)));
  for (int y = 0; y < backBuffer_.Height(); ++y) rowTable_[size_t(y)] = backBuffer_.ScanLine(y);
}

// Resizing (and a depth change) moves the buffer's pixels: the depth is set
// again (the renderer draws only on 24 bits) and the row table rebuilt.
void TPictureView::SetBufferRect(const TViewRect& rect) {
  if (rect.Width() != backBuffer_.Width() || rect.Height() != backBuffer_.Height() ||
      backBuffer_.PixelFormat() != TPixelFormat::pf24bit) {
    backBuffer_.SetSize(std::max(rect.Width(), 0), std::max(rect.Height(), 0));
    backBuffer_.SetPixelFormat(TPixelFormat::pf24bit);
    RebuildRowTable();
  }
  bufferRect_ = rect;
  backBufferDirty_ = true;
}

void TPictureView::EnsureBackBuffer() {
  const TViewRect visible = CurrentVisibleRect();
  if (visible == bufferRect_ && backBuffer_.Width() == visible.Width() && backBuffer_.Height() == visible.Height() &&
      backBuffer_.PixelFormat() == TPixelFormat::pf24bit)
    return;
  SetBufferRect(visible);
}

void TPictureView::MarkForRender() {
  backBufferDirty_ = true;
  fullRepaint_ = true;
}

void TPictureView::VisibleRectChanged() {
  if (!Placed()) return;
  const TViewRect old = bufferRect_;
  const TViewRect visible = CurrentVisibleRect();
  if (visible == old) return;
  // Keep what stays in view and render only what came into view. A filtered
  // picture is resampled per buffer, so its phase follows the buffer: it is
  // rendered whole again, as is anything an OnDrawBackBuffer handler drew.
  const TViewRect kept = Intersect(old, visible);
  const bool shift = !backBufferDirty_ && !kept.IsEmpty() && visible.Width() == old.Width() &&
                     visible.Height() == old.Height() && backBuffer_.PixelFormat() == TPixelFormat::pf24bit &&
                     ChosenFilter() == rfNone && !OnDrawBackBuffer;
  if (!shift) {
    SetBufferRect(visible);
    return;
  }
  // Move the kept pixels to their new place in the buffer (same size).
  const int dx = old.Left - visible.Left, dy = old.Top - visible.Top;
  const TViewRect src = Offset(kept, -old.Left, -old.Top);
  const size_t bytes = 3 * size_t(kept.Width());
  const int dstLeft = src.Left + dx;
  auto moveRow = [&](int y) {
    std::memmove(backBuffer_.ScanLine(y + dy) + 3 * size_t(dstLeft), backBuffer_.ScanLine(y) + 3 * size_t(src.Left),
                 bytes);
  };
  if (dy > 0) {
    for (int y = src.Bottom - 1; y >= src.Top; --y) moveRow(y);
  } else {
    for (int y = src.Top; y < src.Bottom; ++y) moveRow(y);
  }
  bufferRect_ = visible;
  // The newly exposed part: a band across the full width above or below the
  // kept rows, and a band beside them.
  const TViewRect keptInBuffer = Offset(kept, -visible.Left, -visible.Top);
  const int w = visible.Width(), h = visible.Height();
  if (keptInBuffer.Top > 0) RenderBackBuffer({0, 0, w, keptInBuffer.Top});
  if (keptInBuffer.Bottom < h) RenderBackBuffer({0, keptInBuffer.Bottom, w, h});
  if (keptInBuffer.Left > 0) RenderBackBuffer({0, keptInBuffer.Top, keptInBuffer.Left, keptInBuffer.Bottom});
  if (keptInBuffer.Right < w) RenderBackBuffer({keptInBuffer.Right, keptInBuffer.Top, w, keptInBuffer.Bottom});
}

// ------------------------------------------------------------ painting

void TPictureView::Paint(const TViewRect& rect) {
  if (!Placed() || ClientWidth() == 0 || ClientHeight() == 0) return;
  try {
    if (redrawLockCount_ == 0) {
      TViewRect r = rect;
      if (fullRepaint_) {
        r = {0, 0, ClientWidth(), ClientHeight()};
      } else {
        if (r.Right == 0) r.Right = ClientWidth();
        if (r.Bottom == 0) r.Bottom = ClientHeight();
      }
      PresentBackBuffer(r);
      if (OnDrawCanvas) OnDrawCanvas(*this, TViewRect{0, 0, ClientWidth(), ClientHeight()});
    }
    fullRepaint_ = false;
    AnimationStep();
    if (OnPaint) OnPaint(*this);
  } catch (...) {
    // The next paint tries again.
  }
}

void TPictureView::PaintView() {
  if (!Placed() || ClientWidth() == 0 || ClientHeight() == 0) return;
  if (redrawLockCount_ == 0) {
    // Shown at once: the host paints synchronously and comes back through Paint.
    Host()->RepaintNow();
    return;
  }
  // Locked: nothing reaches the window, the rest of a paint still runs.
  try {
    fullRepaint_ = false;
    AnimationStep();
    if (OnPaint) OnPaint(*this);
  } catch (...) {
  }
}

void TPictureView::PresentBackBuffer(const TViewRect& rect) {
  if (!Placed()) return;
  EnsureBackBuffer();
  if (backBufferDirty_) {
    RenderBackBuffer({0, 0, backBuffer_.Width(), backBuffer_.Height()});
    if (OnDrawBackBuffer) OnDrawBackBuffer(*this, backBuffer_);
    backBufferDirty_ = false;
  }
  const TViewRect r = Intersect(Intersect(rect, TViewRect{0, 0, ClientWidth(), ClientHeight()}), bufferRect_);
  if (r.IsEmpty()) return;
  Host()->Present(backBuffer_, bufferRect_.Left, bufferRect_.Top, r);
}

TResampleFilter TPictureView::ChosenFilter() const {
  if (filterDelayCountdown_ > 0) return rfNone;
  if (zoomX_ != 100 || zoomY_ != 100) return zoomFilter_;
  return rfNone;
}

bool TPictureView::PictureCoversBuffer() {
  // Buffer coordinates are client coordinates less the buffer's corner.
  const bool geometry = originX_ <= bufferRect_.Left && originY_ <= bufferRect_.Top &&
                        int64_t(originX_) + destWidth_ >= bufferRect_.Right &&
                        int64_t(originY_) + destHeight_ >= bufferRect_.Bottom;
  if (!geometry) return false;
  if (!enableAlphaChannel_ || !image_->HasAlphaChannel()) return true;
  return image_->AlphaChannel()->AllOpaque();
}

void TPictureView::PaintBackgroundInto(const TViewRect& clip) {
  bool handled = false;
  if (OnDrawBackground) OnDrawBackground(*this, backBuffer_, clip, handled);
  if (handled) return;
  TBackgroundParams params;
  params.Color = Background();
  params.Style = backgroundStyle_;
  params.GradientEndColor = gradientEndColor_;
  params.ChessboardCellSize = chessboardCellSize_;
  params.ChessboardBrushStyle = chessboardBrushStyle_;
  params.WallPaper = wallPaper_ && !wallPaper_->Empty() ? wallPaper_.get() : nullptr;
  params.WallPaperStyle = wallPaperStyle_;
  const int dx = -bufferRect_.Left, dy = -bufferRect_.Top;
  // The whole client area is the area, so styles stay anchored to the client
  // wherever the buffer lies.
  const TViewRect area = Offset(TViewRect{0, 0, ClientWidth(), ClientHeight()}, dx, dy);
  const TViewRect imageRect =
      Offset(TViewRect{originX_, originY_, originX_ + destWidth_, originY_ + destHeight_}, dx, dy);
  PaintBackground(backBuffer_, params, imageRect, area, clip);
}

void TPictureView::RenderBackBuffer(const TViewRect& clipRect) {
  const TViewRect clip = Intersect(clipRect, TViewRect{0, 0, backBuffer_.Width(), backBuffer_.Height()});
  if (clip.IsEmpty()) return;
  ReattachPicture();
  ComputeVisibleRegion();
  RebuildCoordinateMaps();
  if (bitmapWidth_ == 0 || bitmapHeight_ == 0) return;
  if (image_->HasAlphaChannel()) {
    TPxBitmap* alpha = image_->AlphaChannel();
    if (alpha->Width() != bitmapWidth_ || alpha->Height() != bitmapHeight_) return;
  }
  const bool drawLayer =
      destWidth_ != 0 && destHeight_ != 0 && (bitmapWidth_ >= kMinimumLayerSize || bitmapHeight_ >= kMinimumLayerSize);
  if (!drawLayer) {
    PaintBackgroundInto(clip);
    return;
  }
  if (!PictureCoversBuffer()) PaintBackgroundInto(clip);

  // The picture's rectangle in buffer coordinates. The renderer indexes a
  // given table from the first destination column it draws, so where the
  // picture starts left of (above) the buffer the tables start that much later.
  const int dstX = originX_ - bufferRect_.Left, dstY = originY_ - bufferRect_.Top;
  const size_t skipX = size_t(std::max(0, -dstX)), skipY = size_t(std::max(0, -dstY));
  TRenderTables tables;
  tables.RowTable = std::span<uint8_t* const>(rowTable_.data(), rowTable_.size());
  if (mapLenX_ > 0 && skipX < size_t(mapLenX_) && xMapStart_ + size_t(mapLenX_) <= zbX_.size())
    tables.XTable = std::span<const int32_t>(zbX_.data() + xMapStart_ + skipX, size_t(mapLenX_) - skipX);
  if (mapLenY_ > 0 && skipY < size_t(mapLenY_) && yMapStart_ + size_t(mapLenY_) <= zbY_.size())
    tables.YTable = std::span<const int32_t>(zbY_.data() + yMapStart_ + skipY, size_t(mapLenY_) - skipY);
  // A solid background is the same on every row, so a row whose source row
  // repeats can be copied from the row above even under a transparent picture.
  const bool reuseRows = backgroundStyle_ == pxbsSolid && !(wallPaper_ && !wallPaper_->Empty()) && !OnDrawBackground;
  // TRenderClip is inclusive.
  const TRenderClip renderClip{clip.Left, clip.Top, clip.Right - 1, clip.Bottom - 1};
  zoomCache_.Render(*image_, backBuffer_, &tables, &renderClip, dstX, dstY, destWidth_, destHeight_, sourceX_, sourceY_,
                    sourceWidth_, sourceHeight_, enableAlphaChannel_, reuseRows, 255, ChosenFilter(), true, 0);
}

// ------------------------------------------------------------ delayed filter

void TPictureView::UpdateAnimationTimer() {
  const bool want = filterDelayCountdown_ > 0 || animationPause_ > 0;
  if (want && timerId_ < 0 && Host()) {
    timerId_ = Host()->StartTimer(kAnimationIntervalMs, [this, alive = std::weak_ptr<int>(aliveToken_)] {
      if (!alive.expired()) AnimationStep();
    });
  } else if (!want && timerId_ >= 0) {
    if (Host()) Host()->StopTimer(timerId_);
    timerId_ = -1;
  }
}

void TPictureView::AnimationStep() {
  UpdateAnimationTimer();
  if (filterDelayCountdown_ > 0) {
    --filterDelayCountdown_;
    // The last unfiltered step: lay out again, which repaints with the filter.
    if (filterDelayCountdown_ == 0) UpdateView();
  }
  if (animationPause_ > 0) --animationPause_;
}

// ------------------------------------------------------------ properties

void TPictureView::SetBackground(uint32_t color) {
  TPxView::SetBackground(color);
  UpdateView();
  NotifyImageChange();
}

void TPictureView::SetBackgroundStyle(TPxBackgroundStyle style) {
  backgroundStyle_ = style;
  if (Placed()) Host()->Invalidate();
  UpdateView();
}

void TPictureView::SetGradientEndColor(uint32_t color) {
  if (color == gradientEndColor_) return;
  gradientEndColor_ = color;
  UpdateView();
}

void TPictureView::SetChessboardStyle(int32_t cellSize, TBrushStyle brushStyle) {
  chessboardCellSize_ = cellSize;
  chessboardBrushStyle_ = brushStyle;
}

void TPictureView::SetWallPaper(const TBitmap* picture) {
  if (picture && !picture->Empty()) {
    if (!wallPaper_) wallPaper_ = std::make_unique<TBitmap>();
    wallPaper_->Assign(*picture);
  } else {
    wallPaper_.reset();
  }
  UpdateView();
}

void TPictureView::SetWallPaperStyle(TPxWallPaperStyle style) {
  if (style == wallPaperStyle_) return;
  wallPaperStyle_ = style;
  UpdateView();
}

void TPictureView::SetEnableAlphaChannel(bool v) {
  enableAlphaChannel_ = v;
  UpdateView();
}

void TPictureView::SetZoomFilter(TResampleFilter filter) {
  restoreFilter_ = filter;
  if (filter == zoomFilter_) return;
  zoomFilter_ = filter;
  UpdateView();
}

void TPictureView::FlattenAlphaChannel(bool apply) {
  if (apply && image_->Format() == pxRGB24 && image_->HasAlphaChannel()) {
    TPxBitmap* alpha = image_->AlphaChannel();
    const uint32_t bg = ResolveColor(Background());
    const int bgc[3] = {int((bg >> 16) & 0xFF), int((bg >> 8) & 0xFF), int(bg & 0xFF)};  // blue, green, red
    const int w = std::min(image_->Width(), alpha->Width()), h = std::min(image_->Height(), alpha->Height());
    for (int y = 0; y < h; ++y) {
      uint8_t* p = image_->RowPointer(y);
      const uint8_t* a = alpha->RowPointer(y);
      for (int x = 0; x < w; ++x, p += 3) {
        // bg + floor((p - bg) x a / 256): the shift floors toward minus infinity.
        for (int c = 0; c < 3; ++c) p[c] = uint8_t(bgc[c] + (((int(p[c]) - bgc[c]) * int(a[x])) >> 8));
      }
    }
  }
  image_->RemoveAlphaChannel();
  zoomCache_.Invalidate();
}

}  // namespace rv
