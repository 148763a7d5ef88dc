// TPictureViewWidget: the Qt window of a picture view. It owns a TPictureView
// and is its host: Qt's paint, size, mouse, wheel, key, focus and enter/leave
// events go to the view, and the view's requests (present, invalidate,
// cursor, timers, posted calls, scroll bars) come back as Qt calls.
//
// Geometry is in device pixels: the program runs Qt without high-DPI scaling
// (PrepareApplicationEnvironment), so one picture pixel at 100 % is one pixel
// on the screen. The widget draws the view's frame itself; the client area,
// where client coordinates start, lies inside the frame and left of (above)
// the scroll bars while they are shown.
#pragma once

#include <QWidget>
#include <map>
#include <memory>

#include "view/viewhost.h"
#include "viewer/pictureview.h"

class QScrollBar;
class QTimer;

namespace rv {

class TPictureViewWidget : public QWidget, public TViewHost {
  Q_OBJECT

 public:
  explicit TPictureViewWidget(QWidget* parent = nullptr);
  ~TPictureViewWidget() override;

  TPictureView& View() { return *view_; }
  const TPictureView& View() const { return *view_; }

  // Where client point (0, 0) lies in widget coordinates.
  QPoint ClientOrigin() const;
  // The scroll bar realising one of the view's bars (for tests and styling).
  QScrollBar* ScrollBar(TScrollBarKind kind) const;

  // --- TViewHost ---------------------------------------------------------------
  int Width() const override { return width(); }
  int Height() const override { return height(); }
  bool HasParent() const override { return true; }
  bool CanFocus() const override;
  int ScrollBarSize(TScrollBarKind kind) const override;
  TViewRect VisibleRect() const override;
  void Invalidate() override;
  void InvalidateRect(int left, int top, int right, int bottom) override;
  void RepaintNow() override;
  void Present(const TBitmap& backBuffer, int bufferLeft, int bufferTop, const TViewRect& rect) override;
  void SetCursor(TCursorId cursor) override;
  void SetMouseCapture(bool capture) override { captured_ = capture; }
  bool HasMouseCapture() const override;
  void SetFocus() override { setFocus(Qt::MouseFocusReason); }
  bool Focused() const override { return hasFocus(); }
  void PostCall(std::function<void()> call) override;
  int StartTimer(int intervalMs, std::function<void()> onTimer) override;
  void StopTimer(int timerId) override;
  void SetScrollBar(TScrollBarKind kind, const TScrollInfo& info) override;
  void RecreateWindow() override;

  // Key codes of the view (viewhost.h: vkLeft, ...) for Qt keys; 0 for keys
  // the view has no code for.
  static uint16_t VirtualKeyOf(int qtKey);

 protected:
  // Draws image (the back buffer, wrapped without a copy) at target, one
  // image pixel per device pixel. Present ends here.
  virtual void DrawBuffer(QPainter& painter, const QPoint& target, const QImage& image, const QRect& source);

  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  // The answer of the special-key query for one key press, asked once.
  struct TSpecialKeyAnswer {
    int Key = 0;
    quint64 Timestamp = 0;
    bool Claimed = false;
  };

  int Frame() const { return view_ ? view_->FrameWidth() : 0; }
  void PlaceScrollBars();
  void ConnectScrollBar(QScrollBar* bar, TScrollBarKind kind);
  void ScrollBarAction(TScrollBarKind kind, int action);
  void WatchAncestors();
  void NotifyVisibleRect();
  void DrawFrame(QPainter& painter);
  bool IsDialogKey(int qtKey) const;
  bool AskSpecialKey(const QKeyEvent* event);
  TShiftState ShiftOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) const;
  QPoint ToClient(const QPointF& widgetPoint) const;

  QScrollBar* bars_[2] = {nullptr, nullptr};
  TScrollInfo barInfo_[2];
  int dragPosition_[2] = {0, 0};  // where the user holds the thumb
  std::map<int, QTimer*> timers_;
  int nextTimerId_ = 1;
  bool captured_ = false;
  QPainter* painter_ = nullptr;  // while a paint event runs
  QRegion presented_;            // what the view presented during that paint
  TSpecialKeyAnswer specialKey_;
  QList<QObject*> watched_;
  // Declared last: destroyed first, while the host parts it calls still exist.
  std::unique_ptr<TPictureView> view_;
};

}  // namespace rv
