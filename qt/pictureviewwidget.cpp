#include "qt/pictureviewwidget.h"

#include <qdrawutil.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>
#include <cmath>

#include "qt/bitmapimage.h"
#include "qt/cursors.h"
#include "viewer/background.h"

namespace rv {

namespace {

QRect ToQRect(const TViewRect& r) {
  return QRect(r.Left, r.Top, r.Width(), r.Height());
}

TViewRect ToViewRect(const QRect& r) {
  if (r.isEmpty()) return {};
  return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

QColor ColorOf(uint32_t platformColor) {
  const uint32_t c = ResolveColor(platformColor);  // 0x00BBGGRR
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

}  // namespace

TPictureViewWidget::TPictureViewWidget(QWidget* parent) : QWidget(parent) {
  // The view paints every pixel of its client area itself.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);  // moves without a button reach the view too
  bars_[sbHorizontal] = new QScrollBar(Qt::Horizontal, this);
  bars_[sbVertical] = new QScrollBar(Qt::Vertical, this);
  ConnectScrollBar(bars_[sbHorizontal], sbHorizontal);
  ConnectScrollBar(bars_[sbVertical], sbVertical);
  // The view's first layout pass already asks for its frame and bars: host it
  // once it exists.
  view_ = std::make_unique<TPictureView>(nullptr);
  view_->SetHost(this);
  QWidget::setCursor(qt::CursorForId(view_->Cursor()));
  view_->UpdateView();
}

TPictureViewWidget::~TPictureViewWidget() {
  // The view stops its timer through the host: it goes first.
  view_.reset();
  for (QObject* o : watched_) o->removeEventFilter(this);
}

QPoint TPictureViewWidget::ClientOrigin() const {
  return QPoint(Frame(), Frame());
}

QScrollBar* TPictureViewWidget::ScrollBar(TScrollBarKind kind) const {
  return bars_[kind];
}

// ------------------------------------------------------------ host: geometry

bool TPictureViewWidget::CanFocus() const {
  return isEnabled() && isVisible() && focusPolicy() != Qt::NoFocus;
}

int TPictureViewWidget::ScrollBarSize(TScrollBarKind kind) const {
  // What the view last asked for, not isVisible(): the view measures its
  // client area right after showing a bar, also while the window is hidden.
  if (!barInfo_[kind].Visible) return 0;
  return style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, bars_[kind]);
}

TViewRect TPictureViewWidget::VisibleRect() const {
  const QRect client(ClientOrigin(), QSize(view_->ClientWidth(), view_->ClientHeight()));
  // A hidden widget is painted only by grab() / render(): all of it then.
  if (!isVisible()) return ToViewRect(client.translated(-ClientOrigin()));
  QRect r = visibleRegion().boundingRect() & client;
  // The desktop of the window's screen: a window larger than the screens, or
  // partly off them, renders only what can be seen.
  if (const QScreen* s = screen()) {
    const QRect desktop = s->virtualGeometry();
    r &= QRect(mapFromGlobal(desktop.topLeft()), desktop.size());
  }
  return ToViewRect(r.translated(-ClientOrigin()));
}

void TPictureViewWidget::PlaceScrollBars() {
  const int f = Frame();
  const int h = ScrollBarSize(sbHorizontal), v = ScrollBarSize(sbVertical);
  if (v > 0) bars_[sbVertical]->setGeometry(width() - f - v, f, v, std::max(0, height() - 2 * f - h));
  if (h > 0) bars_[sbHorizontal]->setGeometry(f, height() - f - h, std::max(0, width() - 2 * f - v), h);
}

void TPictureViewWidget::RecreateWindow() {
  // The frame changed: the client area moved and changed size.
  PlaceScrollBars();
  update();
  if (view_) view_->Resize();
}

// ------------------------------------------------------------ host: painting

void TPictureViewWidget::Invalidate() {
  update();
}

void TPictureViewWidget::InvalidateRect(int left, int top, int right, int bottom) {
  if (right <= left || bottom <= top) return;
  update(QRect(ClientOrigin() + QPoint(left, top), QSize(right - left, bottom - top)));
}

void TPictureViewWidget::RepaintNow() {
  // Inside a paint event Qt refuses a nested repaint: the next one shows it.
  if (painter_ != nullptr) {
    update();
    return;
  }
  if (isVisible()) repaint();
}

void TPictureViewWidget::Present(const TBitmap& backBuffer, int bufferLeft, int bufferTop, const TViewRect& rect) {
  if (painter_ == nullptr) {
    // Only a paint event can draw on the window.
    update();
    return;
  }
  const QImage image = WrapBitmap(backBuffer);
  if (image.isNull() || rect.IsEmpty()) return;
  const QRect source(rect.Left - bufferLeft, rect.Top - bufferTop, rect.Width(), rect.Height());
  const QPoint target = ClientOrigin() + QPoint(rect.Left, rect.Top);
  DrawBuffer(*painter_, target, image, source);
}

void TPictureViewWidget::DrawBuffer(QPainter& painter, const QPoint& target, const QImage& image, const QRect& source) {
  painter.drawImage(target, image, source);
}

void TPictureViewWidget::DrawFrame(QPainter& painter) {
  const int f = Frame();
  if (f == 0) return;
  if (f >= 2) {
    // The sunken client edge: shadow and dark shadow outside, light inside.
    qDrawWinPanel(&painter, rect(), palette(), true, nullptr);
  } else {
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
}

void TPictureViewWidget::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect client(ClientOrigin(), QSize(view_->ClientWidth(), view_->ClientHeight()));
  const QRect dirty = event->rect() & client;
  if (!dirty.isEmpty()) {
    painter_ = &painter;
    view_->Paint(ToViewRect(dirty.translated(-ClientOrigin())));
    painter_ = nullptr;
    // What lies outside the back buffer (off the screen, or not yet laid
    // out) gets the background, so grab() and a later exposure never show
    // stale pixels. While a redraw lock holds, the window keeps what it shows.
    if (view_->RedrawLockCount() == 0) {
      QRegion rest = event->region() & client;
      rest -= ToQRect(view_->BackBufferRect()).translated(ClientOrigin());
      const QColor background = ColorOf(view_->Background());
      for (const QRect& r : rest) painter.fillRect(r, background);
    }
  }
  const int h = ScrollBarSize(sbHorizontal), v = ScrollBarSize(sbVertical);
  if (h > 0 && v > 0) {
    const int f = Frame();
    painter.fillRect(QRect(width() - f - v, height() - f - h, v, h), palette().color(QPalette::Window));
  }
  DrawFrame(painter);
}

// ------------------------------------------------------------ host: cursor, capture, calls, timers

void TPictureViewWidget::SetCursor(TCursorId cursor) {
  QWidget::setCursor(qt::CursorForId(cursor));
}

bool TPictureViewWidget::HasMouseCapture() const {
  return captured_ || QWidget::mouseGrabber() == this;
}

void TPictureViewWidget::PostCall(std::function<void()> call) {
  // Dropped with the widget if it goes first.
  QMetaObject::invokeMethod(
      this, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}

int TPictureViewWidget::StartTimer(int intervalMs, std::function<void()> onTimer) {
  const int id = nextTimerId_++;
  auto* timer = new QTimer(this);
  timer->setInterval(intervalMs);
  connect(timer, &QTimer::timeout, this, [onTimer = std::move(onTimer)] { onTimer(); });
  timer->start();
  timers_[id] = timer;
  return id;
}

void TPictureViewWidget::StopTimer(int timerId) {
  auto it = timers_.find(timerId);
  if (it == timers_.end()) return;
  // The timer may be stopping itself from its own timeout: delete it later.
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

// ------------------------------------------------------------ host: scroll bars

void TPictureViewWidget::ConnectScrollBar(QScrollBar* bar, TScrollBarKind kind) {
  bar->hide();
  bar->setFocusPolicy(Qt::NoFocus);
  bar->setCursor(Qt::ArrowCursor);  // not the view's crosshair
  connect(bar, &QAbstractSlider::actionTriggered, this, [this, kind](int action) { ScrollBarAction(kind, action); });
  connect(bar, &QAbstractSlider::sliderPressed, this,
          [this, kind] { dragPosition_[kind] = bars_[kind]->sliderPosition(); });
  // Released where the pointer left the thumb, not where the view last put it.
  connect(bar, &QAbstractSlider::sliderReleased, this, [this, kind] {
    view_->Scroll(kind, scPosition, dragPosition_[kind]);
    view_->Scroll(kind, scEndScroll, 0);
  });
}

void TPictureViewWidget::ScrollBarAction(TScrollBarKind kind, int action) {
  QScrollBar* bar = bars_[kind];
  TScrollCode code;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
      code = scLineUp;
      break;
    case QAbstractSlider::SliderSingleStepAdd:
      code = scLineDown;
      break;
    case QAbstractSlider::SliderPageStepSub:
      code = scPageUp;
      break;
    case QAbstractSlider::SliderPageStepAdd:
      code = scPageDown;
      break;
    case QAbstractSlider::SliderToMinimum:
      code = scTop;
      break;
    case QAbstractSlider::SliderToMaximum:
      code = scBottom;
      break;
    case QAbstractSlider::SliderMove:
      // The thumb dragged; a wheel turned over the bar moves it at once.
      code = bar->isSliderDown() ? scTrack : scPosition;
      if (code == scTrack) dragPosition_[kind] = bar->sliderPosition();
      break;
    default:
      return;
  }
  view_->Scroll(kind, code, bar->sliderPosition());
  // The bar would now apply its own step: keep the position the view gave
  // it instead (a dragged thumb stays under the pointer).
  if (code != scTrack) bar->setSliderPosition(std::clamp(barInfo_[kind].Position, bar->minimum(), bar->maximum()));
}

void TPictureViewWidget::SetScrollBar(TScrollBarKind kind, const TScrollInfo& info) {
  const bool visibilityChanged = info.Visible != barInfo_[kind].Visible;
  barInfo_[kind] = info;
  QScrollBar* bar = bars_[kind];
  {
    const QSignalBlocker block(bar);
    // The view's range covers the document, Min .. Max, of which Page is
    // seen at once; Qt's range is that of the thumb's position.
    const int page = std::max(info.Page, 0);
    bar->setRange(info.Min, std::max(info.Min, info.Max - page + 1));
    bar->setPageStep(std::max(page, 1));
    bar->setSingleStep(std::max(page / 16, 1));
    bar->setValue(info.Position);
  }
  if (visibilityChanged) {
    bar->setVisible(info.Visible);
    PlaceScrollBars();
    update();
  }
}

// ------------------------------------------------------------ events: size, place

void TPictureViewWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceScrollBars();
  view_->Resize();
}

void TPictureViewWidget::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  NotifyVisibleRect();
}

void TPictureViewWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  WatchAncestors();
  NotifyVisibleRect();
}

void TPictureViewWidget::WatchAncestors() {
  for (QObject* o : watched_) o->removeEventFilter(this);
  watched_.clear();
  for (QWidget* w = parentWidget(); w != nullptr; w = w->parentWidget()) {
    w->installEventFilter(this);
    watched_.push_back(w);
  }
  if (QWindow* handle = window()->windowHandle()) {
    connect(handle, &QWindow::screenChanged, this, &TPictureViewWidget::NotifyVisibleRect, Qt::UniqueConnection);
    if (QScreen* s = handle->screen())
      connect(s, &QScreen::virtualGeometryChanged, this, &TPictureViewWidget::NotifyVisibleRect, Qt::UniqueConnection);
  }
}

bool TPictureViewWidget::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
      NotifyVisibleRect();
      break;
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void TPictureViewWidget::NotifyVisibleRect() {
  if (!view_) return;
  const TViewRect before = view_->BackBufferRect();
  view_->VisibleRectChanged();
  // The window system does not ask us to repaint what moved into view.
  if (!(view_->BackBufferRect() == before)) update();
}

// ------------------------------------------------------------ events: mouse

TShiftState TPictureViewWidget::ShiftOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) const {
  TShiftState s = 0;
  if (modifiers & Qt::ShiftModifier) s |= ssShift;
  if (modifiers & Qt::ControlModifier) s |= ssCtrl;
  if (modifiers & Qt::AltModifier) s |= ssAlt;
  if (buttons & Qt::LeftButton) s |= ssLeft;
  if (buttons & Qt::RightButton) s |= ssRight;
  if (buttons & Qt::MiddleButton) s |= ssMiddle;
  return s;
}

QPoint TPictureViewWidget::ToClient(const QPointF& widgetPoint) const {
  return QPoint(int(std::floor(widgetPoint.x())), int(std::floor(widgetPoint.y()))) - ClientOrigin();
}

namespace {

bool ButtonOf(Qt::MouseButton qtButton, TMouseButton& button) {
  switch (qtButton) {
    case Qt::LeftButton:
      button = mbLeft;
      return true;
    case Qt::RightButton:
      button = mbRight;
      return true;
    case Qt::MiddleButton:
      button = mbMiddle;
      return true;
    default:
      return false;
  }
}

}  // namespace

void TPictureViewWidget::mousePressEvent(QMouseEvent* event) {
  TMouseButton button;
  if (!ButtonOf(event->button(), button)) return QWidget::mousePressEvent(event);
  const QPoint p = ToClient(event->position());
  // Qt grabs the mouse for us until the last button is released.
  view_->MouseDown(button, ShiftOf(event->modifiers(), event->buttons()), p.x(), p.y());
  event->accept();
}

void TPictureViewWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = ToClient(event->position());
  view_->MouseMove(ShiftOf(event->modifiers(), event->buttons()), p.x(), p.y());
  event->accept();
}

void TPictureViewWidget::mouseReleaseEvent(QMouseEvent* event) {
  TMouseButton button;
  if (!ButtonOf(event->button(), button)) return QWidget::mouseReleaseEvent(event);
  const QPoint p = ToClient(event->position());
  view_->MouseUp(button, ShiftOf(event->modifiers(), event->buttons()), p.x(), p.y());
  event->accept();
}

void TPictureViewWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  // Qt sends the second press as a double-click: the view sees the double
  // click and then the press, marked ssDouble, so presses and releases pair up.
  TMouseButton button;
  if (!ButtonOf(event->button(), button)) return QWidget::mouseDoubleClickEvent(event);
  const QPoint p = ToClient(event->position());
  view_->DblClick();
  view_->MouseDown(button, TShiftState(ShiftOf(event->modifiers(), event->buttons()) | ssDouble), p.x(), p.y());
  event->accept();
}

void TPictureViewWidget::wheelEvent(QWheelEvent* event) {
  const QPoint p = ToClient(event->position());
  view_->Wheel(event->angleDelta().y(), ShiftOf(event->modifiers(), event->buttons()), p.x(), p.y());
  event->accept();
}

void TPictureViewWidget::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  view_->MouseEnter();
}

void TPictureViewWidget::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  view_->MouseLeave();
}

// ------------------------------------------------------------ events: keys, focus

uint16_t TPictureViewWidget::VirtualKeyOf(int qtKey) {
  if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z))
    return uint16_t(qtKey);  // the same ASCII codes
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return uint16_t(112 + (qtKey - Qt::Key_F1));
  switch (qtKey) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Shift:
      return vkShift;
    case Qt::Key_Control:
      return vkControl;
    case Qt::Key_Alt:
      return 18;
    case Qt::Key_Pause:
      return 19;
    case Qt::Key_CapsLock:
      return 20;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_PageUp:
      return vkPrior;
    case Qt::Key_PageDown:
      return vkNext;
    case Qt::Key_End:
      return vkEnd;
    case Qt::Key_Home:
      return vkHome;
    case Qt::Key_Left:
      return vkLeft;
    case Qt::Key_Up:
      return vkUp;
    case Qt::Key_Right:
      return vkRight;
    case Qt::Key_Down:
      return vkDown;
    case Qt::Key_Print:
      return 44;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Delete:
      return 46;
    case Qt::Key_Meta:
      return 91;
    case Qt::Key_Menu:
      return 93;
    case Qt::Key_NumLock:
      return 144;
    case Qt::Key_ScrollLock:
      return 145;
    case Qt::Key_Semicolon:
      return 186;
    case Qt::Key_Equal:
    case Qt::Key_Plus:
      return 187;
    case Qt::Key_Comma:
      return 188;
    case Qt::Key_Minus:
      return 189;
    case Qt::Key_Period:
      return 190;
    case Qt::Key_Slash:
      return 191;
    case Qt::Key_QuoteLeft:
      return 192;
    case Qt::Key_BracketLeft:
      return 219;
    case Qt::Key_Backslash:
      return 220;
    case Qt::Key_BracketRight:
      return 221;
    case Qt::Key_Apostrophe:
      return 222;
    default:
      return 0;
  }
}

bool TPictureViewWidget::IsDialogKey(int qtKey) const {
  switch (qtKey) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_End:
    case Qt::Key_Home:
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
      return true;
    default:
      return false;
  }
}

bool TPictureViewWidget::AskSpecialKey(const QKeyEvent* event) {
  // Qt offers each press twice (as a shortcut override, then as the press):
  // the view is asked once per press.
  if (specialKey_.Key == event->key() && specialKey_.Timestamp == event->timestamp()) return specialKey_.Claimed;
  const uint16_t vk = VirtualKeyOf(event->key());
  const bool claimed =
      vk != 0 && view_->WantsSpecialKey(vk, ShiftOf(event->modifiers(), QGuiApplication::mouseButtons()));
  specialKey_ = {event->key(), event->timestamp(), claimed};
  return claimed;
}

bool TPictureViewWidget::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride: {
      // Asked before Qt looks for a shortcut: a key the view claims reaches
      // it as an ordinary key press instead.
      auto* key = static_cast<QKeyEvent*>(event);
      if (IsDialogKey(key->key()) && AskSpecialKey(key)) {
        key->accept();
        return true;
      }
      break;
    }
    case QEvent::KeyPress: {
      // Tab and Backtab move the focus unless the view claims them.
      auto* key = static_cast<QKeyEvent*>(event);
      if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && AskSpecialKey(key)) {
        keyPressEvent(key);
        return true;
      }
      break;
    }
    case QEvent::ParentChange:
      if (isVisible()) WatchAncestors();
      break;
    default:
      break;
  }
  return QWidget::event(event);
}

void TPictureViewWidget::keyPressEvent(QKeyEvent* event) {
  const bool dialogKey = IsDialogKey(event->key());
  const bool claimed = dialogKey && AskSpecialKey(event);
  specialKey_ = {};  // this press is answered; the next is asked again
  uint16_t vk = VirtualKeyOf(event->key());
  if (vk != 0) {
    TShiftState shift = ShiftOf(event->modifiers(), QGuiApplication::mouseButtons());
    // The modifier key itself counts as held while it goes down.
    if (event->key() == Qt::Key_Shift) shift |= ssShift;
    if (event->key() == Qt::Key_Control) shift |= ssCtrl;
    if (event->key() == Qt::Key_Alt) shift |= ssAlt;
    view_->KeyDown(vk, shift);
  }
  for (char32_t c : event->text().toUcs4()) view_->KeyPress(c);
  // A dialog key the view did not claim goes on to the window (a dialog's
  // default or cancel button).
  if (dialogKey && !claimed)
    event->ignore();
  else
    event->accept();
}

void TPictureViewWidget::keyReleaseEvent(QKeyEvent* event) {
  // X11 repeats a held key as release and press pairs; the platform the view
  // knows repeats presses only.
  if (event->isAutoRepeat()) return;
  uint16_t vk = VirtualKeyOf(event->key());
  if (vk == 0) return QWidget::keyReleaseEvent(event);
  TShiftState shift = ShiftOf(event->modifiers(), QGuiApplication::mouseButtons());
  if (event->key() == Qt::Key_Shift) shift &= TShiftState(~ssShift);
  if (event->key() == Qt::Key_Control) shift &= TShiftState(~ssCtrl);
  if (event->key() == Qt::Key_Alt) shift &= TShiftState(~ssAlt);
  view_->KeyUp(vk, shift);
  event->accept();
}

void TPictureViewWidget::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  view_->FocusIn();
}

void TPictureViewWidget::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  view_->FocusOut();
}

}  // namespace rv
