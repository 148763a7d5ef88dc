#include "qt/pictureviewwidget.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>
#include <vector>

#include "pattern.h"
#include "qt/cursors.h"

namespace rv {
namespace {

using testing::FirstPatternMismatch;
using testing::LoadPattern;
using testing::PatternPixel;

// A view window of the given outer size showing a w x h pattern, without a
// frame unless asked, on the screen at its top-left corner.
struct TWindow {
  TPictureViewWidget widget;
  TWindow(int width, int height, int picW, int picH, TBorderStyle border = bsNone) {
    widget.View().SetBorderStyle(border);
    LoadPattern(widget.View(), picW, picH);
    widget.resize(width, height);
    widget.move(QGuiApplication::primaryScreen()->geometry().topLeft());
    widget.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&widget));
  }
  TPictureView& View() { return widget.View(); }
  QImage Grab() { return widget.grab().toImage(); }
  // The pattern pixel drawn at client point (x, y), as the view maps it.
  QRgb PictureAt(int x, int y) { return PatternPixel(View().ClientToBitmapX(x), View().ClientToBitmapY(y)); }
};

bool SameCursorImage(const QCursor& a, const QCursor& b) {
  return a.shape() == Qt::BitmapCursor && b.shape() == Qt::BitmapCursor && a.hotSpot() == b.hotSpot() &&
         a.pixmap().toImage() == b.pixmap().toImage();
}

void SendWheel(QWidget& w, QPoint at, int angleY) {
  QWheelEvent e(QPointF(at), QPointF(w.mapToGlobal(at)), QPoint(), QPoint(0, angleY), Qt::NoButton, Qt::NoModifier,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(&w, &e);
}

// ------------------------------------------------------------ painting

TEST(TPictureViewWidgetPaint, GrabShowsEveryPicturePixelAt100Percent) {
  struct Case {
    const char* name;
    int width, height;
    TBorderStyle border;
    int pictureLeft, pictureTop;  // where the picture's first pixel lands in the widget
  } cases[] = {
      {"window the picture's size", 37, 23, bsNone, 0, 0},
      {"sunken frame of two pixels", 41, 27, bsSingle, 2, 2},
      {"centred in a larger window", 60, 40, bsNone, 11, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWindow w(c.width, c.height, 37, 23, c.border);
    const QImage shot = w.Grab();
    ASSERT_EQ(shot.size(), QSize(c.width, c.height));
    EXPECT_EQ(FirstPatternMismatch(shot, c.pictureLeft, c.pictureTop, 37, 23), QString());
    if (c.pictureLeft > 2) {
      // The margin shows the background colour (button face by default).
      const uint32_t bg = ResolveColor(w.View().Background());
      EXPECT_EQ(shot.pixel(c.pictureLeft - 1, c.pictureTop) & 0xFFFFFF,
                qRgb(bg & 0xFF, (bg >> 8) & 0xFF, (bg >> 16) & 0xFF) & 0xFFFFFF);
    }
  }
}

// Records what Present hands to the painter.
class TRecordingWidget : public TPictureViewWidget {
 public:
  struct TDraw {
    const uchar* Bits;
    qsizetype BytesPerLine;
    QImage::Format Format;
    QSize Size;
    QPoint Target;
    QRect Source;
  };
  std::vector<TDraw> draws;

 protected:
  void DrawBuffer(QPainter& painter, const QPoint& target, const QImage& image, const QRect& source) override {
    draws.push_back({image.constBits(), image.bytesPerLine(), image.format(), image.size(), target, source});
    TPictureViewWidget::DrawBuffer(painter, target, image, source);
  }
};

TEST(TPictureViewWidgetPaint, PresentWrapsTheBackBufferWithoutCopying) {
  TRecordingWidget widget;
  widget.View().SetBorderStyle(bsSingle);
  LoadPattern(widget.View(), 50, 30);
  widget.resize(54, 34);
  widget.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
  widget.draws.clear();
  widget.repaint();
  ASSERT_FALSE(widget.draws.empty());
  const TBitmap& buffer = widget.View().BackBuffer();
  for (const auto& d : widget.draws) {
    EXPECT_EQ(d.Bits, buffer.ScanLine(0));
    EXPECT_EQ(d.BytesPerLine, buffer.RowLength());
    EXPECT_EQ(d.Format, QImage::Format_BGR888);
    EXPECT_EQ(d.Size, QSize(buffer.Width(), buffer.Height()));
    EXPECT_EQ(d.Target, QPoint(2, 2) + d.Source.topLeft());  // inside the frame, 1:1
  }
  EXPECT_EQ(FirstPatternMismatch(widget.grab().toImage(), 2, 2, 50, 30), QString());
}

// ------------------------------------------------------------ wheel, click, drag

TEST(TPictureViewWidgetInput, WheelStepsZoomByEightPercent) {
  struct Case {
    const char* name;
    std::vector<int> deltas;
    double zoom;
  } cases[] = {
      {"one notch towards the user", {-120}, 108},
      {"one notch away", {120}, 92},
      {"two half notches make one", {-60, -60}, 108},
      {"two notches", {-120, -120}, 117},
      {"no vertical movement", {0}, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWindow w(200, 150, 400, 300);
    for (int d : c.deltas) SendWheel(w.widget, QPoint(100, 75), d);
    EXPECT_DOUBLE_EQ(w.View().ZoomPercent(), c.zoom);
  }
}

TEST(TPictureViewWidgetInput, ClickZoomsInKeepingTheClickedPointUnderThePointer) {
  struct Case {
    const char* name;
    int pictureW, pictureH, offsetX, offsetY;
    QPoint click;
    bool clampedX, clampedY;  // the scroll range stops the point short
  } cases[] = {
      {"inside a scrolled picture", 400, 300, 60, 40, QPoint(50, 40), false, false},
      {"near the right and bottom edges", 400, 300, 0, 0, QPoint(190, 140), false, false},
      // 100 x 80 centred in 200 x 150: at 200 % nothing scrolls across, and
      // downwards only 10 pixels.
      {"a picture that fitted", 100, 80, 0, 0, QPoint(120, 90), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWindow w(200, 150, c.pictureW, c.pictureH);
    TPictureView& view = w.View();
    view.SetScrollBars(ssNone);
    view.SetMouseInteract(MouseInteractBit(miZoom));
    view.SetViewOffset(c.offsetX, c.offsetY);
    // At 100 % a client point shows bitmap pixel (point - origin + offset).
    const int bx = c.click.x() - view.OriginX() + view.ViewOffsetX();
    const int by = c.click.y() - view.OriginY() + view.ViewOffsetY();
    QTest::mouseClick(&w.widget, Qt::LeftButton, Qt::NoModifier, c.click);
    ASSERT_DOUBLE_EQ(view.ZoomPercent(), 200);
    // The zoomed column under the pointer, halved, is the bitmap column there:
    // the clicked one, or (as the view keeps it one zoomed pixel on) the next.
    const int nx = (c.click.x() - view.OriginX() + view.ViewOffsetX()) / 2;
    const int ny = (c.click.y() - view.OriginY() + view.ViewOffsetY()) / 2;
    if (c.clampedX) {
      EXPECT_EQ(view.ViewOffsetX(), view.MaxViewOffset().X);
    } else {
      EXPECT_TRUE(nx == bx || nx == bx + 1) << nx << " for " << bx;
    }
    if (c.clampedY) {
      EXPECT_EQ(view.ViewOffsetY(), view.MaxViewOffset().Y);
      EXPECT_EQ(view.ViewOffsetY(), 10);
    } else {
      EXPECT_TRUE(ny == by || ny == by + 1) << ny << " for " << by;
    }
  }
}

// What the window shows under the pointer after a click zoom: the clicked
// bitmap pixel, drawn and named by ClientToBitmapX alike.
TEST(TPictureViewWidgetInput, ClickZoomShowsTheClickedPixelUnderThePointer) {
  TWindow w(200, 150, 400, 300);
  w.View().SetScrollBars(ssNone);
  w.View().SetMouseInteract(MouseInteractBit(miZoom));
  w.View().SetViewOffset(60, 40);
  QTest::mouseClick(&w.widget, Qt::LeftButton, Qt::NoModifier, QPoint(50, 40));
  ASSERT_DOUBLE_EQ(w.View().ZoomPercent(), 200);
  ASSERT_EQ(w.View().ViewOffsetX(), 172);  // (60 + 50) x 2 - 50 + 2
  // Client column 50 shows zoomed column 222, bitmap column 111; row 40 bitmap row 81.
  EXPECT_EQ(w.Grab().pixel(50, 40) & 0xFFFFFF, PatternPixel(111, 81) & 0xFFFFFF);
  EXPECT_EQ(w.View().ClientToBitmapX(50), 111);
}

TEST(TPictureViewWidgetInput, DragInScrollModeMovesThePictureWithThePointer) {
  TWindow w(200, 150, 400, 300);
  w.View().SetScrollBars(ssNone);
  w.View().SetMouseInteract(MouseInteractBit(miZoom) | MouseInteractBit(miScroll));
  w.View().SetViewOffset(100, 100);
  const QRgb grabbed = w.PictureAt(100, 80);
  QTest::mousePress(&w.widget, Qt::LeftButton, Qt::NoModifier, QPoint(100, 80));
  EXPECT_TRUE(SameCursorImage(w.widget.cursor(), qt::CursorForId(crHand)));
  QTest::mouseMove(&w.widget, QPoint(115, 70));
  QTest::mouseMove(&w.widget, QPoint(130, 60));
  EXPECT_EQ(w.View().ViewOffsetX(), 70);
  EXPECT_EQ(w.View().ViewOffsetY(), 120);
  // The grabbed picture pixel came along, on the window too.
  EXPECT_EQ(w.Grab().pixel(130, 60) & 0xFFFFFF, grabbed & 0xFFFFFF);
  QTest::mouseRelease(&w.widget, Qt::LeftButton, Qt::NoModifier, QPoint(130, 60));
  EXPECT_DOUBLE_EQ(w.View().ZoomPercent(), 100);  // a drag is not a click
  EXPECT_TRUE(SameCursorImage(w.widget.cursor(), qt::CursorForId(crCross3)));
  EXPECT_FALSE(w.widget.HasMouseCapture());
}

// ------------------------------------------------------------ scroll bars

TEST(TPictureViewWidgetScrollBars, BarsTakeClientSpaceAndScrollTheView) {
  TWindow w(200, 150, 400, 300);
  TPictureView& view = w.View();
  QScrollBar* h = w.widget.ScrollBar(sbHorizontal);
  QScrollBar* v = w.widget.ScrollBar(sbVertical);
  ASSERT_TRUE(h->isVisible());
  ASSERT_TRUE(v->isVisible());
  const int extent = w.widget.ScrollBarSize(sbVertical);
  EXPECT_GT(extent, 0);
  EXPECT_EQ(v->width(), extent);
  EXPECT_EQ(view.ClientWidth(), 200 - extent);
  EXPECT_EQ(view.ClientHeight(), 150 - w.widget.ScrollBarSize(sbHorizontal));
  EXPECT_EQ(v->geometry().left(), view.ClientWidth());

  struct Step {
    QAbstractSlider::SliderAction action;
    int offsetX;
  } steps[] = {
      {QAbstractSlider::SliderPageStepAdd, view.ClientWidth()},  // a page is the client width
      {QAbstractSlider::SliderSingleStepAdd, view.ClientWidth() + 1},
      {QAbstractSlider::SliderSingleStepSub, view.ClientWidth()},
      {QAbstractSlider::SliderToMaximum, view.MaxViewOffset().X},
      {QAbstractSlider::SliderToMinimum, 0},
  };
  const double scale = (double(view.ClientWidth()) + view.MaxViewOffset().X) / 65536;
  for (const Step& s : steps) {
    h->triggerAction(s.action);
    EXPECT_EQ(view.ViewOffsetX(), s.offsetX) << s.action;
    EXPECT_EQ(h->value(), int(view.ViewOffsetX() / scale)) << s.action;
  }

  // Dragging the thumb scrolls as it goes.
  h->setSliderDown(true);
  h->setSliderPosition(32768);
  EXPECT_EQ(view.ViewOffsetX(), int(32768 * scale));
  h->setSliderDown(false);
  EXPECT_EQ(view.ViewOffsetX(), int(32768 * scale));

  // The picture shown is the scrolled part.
  view.SetViewOffset(33, 44);
  EXPECT_EQ(w.Grab().pixel(0, 0) & 0xFFFFFF, PatternPixel(33, 44) & 0xFFFFFF);
}

TEST(TPictureViewWidgetScrollBars, BarsGoAwayWhenThePictureFits) {
  TWindow w(200, 150, 400, 300);
  ASSERT_TRUE(w.widget.ScrollBar(sbVertical)->isVisible());
  LoadPattern(w.View(), 100, 60);
  EXPECT_FALSE(w.widget.ScrollBar(sbVertical)->isVisible());
  EXPECT_FALSE(w.widget.ScrollBar(sbHorizontal)->isVisible());
  EXPECT_EQ(w.widget.ScrollBarSize(sbVertical), 0);
  EXPECT_EQ(w.View().ClientWidth(), 200);
  EXPECT_EQ(FirstPatternMismatch(w.Grab(), 50, 45, 100, 60), QString());
}

// ------------------------------------------------------------ keys

struct TKeyLog {
  std::vector<std::pair<char, int>> events;  // ('d' down / 'u' up, key)
  void Attach(TPictureView& view) {
    view.OnKeyDown = [this](TPictureView&, uint16_t& key, TShiftState) { events.push_back({'d', key}); };
    view.OnKeyUp = [this](TPictureView&, uint16_t& key, TShiftState) { events.push_back({'u', key}); };
  }
};

TEST(TPictureViewWidgetKeys, QtKeysReachTheViewAsItsKeyCodes) {
  struct Case {
    Qt::Key key;
    int vk;
    bool navigation;  // claimed by the special-key query, which runs the key-up handling
  } cases[] = {
      {Qt::Key_Left, vkLeft, true},    {Qt::Key_Up, vkUp, true},
      {Qt::Key_Right, vkRight, true},  {Qt::Key_Down, vkDown, true},
      {Qt::Key_PageUp, vkPrior, true}, {Qt::Key_PageDown, vkNext, true},
      {Qt::Key_Home, vkHome, true},    {Qt::Key_End, vkEnd, true},
      {Qt::Key_Shift, vkShift, false}, {Qt::Key_Control, vkControl, false},
      {Qt::Key_A, 'A', false},         {Qt::Key_5, '5', false},
      {Qt::Key_F1, 112, false},
  };
  TWindow w(100, 80, 50, 40);
  w.widget.setFocus();
  TKeyLog log;
  log.Attach(w.View());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vk);
    log.events.clear();
    QTest::keyClick(&w.widget, c.key);
    std::vector<std::pair<char, int>> expected;
    if (c.navigation) expected.push_back({'u', c.vk});
    expected.push_back({'d', c.vk});
    expected.push_back({'u', c.vk});
    EXPECT_EQ(log.events, expected);
  }
}

TEST(TPictureViewWidgetKeys, ArrowsReachTheViewBeforeAWindowShortcut) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* view = new TPictureViewWidget;
  layout->addWidget(view);
  auto* action = new QAction(&window);
  action->setShortcut(QKeySequence(Qt::Key_Right));
  window.addAction(action);
  int triggered = 0;
  QObject::connect(action, &QAction::triggered, [&] { ++triggered; });
  window.resize(100, 100);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  view->setFocus();
  TKeyLog log;
  log.Attach(view->View());
  QTest::keyClick(view, Qt::Key_Right);
  EXPECT_EQ(triggered, 0);
  EXPECT_EQ(std::count(log.events.begin(), log.events.end(), std::pair<char, int>('d', vkRight)), 1);
}

TEST(TPictureViewWidgetKeys, TabMovesTheFocusUnlessTheViewClaimsIt) {
  for (bool claim : {false, true}) {
    SCOPED_TRACE(claim);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* view = new TPictureViewWidget;
    auto* edit = new QLineEdit;
    layout->addWidget(view);
    layout->addWidget(edit);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    view->setFocus();
    ASSERT_TRUE(view->hasFocus());
    view->View().OnSpecialKey = [claim](TPictureView&, uint16_t key, bool& handled) { handled = claim && key == 9; };
    TKeyLog log;
    log.Attach(view->View());
    QTest::keyClick(view, Qt::Key_Tab);
    EXPECT_EQ(view->hasFocus(), claim);
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), std::pair<char, int>('d', 9)), claim ? 1 : 0);
  }
}

TEST(TPictureViewWidgetKeys, ShiftShowsThePlusCursorWhileHeld) {
  TWindow w(100, 80, 50, 40);
  w.widget.setFocus();
  EXPECT_TRUE(SameCursorImage(w.widget.cursor(), qt::CursorForId(crCross3)));
  QTest::keyPress(&w.widget, Qt::Key_Shift);
  EXPECT_TRUE(SameCursorImage(w.widget.cursor(), qt::CursorForId(crCross3Plus)));
  QTest::keyRelease(&w.widget, Qt::Key_Shift);
  EXPECT_TRUE(SameCursorImage(w.widget.cursor(), qt::CursorForId(crCross3)));
}

// ------------------------------------------------------------ posted calls, timers, focus, enter/leave

TEST(TPictureViewWidgetHost, PostedCallsRunAfterTheCurrentEvent) {
  TWindow w(100, 80, 50, 40);
  std::vector<int> progress;
  int finished = 0;
  w.View().OnProgress = [&](TPictureView&, int percent) { progress.push_back(percent); };
  w.View().OnFinishWork = [&](TPictureView&) { ++finished; };
  w.View().PostProgress(40);
  w.View().PostFinishWork();
  EXPECT_TRUE(progress.empty());
  QCoreApplication::processEvents();
  EXPECT_EQ(progress, std::vector<int>{40});
  EXPECT_EQ(finished, 1);
}

TEST(TPictureViewWidgetHost, DelayedFilterTimerRunsAndStops) {
  TWindow w(200, 150, 400, 300);
  TPictureView& view = w.View();
  view.SetZoomFilter(rfFastLinear);
  view.SetDelayZoomFilter(true);
  view.SetFilterDelayTicks(2);
  view.SetZoomPercent(150);
  view.SetViewOffset(10, 10);
  EXPECT_TRUE(view.AnimationTimerRunning());
  EXPECT_EQ(view.ChosenFilter(), rfNone);
  // Two ticks of 210 ms; generous for a loaded machine.
  for (int i = 0; i < 100 && view.AnimationTimerRunning(); ++i) QTest::qWait(20);
  EXPECT_FALSE(view.AnimationTimerRunning());
  EXPECT_EQ(view.ChosenFilter(), rfFastLinear);
}

TEST(TPictureViewWidgetHost, FocusAndPointerReachTheView) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* view = new TPictureViewWidget;
  auto* edit = new QLineEdit;
  layout->addWidget(view);
  layout->addWidget(edit);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QApplication::setActiveWindow(&window);
  edit->setFocus();
  int enters = 0, leaves = 0;
  view->View().OnMouseEnter = [&](TPxView&) { ++enters; };
  view->View().OnMouseLeave = [&](TPxView&) { ++leaves; };
  // A press gives the view the focus, as the view asks of its host.
  QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  EXPECT_TRUE(view->Focused());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(view, &leave);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(view->mapToGlobal(QPoint(5, 5))));
  QApplication::sendEvent(view, &enter);
  EXPECT_EQ(leaves, 1);
  EXPECT_GE(enters, 1);
}

// ------------------------------------------------------------ visible part

TEST(TPictureViewWidgetHost, OnlyThePartOnTheScreenIsRendered) {
  const QRect screen = QGuiApplication::primaryScreen()->virtualGeometry();
  TWindow w(300, 200, 300, 200);
  // The client area about 100 pixels off the screen's left edge, 50 off its
  // top (the platform may keep a window frame's width of it on the screen).
  w.widget.setGeometry(QRect(screen.topLeft() - QPoint(100, 50), QSize(300, 200)));
  QCoreApplication::processEvents();
  const QPoint off = screen.topLeft() - w.widget.mapToGlobal(QPoint(0, 0));
  ASSERT_GT(off.x(), 50);
  ASSERT_GT(off.y(), 25);
  const TViewRect onScreen{off.x(), off.y(), 300, 200};
  EXPECT_EQ(w.widget.VisibleRect(), onScreen);
  w.widget.repaint();
  EXPECT_EQ(w.View().BackBufferRect(), onScreen);
  EXPECT_EQ(w.View().BackBuffer().Width(), 300 - off.x());
  EXPECT_EQ(w.View().BackBuffer().Height(), 200 - off.y());
  // Back on the screen: the moved window renders what came into view.
  w.widget.setGeometry(QRect(screen.topLeft(), QSize(300, 200)));
  QCoreApplication::processEvents();
  EXPECT_EQ(w.View().BackBufferRect(), (TViewRect{0, 0, 300, 200}));
  EXPECT_EQ(FirstPatternMismatch(w.Grab(), 0, 0, 300, 200), QString());
}

}  // namespace
}  // namespace rv
