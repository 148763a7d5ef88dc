// TPictureView: the picture view. It shows one picture (ImageBitmap, whose
// pixels live in the platform bitmap DisplayBitmap) scaled by a zoom and
// scrolled by a view offset inside its client area, renders it over a
// background into a back buffer and hands that buffer to its host window.
//
// Ownership: the view owns its picture, the platform bitmap behind it, the back
// buffer, the wallpaper and the input and processing components it creates on
// first request; callers use what the getters return and never free it. The
// host (TViewHost) is not owned and must outlive the view, or be cleared with
// SetHost(nullptr) first.
//
// The back buffer covers only the part of the client area the host reports as
// visible (TViewHost::VisibleRect), so memory and rendering time follow the
// screen, not the zoomed picture.
//
// The host calls the entry points under "host entry points" from its event
// handlers, on the window's thread. Failure: zoom writes that are not positive
// or whose zoomed size could not be held are ignored; painting swallows errors
// (the next paint tries again).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxresample.h"
#include "platform/tbitmap.h"
#include "view/pxview.h"
#include "viewer/background.h"
#include "viewer/viewcomponents.h"
#include "viewer/zoomcache.h"

namespace rv {

class TPictureIO;

enum TScrollStyle : int { ssNone = 0, ssHorizontal = 1, ssVertical = 2, ssBoth = 3 };

// Per-bar options: LineStep / PageStep -1 mean one zoomed bitmap pixel / the
// client size; otherwise they count bitmap pixels (times the zoom from 200 % on).
struct TPxScrollBarParams {
  int32_t LineStep = -1;
  int32_t PageStep = -1;
  bool TrackThumb = true;
};

enum TPxWheelAction : uint8_t { WheelNone = 0, WheelScroll = 1, WheelZoom = 2 };
enum TPxWheelStepMode : uint8_t { StepAbsolute = 0, StepPercent = 1 };

struct TPxMouseWheelParams {
  bool ReverseDirection = false;
  uint8_t WheelAction = WheelZoom;
  uint8_t StepMode = StepPercent;
  int32_t StepSize = 8;
  bool ZoomAroundCursor = false;
};

// Mouse interaction modes, bit n of the set = item n.
enum TPxMouseInteractItem : int {
  miZoom = 0,
  miScroll = 1,
  miSelect = 2,
  miSelectPolygon = 3,
  miSelectCircle = 4,
  miSelectZoom = 5,
  miSelectMagicWand = 6,
  miSelectLasso = 7,
  miMoveLayers = 8,
  miResizeLayers = 9,
};
using TPxMouseInteract = uint16_t;
constexpr TPxMouseInteract MouseInteractBit(TPxMouseInteractItem item) {
  return TPxMouseInteract(1u << item);
}

// Cursor ids of the viewer (the Qt layer draws the shapes).
inline constexpr TCursorId crZoomOut = 1778;
inline constexpr TCursorId crZoomIn = 1779;
inline constexpr TCursorId crHand = 1782;  // drag-scrolling
inline constexpr TCursorId crCross2 = 1793;
inline constexpr TCursorId crCross3 = 1785;  // the default view cursor
inline constexpr TCursorId crCross3Plus = 1791;
inline constexpr TCursorId crCross2Plus = 1794;

// Zoom steps of click zooming below 100 %, in per cent.
inline constexpr double kZoomSteps[] = {2, 5, 10, 25, 33, 50, 75, 100};

// Zoomed sizes above this are refused by default: the platform's window
// coordinates are 16-bit (X11 windows are at most 32,767 pixels wide).
inline constexpr int64_t kDefaultZoomedSizeLimit = 32767;

// Posted-message numbers of work reported from other threads.
inline constexpr int kMsgUpdateView = 8024;  // WM_USER+7000
inline constexpr int kMsgProgress = 8027;    // WM_USER+7003
inline constexpr int kMsgFinishWork = 8028;  // WM_USER+7004

class TPictureView : public TPxView {
 public:
  using TViewChangeEvent = std::function<void(TPictureView& sender, int change)>;
  using TZoomEvent = std::function<void(TPictureView& sender, double& newZoom)>;
  using TViewNotifyEvent = std::function<void(TPictureView& sender)>;
  using TSpecialKeyEvent = std::function<void(TPictureView& sender, uint16_t charCode, bool& handled)>;
  using TProgressEvent = std::function<void(TPictureView& sender, int percent)>;
  using TMouseEvent = std::function<void(TPictureView& sender, TMouseButton button, TShiftState shift, int x, int y)>;
  using TMouseMoveEvent = std::function<void(TPictureView& sender, TShiftState shift, int x, int y)>;
  using TKeyEvent = std::function<void(TPictureView& sender, uint16_t& key, TShiftState shift)>;
  using TKeyPressEvent = std::function<void(TPictureView& sender, char32_t& key)>;
  using TWheelEvent =
      std::function<void(TPictureView& sender, TShiftState shift, int delta, int x, int y, bool& handled)>;
  // Painting events. OnDrawBackground may paint the background itself into
  // the back buffer (whose pixel (0, 0) is client point (rect.Left, rect.Top)
  // given by BackBufferRect) and set handled to skip the style and the
  // wallpaper; clip is the part being rendered, in buffer coordinates.
  using TDrawBackgroundEvent =
      std::function<void(TPictureView& sender, TBitmap& buffer, const TViewRect& clip, bool& handled)>;
  using TDrawBackBufferEvent = std::function<void(TPictureView& sender, TBitmap& buffer)>;
  // After the buffer was presented; clientRect is the whole client area. The
  // host draws on its own window if it wants to.
  using TDrawCanvasEvent = std::function<void(TPictureView& sender, const TViewRect& clientRect)>;

  explicit TPictureView(TViewHost* host = nullptr);
  // Frees the components (they unregister themselves), then the base calls the
  // remaining change listeners in registration order with destroying = true.
  // By then the viewer's part is gone: such a callback must not call back
  // into the view (no ImageBitmap, no UpdateView), only forget it.
  ~TPictureView() override;

  // --- the picture ----------------------------------------------------------
  TBitmap* DisplayBitmap() override { return displayBitmap_.get(); }
  TPxBitmap* ImageBitmap() override { return image_.get(); }
  TPxBitmap* ImageAlphaChannel() override { return image_->AlphaChannel(); }
  bool ImageHasAlphaChannel() override { return image_->HasAlphaChannel(); }
  // apply: blends a pxRGB24 picture over Background through its alpha
  // channel; then (in every case) the alpha channel is removed.
  void FlattenAlphaChannel(bool apply) override;
  int32_t BitmapWidth() const { return bitmapWidth_; }
  int32_t BitmapHeight() const { return bitmapHeight_; }
  // Narrower than 2 and lower than 2 pixels.
  bool IsEmptyImage();
  void ClearToBackground();
  void BlankImage();
  // The input and processing components, created and attached on first call.
  TPictureIO* InputComponent();
  TPictureProc* ProcessingComponent();
  void NotifyImageChange() override;

  // --- zoom and scrolling -----------------------------------------------------
  double ZoomPercent() const { return zoomX_; }
  double ZoomPercentX() const { return zoomX_; }
  double ZoomPercentY() const { return zoomY_; }
  void SetZoomPercent(double zoom);
  void SetZoomPercentX(double zoom);
  void SetZoomPercentY(double zoom);
  // Zoomed sizes above this many pixels are refused (no change, no event);
  // the 32-bit limit of sizes always applies. 0 leaves only that limit.
  int64_t ZoomedSizeLimit() const { return zoomedSizeLimit_; }
  void SetZoomedSizeLimit(int64_t limit) { zoomedSizeLimit_ = limit; }
  // True when the zoom pair would give zoomed sizes that can be held.
  bool ZoomAllowed(double zoomX, double zoomY) const;
  int32_t ViewOffsetX() const { return viewOffsetX_; }
  int32_t ViewOffsetY() const { return viewOffsetY_; }
  void SetViewOffsetX(int32_t x);
  void SetViewOffsetY(int32_t y);
  void SetViewOffset(int32_t x, int32_t y);
  struct TOffsetPair {
    int32_t X = 0, Y = 0;
    friend bool operator==(const TOffsetPair&, const TOffsetPair&) = default;
  };
  TOffsetPair MaxViewOffset();
  void ZoomAtPoint(int x, int y, double zoom, bool centre);
  double FitZoomValue();
  void FitToClient();

  int32_t ZoomedWidth() const { return zoomedWidth_; }
  int32_t ZoomedHeight() const { return zoomedHeight_; }
  int32_t VisibleWidth() const { return visibleWidth_; }
  int32_t VisibleHeight() const { return visibleHeight_; }
  int32_t OriginX() const { return originX_; }
  int32_t OriginY() const { return originY_; }
  int32_t SourceX() const { return sourceX_; }
  int32_t SourceY() const { return sourceY_; }
  int32_t SourceWidth() const { return sourceWidth_; }
  int32_t SourceHeight() const { return sourceHeight_; }
  int32_t DestWidth() const { return destWidth_; }
  int32_t DestHeight() const { return destHeight_; }

  int ClientToBitmapX(int c) const;
  int ClientToBitmapY(int c) const;
  int BitmapToClientX(int x) const;
  int BitmapToClientY(int y) const;

  bool Center() const { return center_; }
  void SetCenter(bool v);
  bool AutoFit() const { return autoFit_; }
  void SetAutoFit(bool v);
  bool AutoStretch() const { return autoStretch_; }
  void SetAutoStretch(bool v);
  bool AutoShrink() const { return autoShrink_; }
  void SetAutoShrink(bool v);
  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle style);
  bool FlatScrollBars() const { return flatScrollBars_; }
  void SetFlatScrollBars(bool v) { flatScrollBars_ = v; }  // one kind of bar on this platform
  TPxScrollBarParams& HScrollParams() { return hScrollParams_; }
  TPxScrollBarParams& VScrollParams() { return vScrollParams_; }
  TPxMouseWheelParams& WheelParams() { return wheelParams_; }
  bool DoubleBuffer() const { return doubleBuffer_; }
  void SetDoubleBuffer(bool v) { doubleBuffer_ = v; }  // stored; the back buffer is always used

  // --- layout ----------------------------------------------------------------------
  void UpdateView() override;
  void BeginRedrawLock() override;
  void EndRedrawLock() override;
  void EndRedrawLockQuiet() override;
  int32_t RedrawLockCount() const { return redrawLockCount_; }
  void BeginLayoutLock();
  void EndLayoutLock();
  int32_t LayoutLockCount() const { return layoutLockCount_; }

  // --- painting -----------------------------------------------------------------------
  void SetBackground(uint32_t color) override;
  TPxBackgroundStyle BackgroundStyle() const { return backgroundStyle_; }
  void SetBackgroundStyle(TPxBackgroundStyle style);
  uint32_t GradientEndColor() const { return gradientEndColor_; }
  void SetGradientEndColor(uint32_t color);
  int32_t ChessboardCellSize() const { return chessboardCellSize_; }
  TBrushStyle ChessboardBrushStyle() const { return chessboardBrushStyle_; }
  void SetChessboardStyle(int32_t cellSize, TBrushStyle brushStyle);
  // The wallpaper is copied; an empty bitmap (or nullptr) removes it.
  const TBitmap* WallPaper() const { return wallPaper_.get(); }
  void SetWallPaper(const TBitmap* picture);
  TPxWallPaperStyle WallPaperStyle() const { return wallPaperStyle_; }
  void SetWallPaperStyle(TPxWallPaperStyle style);
  bool EnableAlphaChannel() const { return enableAlphaChannel_; }
  void SetEnableAlphaChannel(bool v);
  TResampleFilter ZoomFilter() const { return zoomFilter_; }
  void SetZoomFilter(TResampleFilter filter);
  bool DelayZoomFilter() const { return delayZoomFilter_; }
  void SetDelayZoomFilter(bool v) { delayZoomFilter_ = v; }
  int32_t FilterDelayCountdown() const { return filterDelayCountdown_; }
  int32_t FilterDelayTicks() const { return filterDelayTicks_; }
  void SetFilterDelayTicks(int32_t ticks) { filterDelayTicks_ = ticks; }
  // The filter the next render uses (rfNone at 100 % and while the delay runs).
  TResampleFilter ChosenFilter() const;
  bool AnimationTimerRunning() const { return timerId_ >= 0; }

  // The back buffer and the client rectangle it covers (the visible part).
  const TBitmap& BackBuffer() const { return backBuffer_; }
  TViewRect BackBufferRect() const { return bufferRect_; }
  bool BackBufferDirty() const { return backBufferDirty_; }
  // Renders the buffer if it is dirty and presents rect (client coordinates).
  void PresentBackBuffer(const TViewRect& rect);
  // Paint handler of the view: the host's paint entry (Paint) and the view's
  // own "show it now" both end here.
  void PaintView();

  TDrawBackgroundEvent OnDrawBackground;
  TDrawBackBufferEvent OnDrawBackBuffer;
  TDrawCanvasEvent OnDrawCanvas;
  TViewNotifyEvent OnPaint;

  // --- input -------------------------------------------------------------------------------
  TPxMouseInteract MouseInteract() const { return mouseInteract_; }
  void SetMouseInteract(TPxMouseInteract value);
  TCursorId Cursor() const { return cursor_; }
  void SetCursor(TCursorId cursor);
  bool ShiftExtendsSelection() const { return shiftExtendsSelection_; }
  void SetShiftExtendsSelection(bool v) { shiftExtendsSelection_ = v; }

  TViewChangeEvent OnViewChange;
  TViewNotifyEvent OnImageChange;
  TZoomEvent OnZoomIn;
  TZoomEvent OnZoomOut;
  TSpecialKeyEvent OnSpecialKey;
  TMouseEvent OnMouseDown;
  TMouseMoveEvent OnMouseMove;
  TMouseEvent OnMouseUp;
  TViewNotifyEvent OnClick;
  TViewNotifyEvent OnDblClick;
  TKeyEvent OnKeyDown;
  TKeyEvent OnKeyUp;
  TKeyPressEvent OnKeyPress;
  TWheelEvent OnMouseWheel;
  // Progress and end of work of the attached components (and of posted
  // messages); the sender is the view. Read at each call, so writing them
  // reaches components created earlier too.
  TProgressEvent OnProgress;
  TViewNotifyEvent OnFinishWork;

  // --- host entry points ------------------------------------------------------------------
  // The host's paint handler: rect is the invalid part, client coordinates.
  void Paint(const TViewRect& rect);
  // The control's size changed.
  void Resize();
  // The visible part of the client area changed (TViewHost::VisibleRect).
  void VisibleRectChanged();
  // A scroll command of one of the bars; position is the 16-bit thumb value.
  void Scroll(TScrollBarKind kind, TScrollCode code, int position);
  // Positions are client coordinates.
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  void MouseMove(TShiftState shift, int x, int y);
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
  void DblClick();
  // delta: the vertical wheel angle (Qt's angleDelta().y(), 120 a notch);
  // steps of 120 are added up, and events without vertical movement ignored.
  void Wheel(int delta, TShiftState shift, int x, int y);
  void KeyDown(uint16_t& key, TShiftState shift);
  void KeyUp(uint16_t& key, TShiftState shift);
  void KeyPress(char32_t& key);
  // The special-key query: true when the view claims key (it then reaches
  // KeyDown as an ordinary key); the navigation keys 33 to 40 are claimed.
  bool WantsSpecialKey(uint16_t key, TShiftState shift);
  void FocusIn();
  void FocusOut();
  // Work on other threads reports through the host's PostCall with these.
  void PostUpdateView();
  void PostProgress(int percent);
  void PostFinishWork();

 private:
  friend struct TPictureViewTestAccess;

  // layout (pictureview_layout.cpp)
  int CW() const { return ClientWidth(); }
  int CH() const { return ClientHeight(); }
  int ControlWidth() const;
  int ControlHeight() const;
  void SetZoomAxes(double zoom, bool x, bool y);
  void RecomputeFactors();
  void ReattachPicture();
  void AutomaticFit();
  void LayoutPass(bool repetition);
  void UpdateScrollBars();
  void ComputeImageLayout();
  void ComputeVisibleRegion();
  void RebuildCoordinateMaps();
  void PlaceMapWindows();
  int SnapX(int v) const;
  int SnapY(int v) const;
  void NotifyViewChange(int change);
  void StartFilterDelay();
  int32_t LineStep(bool horizontal) const;
  int32_t PageStep(bool horizontal) const;
  void MoveThumbs(bool horizontal, bool vertical);

  // painting (pictureview_paint.cpp)
  void RenderBackBuffer(const TViewRect& clip);
  void PaintBackgroundInto(const TViewRect& clip);
  bool PictureCoversBuffer();
  void EnsureBackBuffer();
  void SetBufferRect(const TViewRect& rect);
  void RebuildRowTable();
  TViewRect CurrentVisibleRect() const;
  void AnimationStep();
  void UpdateAnimationTimer();
  void MarkForRender();

  // input (pictureview_input.cpp)
  void ApplyCursor(TCursorId cursor);
  void RestoreUserCursor() { ApplyCursor(cursor_); }
  bool PictureCanScroll();

  // picture
  std::unique_ptr<TBitmap> displayBitmap_;
  std::unique_ptr<TPxBitmap> image_;
  int32_t bitmapWidth_ = 0, bitmapHeight_ = 0;
  int32_t seenWidth_ = -1, seenHeight_ = -1;
  std::unique_ptr<TPictureIO> inputComponent_;
  std::unique_ptr<TPictureProc, TPictureProcDeleter> processingComponent_;
  bool destroying_ = false;
  // Timers and posted calls hold a weak reference: they do nothing once the view is gone.
  std::shared_ptr<int> aliveToken_ = std::make_shared<int>(0);

  // zoom and view
  double zoomX_ = 100, zoomY_ = 100;
  double zx_ = 1, zy_ = 1, izx_ = 1, izy_ = 1;
  int64_t zoomedSizeLimit_ = kDefaultZoomedSizeLimit;
  int32_t viewOffsetX_ = 0, viewOffsetY_ = 0;
  int32_t zoomedWidth_ = 0, zoomedHeight_ = 0;
  int32_t visibleWidth_ = 0, visibleHeight_ = 0;
  int32_t originX_ = 0, originY_ = 0;
  int32_t sourceX_ = 0, sourceY_ = 0, sourceWidth_ = 0, sourceHeight_ = 0;
  int32_t destWidth_ = 0, destHeight_ = 0;
  // Coordinate maps: zoomed -> bitmap (ZB) and bitmap -> zoomed (BZ) per axis,
  // and where the client windows XMap / InvXMap start in them.
  std::vector<int32_t> zbX_, bzX_, zbY_, bzY_;
  int32_t mapLenX_ = 0, mapLenY_ = 0, invLenX_ = 0, invLenY_ = 0;
  size_t xMapStart_ = 0, invXMapStart_ = 0, yMapStart_ = 0, invYMapStart_ = 0;
  struct TMapKey {
    double ZoomX = -1, ZoomY = -1;
    int32_t DestW = -1, DestH = -1, BitmapW = -1, BitmapH = -1;
    friend bool operator==(const TMapKey&, const TMapKey&) = default;
  } mapKey_;
  bool center_ = true;
  bool autoFit_ = false, autoStretch_ = false, autoShrink_ = false;
  TScrollStyle scrollBars_ = ssBoth;
  bool flatScrollBars_ = false;
  double scrollScaleX_ = 0, scrollScaleY_ = 0;
  bool barShownX_ = false, barShownY_ = false;
  TScrollInfo barX_, barY_;
  TPxScrollBarParams hScrollParams_, vScrollParams_;
  TPxMouseWheelParams wheelParams_;
  int wheelRemainder_ = 0;
  int32_t redrawLockCount_ = 0;
  int32_t layoutLockCount_ = 0;
  bool layoutRunning_ = false;
  bool doubleBuffer_ = true;

  // painting
  TBitmap backBuffer_;
  // Reduced copies of the picture for smooth zooming out; dropped whenever the
  // picture changes.
  TZoomRenderCache zoomCache_;
  TViewRect bufferRect_;
  std::vector<uint8_t*> rowTable_;
  bool backBufferDirty_ = true;
  bool fullRepaint_ = true;
  TPxBackgroundStyle backgroundStyle_ = pxbsSolid;
  uint32_t gradientEndColor_ = 0xFF0000;
  int32_t chessboardCellSize_ = 16;
  TBrushStyle chessboardBrushStyle_ = bsSolid;
  std::unique_ptr<TBitmap> wallPaper_;
  TPxWallPaperStyle wallPaperStyle_ = pxwoNormal;
  bool enableAlphaChannel_ = false;
  TResampleFilter zoomFilter_ = rfNone;
  bool delayZoomFilter_ = false;
  int32_t filterDelayCountdown_ = 0;
  int32_t filterDelayTicks_ = 4;
  int32_t animationPause_ = 0;
  int timerId_ = -1;
  static constexpr int kAnimationIntervalMs = 210;
  static constexpr int kMinimumLayerSize = 2;

  // input
  TPxMouseInteract mouseInteract_ = 0;
  TCursorId cursor_ = crCross3;
  TCursorId shownCursor_ = crCross3;
  bool shiftExtendsSelection_ = true;
  TResampleFilter restoreFilter_ = rfNone;
  bool leftDown_ = false;
  bool pressed_ = false;
  int pressRawX_ = 0, pressRawY_ = 0, pressX_ = 0, pressY_ = 0;
  int32_t pressViewX_ = 0, pressViewY_ = 0;
  TMouseButton pressButton_ = mbLeft;
};

}  // namespace rv
