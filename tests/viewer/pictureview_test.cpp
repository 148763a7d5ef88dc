#include "viewer/pictureview.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace rv {
namespace {

// A window without a display: it records what the view asks of it and keeps
// the presented pixels in a screen image of the client size.
class TFakeHost : public TViewHost {
 public:
  int width = 400, height = 300;
  bool placed = true;
  bool keepScreen = true;
  TViewRect visible{0, 0, 1 << 30, 1 << 30};
  TPictureView* view = nullptr;
  std::vector<uint8_t> screen;  // client pixels, blue green red
  int screenWidth = 0;
  std::vector<TViewRect> presented;
  std::map<TScrollBarKind, TScrollInfo> bars;
  std::map<int, std::function<void()>> timers;
  int nextTimer = 1;
  std::deque<std::function<void()>> posted;
  std::vector<TCursorId> cursors;
  bool capture = false, focused = false;
  int invalidations = 0;

  int Width() const override { return width; }
  int Height() const override { return height; }
  bool HasParent() const override { return placed; }
  TViewRect VisibleRect() const override { return visible; }
  void Invalidate() override { ++invalidations; }
  void InvalidateRect(int, int, int, int) override { ++invalidations; }
  void RepaintNow() override {
    if (view) view->Paint({0, 0, view->ClientWidth(), view->ClientHeight()});
  }
  void Present(const TBitmap& buffer, int left, int top, const TViewRect& rect) override {
    presented.push_back(rect);
    if (!keepScreen || !view) return;
    const int cw = view->ClientWidth(), ch = view->ClientHeight();
    if (screenWidth != cw || screen.size() != size_t(cw) * ch * 3) {
      screen.assign(size_t(cw) * ch * 3, 0);
      screenWidth = cw;
    }
    for (int y = rect.Top; y < rect.Bottom; ++y)
      std::memcpy(&screen[(size_t(y) * cw + rect.Left) * 3], buffer.ScanLine(y - top) + 3 * size_t(rect.Left - left),
                  3 * size_t(rect.Width()));
  }
  void SetCursor(TCursorId c) override { cursors.push_back(c); }
  void SetMouseCapture(bool c) override { capture = c; }
  bool HasMouseCapture() const override { return capture; }
  void SetFocus() override { focused = true; }
  bool Focused() const override { return focused; }
  void PostCall(std::function<void()> call) override { posted.push_back(std::move(call)); }
  int StartTimer(int, std::function<void()> onTimer) override {
    timers[nextTimer] = std::move(onTimer);
    return nextTimer++;
  }
  void StopTimer(int id) override { timers.erase(id); }
  void SetScrollBar(TScrollBarKind kind, const TScrollInfo& info) override { bars[kind] = info; }
  void RecreateWindow() override {}

  void RunPosted() {
    while (!posted.empty()) {
      auto call = std::move(posted.front());
      posted.pop_front();
      call();
    }
  }
  void Tick() {
    if (!timers.empty()) {
      auto call = timers.begin()->second;
      call();
    }
  }
  // Screen pixel as 0x00RRGGBB.
  uint32_t Pixel(int x, int y) const {
    const uint8_t* p = &screen[(size_t(y) * screenWidth + x) * 3];
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
};

// A view without frame in a fake window of the given client size.
struct TFixture {
  TFakeHost host;
  TPictureView view{&host};
  std::vector<int> changes;
  explicit TFixture(int w = 400, int h = 300) {
    host.width = w;
    host.height = h;
    host.view = &view;
    view.SetBorderStyle(bsNone);
    view.OnViewChange = [this](TPictureView&, int change) { changes.push_back(change); };
    view.UpdateView();
  }
  // A picture whose pixel (x, y) is blue x, green y, red x + y (low bytes).
  void Load(int w, int h) {
    TPxBitmap& image = *view.ImageBitmap();
    image.AllocatePixels(w, h, pxRGB24);
    for (int y = 0; y < h; ++y) {
      uint8_t* p = image.RowPointer(y);
      for (int x = 0; x < w; ++x, p += 3) {
        p[0] = uint8_t(x);
        p[1] = uint8_t(y);
        p[2] = uint8_t(x + y);
      }
    }
    view.UpdateView();
    changes.clear();
  }
  static uint32_t PicturePixel(int x, int y) {
    return uint32_t(uint8_t(x + y)) << 16 | uint32_t(uint8_t(y)) << 8 | uint8_t(x);
  }
  void PaintAll() { view.Paint({0, 0, view.ClientWidth(), view.ClientHeight()}); }
};

constexpr uint32_t kBackground = 0x203040;  // platform colour: red 0x40, green 0x30, blue 0x20
constexpr uint32_t kBackgroundRGB = 0x403020;

TEST(TPictureViewLayout, CentringAndMaximumOffsets) {
  struct Case {
    int clientW, clientH, picW, picH;
    bool center;
    int originX, originY, maxX, maxY;
  } cases[] = {
      {400, 300, 200, 100, true, 100, 100, 0, 0},
      {400, 300, 199, 100, true, 100, 100, 0, 0},  // the spare pixel is on the right
      {400, 300, 200, 100, false, 0, 0, 0, 0},
      {500, 500, 1000, 1000, true, 0, 0, 501, 501},  // the extra pixel
      {500, 500, 505, 505, true, 0, 0, 5, 5},        // overflowing by 10 or less: no extra pixel
  };
  for (const Case& c : cases) {
    TFixture f(c.clientW, c.clientH);
    f.view.SetCenter(c.center);
    f.Load(c.picW, c.picH);
    EXPECT_EQ(f.view.OriginX(), c.originX) << c.picW;
    EXPECT_EQ(f.view.OriginY(), c.originY) << c.picW;
    EXPECT_EQ(f.view.MaxViewOffset(), (TPictureView::TOffsetPair{c.maxX, c.maxY})) << c.picW;
  }
}

TEST(TPictureViewLayout, ViewNotPlacedTakes50By50AndCallsNothing) {
  TFakeHost host;
  host.placed = false;
  TPictureView view(&host);
  EXPECT_EQ(view.ClientWidth(), 50);
  EXPECT_EQ(view.ClientHeight(), 50);
  view.ImageBitmap()->AllocatePixels(200, 200, pxRGB24);
  view.UpdateView();
  EXPECT_EQ(view.MaxViewOffset(), (TPictureView::TOffsetPair{151, 151}));
  EXPECT_TRUE(host.bars.empty());
  EXPECT_EQ(host.invalidations, 0);
}

TEST(TPictureViewZoom, RefusedValuesChangeNothingAndFireNothing) {
  TFixture f(500, 500);
  f.Load(1000, 1000);
  f.view.SetViewOffset(250, 250);
  f.changes.clear();
  for (double z : {0.0, -5.0, 100.0, 3300.0 /* 33,000 pixels: beyond the window limit */}) {
    f.view.SetZoomPercent(z);
    EXPECT_EQ(f.view.ZoomPercentX(), 100) << z;
    EXPECT_EQ(f.view.ZoomPercentY(), 100) << z;
    EXPECT_EQ(f.view.ViewOffsetX(), 250) << z;
  }
  EXPECT_TRUE(f.changes.empty());
  // Lifting the window limit leaves the 32-bit one.
  f.view.SetZoomedSizeLimit(0);
  f.view.SetZoomPercent(3300);
  EXPECT_EQ(f.view.ZoomPercent(), 3300);
  f.view.SetZoomPercent(1e9);
  EXPECT_EQ(f.view.ZoomPercent(), 3300);
}

TEST(TPictureViewZoom, ZoomKeepsTheClientCentreWithinTheOldRange) {
  struct Case {
    double zoom;
    int offset;
  } cases[] = {{108, 290}, {200, 501}};
  for (const Case& c : cases) {
    TFixture f(500, 500);
    f.Load(1000, 1000);
    f.view.SetViewOffset(250, 250);
    f.changes.clear();
    f.view.SetZoomPercent(c.zoom);
    EXPECT_EQ(f.view.ViewOffsetX(), c.offset) << c.zoom;
    EXPECT_EQ(f.view.ViewOffsetY(), c.offset) << c.zoom;
    ASSERT_FALSE(f.changes.empty());
    EXPECT_EQ(f.changes.back(), 1);
  }
}

TEST(TPictureViewZoom, ZoomingIntoAFittingPictureShowsItsTopLeft) {
  TFixture f(500, 400);
  f.Load(400, 300);
  f.view.SetZoomPercent(200);
  EXPECT_EQ(f.view.ViewOffsetX(), 0);
  EXPECT_EQ(f.view.ViewOffsetY(), 0);
  EXPECT_EQ(f.view.OriginX(), 0);
  EXPECT_EQ(f.view.ClientToBitmapX(0), 0);
  EXPECT_EQ(f.view.ClientToBitmapX(499), 249);
  EXPECT_EQ(f.view.ClientToBitmapY(399), 199);
  EXPECT_EQ(f.changes, std::vector<int>{1});
  // Left of the picture the first partial step truncates to 0, not -1.
  TFixture g(500, 400);
  g.Load(100, 100);
  g.view.SetZoomPercent(200);
  EXPECT_EQ(g.view.SourceX(), 0);
  EXPECT_EQ(g.view.ClientToBitmapX(g.view.OriginX() - 1), 0);
}

TEST(TPictureViewZoom, FitModes) {
  struct Case {
    int picW, picH;
    bool fit, stretch, shrink;
    double zoom;
  } cases[] = {
      {3000, 2000, true, false, false, 20},
      {100, 50, false, true, false, 600},
      {100, 50, false, false, true, 100},
      {1, 1, true, false, false, 100},
  };
  for (const Case& c : cases) {
    TFixture f(600, 400);
    f.view.SetAutoFit(c.fit);
    f.view.SetAutoStretch(c.stretch);
    f.view.SetAutoShrink(c.shrink);
    f.Load(c.picW, c.picH);
    EXPECT_DOUBLE_EQ(f.view.ZoomPercentX(), c.zoom) << c.picW;
    EXPECT_DOUBLE_EQ(f.view.ZoomPercentY(), c.zoom) << c.picW;
  }
}

TEST(TPictureViewScroll, ScrollBarsAppearAndTheClientShrinks) {
  TFixture f(500, 500);
  f.host.bars.clear();
  f.Load(1000, 1000);
  ASSERT_TRUE(f.host.bars.count(sbHorizontal));
  EXPECT_TRUE(f.host.bars[sbHorizontal].Visible);
  EXPECT_EQ(f.host.bars[sbHorizontal].Max, 65535);
  // (client width + max X) / 65536 zoomed pixels per unit
  const int maxX = f.view.MaxViewOffset().X;
  EXPECT_EQ(f.host.bars[sbHorizontal].Page, int(500 / ((500.0 + maxX) / 65536)));
  f.view.SetViewOffsetX(100);
  EXPECT_EQ(f.host.bars[sbHorizontal].Position, int(100 / ((500.0 + maxX) / 65536)));
}

TEST(TPictureViewScroll, ThumbTrackingFollowsTrackThumb) {
  TFixture f(500, 500);
  f.Load(1000, 1000);
  const TScrollInfo bar = f.host.bars[sbVertical];
  const int pos = bar.Page;  // one page down
  f.view.VScrollParams().TrackThumb = false;
  f.view.Scroll(sbVertical, scTrack, pos);
  EXPECT_EQ(f.view.ViewOffsetY(), 0);
  f.view.Scroll(sbVertical, scPosition, pos);
  EXPECT_GT(f.view.ViewOffsetY(), 490);
  f.view.Scroll(sbVertical, scTop, 0);
  EXPECT_EQ(f.view.ViewOffsetY(), 0);
  f.view.Scroll(sbVertical, scBottom, 0);
  EXPECT_EQ(f.view.ViewOffsetY(), 501);
  f.view.Scroll(sbVertical, scLineUp, 0);
  EXPECT_EQ(f.view.ViewOffsetY(), 500);
}

TEST(TPictureViewInput, WheelSteps) {
  struct Case {
    int delta;
    std::vector<double> zooms;
  } cases[] = {
      {-120, {108, 117, 126}},  // towards the user
      {120, {92, 85, 78}},
  };
  for (const Case& c : cases) {
    TFixture f(500, 500);
    f.Load(1000, 1000);
    std::vector<double> proposed;
    f.view.OnZoomIn = [&](TPictureView&, double& z) { proposed.push_back(z); };
    f.view.OnZoomOut = [&](TPictureView&, double& z) { proposed.push_back(z); };
    for (double expected : c.zooms) {
      f.view.Wheel(c.delta, 0, 250, 250);
      EXPECT_DOUBLE_EQ(f.view.ZoomPercent(), expected);
    }
    EXPECT_EQ(proposed, c.zooms);
  }
}

TEST(TPictureViewInput, WheelHandlerWinsAndSomeWheelsDoNothing) {
  TFixture f(500, 500);
  f.Load(1000, 1000);
  f.view.OnZoomIn = [](TPictureView&, double& z) { z = 150; };
  f.view.Wheel(-120, 0, 10, 10);
  EXPECT_EQ(f.view.ZoomPercent(), 150);

  f.view.Wheel(0, 0, 10, 10);  // horizontal scrolling, touchpad phases
  EXPECT_EQ(f.view.ZoomPercent(), 150);
  // Parts of a notch add up to one step.
  f.view.OnZoomIn = nullptr;
  f.view.Wheel(-60, 0, 10, 10);
  EXPECT_EQ(f.view.ZoomPercent(), 150);
  f.view.Wheel(-60, 0, 10, 10);
  EXPECT_EQ(f.view.ZoomPercent(), 162);

  TFixture g(500, 500);
  g.Load(1000, 1000);
  g.view.SetAutoFit(true);
  g.changes.clear();
  bool fired = false;
  g.view.OnZoomIn = [&](TPictureView&, double&) { fired = true; };
  const double fit = g.view.ZoomPercent();
  g.view.Wheel(-120, 0, 10, 10);
  EXPECT_FALSE(fired);
  EXPECT_EQ(g.view.ZoomPercent(), fit);
  EXPECT_TRUE(g.changes.empty());
}

TEST(TPictureViewInput, ClickZoomFollowsTheStepTable) {
  struct Case {
    TMouseButton button;
    std::vector<double> zooms;
  } cases[] = {
      {mbLeft, {200, 300}},
      {mbRight, {75, 50, 33, 25, 10, 5, 2, 2}},
  };
  for (const Case& c : cases) {
    TFixture f(500, 500);
    f.Load(1000, 1000);
    f.view.SetMouseInteract(MouseInteractBit(miZoom));
    for (double expected : c.zooms) {
      f.view.MouseDown(c.button, 0, 250, 250);
      f.view.MouseUp(c.button, 0, 250, 250);
      EXPECT_DOUBLE_EQ(f.view.ZoomPercent(), expected);
    }
  }
  // From 150 and 250 a right click goes to 100 and 150.
  for (double start : {150.0, 250.0}) {
    TFixture f(500, 500);
    f.Load(1000, 1000);
    f.view.SetMouseInteract(MouseInteractBit(miZoom));
    f.view.SetZoomPercent(start);
    f.view.MouseDown(mbRight, 0, 250, 250);
    f.view.MouseUp(mbRight, 0, 250, 250);
    EXPECT_DOUBLE_EQ(f.view.ZoomPercent(), start - (start < 200 ? 50 : 100));
  }
}

TEST(TPictureViewInput, MovedPressOrMarginClickDoesNotZoom) {
  TFixture f(500, 500);
  f.Load(100, 100);  // centred at (200, 200)
  f.view.SetMouseInteract(MouseInteractBit(miZoom));
  f.view.MouseDown(mbLeft, 0, 250, 250);
  f.view.MouseUp(mbLeft, 0, 251, 250);
  EXPECT_EQ(f.view.ZoomPercent(), 100);
  f.view.MouseDown(mbLeft, 0, 10, 10);  // the margin
  f.view.MouseUp(mbLeft, 0, 10, 10);
  EXPECT_EQ(f.view.ZoomPercent(), 100);
  EXPECT_TRUE(f.host.focused);  // a press takes the focus
}

TEST(TPictureViewInput, DragScrollingFollowsThePointerAndClampsAtZero) {
  TFixture f(500, 500);
  f.Load(1000, 1000);
  f.view.SetMouseInteract(MouseInteractBit(miZoom) | MouseInteractBit(miScroll));
  f.view.SetViewOffset(40, 40);
  f.view.MouseDown(mbLeft, 0, 100, 100);
  EXPECT_EQ(f.host.cursors.back(), crHand);
  f.view.MouseMove(ssLeft, 130, 100);
  EXPECT_EQ(f.view.ViewOffsetX(), 10);
  f.view.MouseMove(ssLeft, 200, 90);
  EXPECT_EQ(f.view.ViewOffsetX(), 0);
  EXPECT_EQ(f.view.ViewOffsetY(), 50);
  f.view.MouseUp(mbLeft, 0, 200, 90);
  EXPECT_EQ(f.host.cursors.back(), crCross3);
  EXPECT_EQ(f.view.ZoomPercent(), 100);
}

TEST(TPictureViewInput, MouseInteractNormalisation) {
  TFixture f;
  const auto zoom = MouseInteractBit(miZoom), scroll = MouseInteractBit(miScroll), select = MouseInteractBit(miSelect);
  f.view.SetMouseInteract(zoom | scroll);
  EXPECT_EQ(f.view.MouseInteract(), zoom | scroll);
  f.view.SetMouseInteract(zoom | scroll | select);
  EXPECT_EQ(f.view.MouseInteract(), zoom | select);
}

TEST(TPictureViewInput, SpecialKeysAndPostedCalls) {
  TFixture f;
  std::vector<uint16_t> ups;
  f.view.OnKeyUp = [&](TPictureView&, uint16_t& key, TShiftState) { ups.push_back(key); };
  EXPECT_TRUE(f.view.WantsSpecialKey(vkLeft, 0));
  EXPECT_FALSE(f.view.WantsSpecialKey(13, 0));
  f.view.OnSpecialKey = [](TPictureView&, uint16_t key, bool& handled) { handled = key == 13; };
  EXPECT_TRUE(f.view.WantsSpecialKey(13, 0));
  EXPECT_EQ(ups, std::vector<uint16_t>{vkLeft});

  TPictureView* sender = nullptr;
  int percent = -1;
  f.view.OnProgress = [&](TPictureView& s, int p) {
    sender = &s;
    percent = p;
  };
  f.view.PostProgress(40);
  EXPECT_EQ(percent, -1);
  f.host.RunPosted();
  EXPECT_EQ(percent, 40);
  EXPECT_EQ(sender, &f.view);
}

// ------------------------------------------------------------ painting

TEST(TPictureViewPaint, OneToOneFilteredEqualsTheCopyAndDoubledPixelsAt200) {
  TFixture f(200, 150);
  f.view.SetBackground(kBackground);
  f.Load(200, 150);
  f.view.SetZoomFilter(rfFastLinear);
  f.PaintAll();
  for (int y = 0; y < 150; y += 7)
    for (int x = 0; x < 200; x += 3) ASSERT_EQ(f.host.Pixel(x, y), TFixture::PicturePixel(x, y)) << x << "," << y;

  f.view.SetZoomFilter(rfNone);
  f.view.SetZoomPercent(200);
  f.PaintAll();
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) ASSERT_EQ(f.host.Pixel(x, y), TFixture::PicturePixel(x / 2, y / 2)) << x << "," << y;
}

// A scrolled picture at a zoom other than 100 %: the pixel drawn under a
// client point is the one ClientToBitmap names, and BitmapToClient inverts it.
TEST(TPictureViewPaint, ScrolledZoomedPictureShowsThePixelsItsOffsetsName) {
  struct TCase {
    double zoom;
    int offsetX, offsetY;
  };
  for (const TCase c : {TCase{200, 172, 90}, TCase{300, 60, 6}, TCase{50, 40, 30}, TCase{37, 11, 5}}) {
    TFixture f(120, 90);
    f.Load(400, 300);
    f.view.SetScrollBars(ssNone);
    f.view.SetZoomPercent(c.zoom);
    f.view.SetViewOffset(c.offsetX, c.offsetY);
    f.PaintAll();
    SCOPED_TRACE(c.zoom);
    for (int x : {0, 1, 50, 119}) {
      for (int y : {0, 33, 89}) {
        const int bx = f.view.ClientToBitmapX(x), by = f.view.ClientToBitmapY(y);
        // The zoomed column under client x is offset + x (the enlarging cases'
        // offsets start a bitmap column, so snapping keeps them); reducing, the map
        // names the first bitmap column falling on it, one off at most.
        EXPECT_NEAR(bx, int((c.offsetX + x) * 100 / c.zoom), c.zoom > 100 ? 0 : 1) << x;
        EXPECT_NEAR(by, int((c.offsetY + y) * 100 / c.zoom), c.zoom > 100 ? 0 : 1) << y;
        EXPECT_EQ(f.host.Pixel(x, y), TFixture::PicturePixel(bx, by)) << x << "," << y;
      }
    }
  }
}

TEST(TPictureViewPaint, OneByOnePictureShowsOnlyTheBackground) {
  TFixture f(60, 40);
  f.view.SetBackground(kBackground);
  f.Load(1, 1);
  f.view.ImageBitmap()->SetPixelBGR(0, 0, TColorBGR{1, 2, 3});
  f.PaintAll();
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 60; ++x) ASSERT_EQ(f.host.Pixel(x, y), kBackgroundRGB);
}

TEST(TPictureViewPaint, CentredPictureOverTheBackground) {
  TFixture f(100, 80);
  f.view.SetBackground(kBackground);
  f.Load(40, 20);  // at (30, 30)
  f.PaintAll();
  EXPECT_EQ(f.host.Pixel(29, 30), kBackgroundRGB);
  EXPECT_EQ(f.host.Pixel(30, 30), TFixture::PicturePixel(0, 0));
  EXPECT_EQ(f.host.Pixel(69, 49), TFixture::PicturePixel(39, 19));
  EXPECT_EQ(f.host.Pixel(70, 49), kBackgroundRGB);
  EXPECT_EQ(f.host.Pixel(69, 50), kBackgroundRGB);
}

// Rows of the background drawn by a handler differ from row to row; a
// transparent picture at 200 % repeats each source row, and copying the row
// above would repeat the background row too.
TEST(TPictureViewPaint, NonUniformBackgroundIsNotReusedUnderATransparentPicture) {
  TFixture f(40, 40);
  f.Load(20, 20);
  f.view.ImageAlphaChannel()->FillWith(0);
  f.view.ImageAlphaChannel()->SetAllOpaque(false);
  f.view.SetEnableAlphaChannel(true);
  f.view.OnDrawBackground = [](TPictureView&, TBitmap& buffer, const TViewRect& clip, bool& handled) {
    for (int y = clip.Top; y < clip.Bottom; ++y)
      for (int x = clip.Left; x < clip.Right; ++x) {
        const uint8_t c[3] = {uint8_t(y), uint8_t(y), uint8_t(y)};
        buffer.SetPixelBGR(x, y, c);
      }
    handled = true;
  };
  f.view.SetZoomPercent(200);
  f.PaintAll();
  for (int y = 0; y < 40; ++y) ASSERT_EQ(f.host.Pixel(5, y), uint32_t(y) * 0x010101) << y;
}

TEST(TPictureViewPaint, FlattenBlendsOverTheBackground) {
  TFixture f;
  f.view.SetBackground(0x000000);
  f.Load(3, 1);
  TPxBitmap& image = *f.view.ImageBitmap();
  for (int x = 0; x < 3; ++x) image.SetPixelBGR(x, 0, TColorBGR{200, 100, 0});
  TPxBitmap& alpha = *f.view.ImageAlphaChannel();
  const uint8_t a[3] = {255, 128, 0};
  for (int x = 0; x < 3; ++x) alpha.RowPointer(0)[x] = a[x];
  f.view.FlattenAlphaChannel(true);
  EXPECT_FALSE(f.view.ImageHasAlphaChannel());
  // bg + floor((p - bg) x a / 256)
  EXPECT_EQ(image.PixelBGR(0, 0).b, 199);
  EXPECT_EQ(image.PixelBGR(1, 0).b, 100);
  EXPECT_EQ(image.PixelBGR(1, 0).g, 50);
  EXPECT_EQ(image.PixelBGR(2, 0).b, 0);
}

TEST(TPictureViewPaint, DelayedFilterSwitchesAfterItsCountdownAndTheTimerStops) {
  TFixture f(200, 200);
  f.Load(400, 400);
  f.view.SetZoomFilter(rfFastLinear);
  f.view.SetDelayZoomFilter(true);
  f.view.SetZoomPercent(150);
  f.PaintAll();
  f.view.SetViewOffsetX(20);  // renders at once, unfiltered
  EXPECT_EQ(f.view.ChosenFilter(), rfNone);
  EXPECT_TRUE(f.view.AnimationTimerRunning());
  for (int i = 0; i < 10 && f.view.FilterDelayCountdown() > 0; ++i) f.host.Tick();
  EXPECT_EQ(f.view.FilterDelayCountdown(), 0);
  EXPECT_EQ(f.view.ChosenFilter(), rfFastLinear);
  EXPECT_TRUE(f.view.BackBufferDirty());  // laid out again for the filtered paint
  f.host.Tick();
  f.host.Tick();
  EXPECT_FALSE(f.view.AnimationTimerRunning());
  EXPECT_TRUE(f.host.timers.empty());
}

// Smooth zooming out reads reduced copies of the picture; a new picture of
// the same size (a load announces it through the platform bitmap) must not be
// drawn from the old picture's copies.
TEST(TPictureViewPaint, SmoothReductionShowsANewPictureOfTheSameSize) {
  TFixture f(200, 150);
  f.view.SetZoomFilter(rfFastLinear);
  TPxBitmap& image = *f.view.ImageBitmap();
  auto fill = [&](uint8_t value) {
    image.AllocatePixels(800, 600, pxRGB24);
    for (int y = 0; y < 600; ++y) std::memset(image.RowPointer(y), value, 800 * 3);
    f.view.DisplayBitmap()->Changed();
  };
  fill(40);
  f.view.SetZoomPercent(25);
  f.PaintAll();
  ASSERT_EQ(f.host.Pixel(100, 75), 0x282828u);
  fill(200);
  f.view.UpdateView();
  f.PaintAll();
  EXPECT_EQ(f.host.Pixel(100, 75), 0xC8C8C8u);
}

TEST(TPictureViewPaint, RedrawLockDrawsNothingButFiresOnPaint) {
  TFixture f(50, 50);
  f.Load(10, 10);
  int paints = 0;
  f.view.OnPaint = [&](TPictureView&) { ++paints; };
  f.host.presented.clear();
  f.view.BeginRedrawLock();
  f.PaintAll();
  EXPECT_TRUE(f.host.presented.empty());
  EXPECT_EQ(paints, 1);
  f.view.EndRedrawLockQuiet();
}

// A new platform bitmap starts at the device depth and resizing moves its
// rows: the buffer must stay 24-bit with a fresh row table after each resize.
TEST(TPictureViewPaint, ResizedBufferStays24BitAndDrawsAtItsNewRows) {
  TFixture f(40, 30);
  f.view.SetBackground(kBackground);
  f.Load(100, 100);
  f.PaintAll();
  EXPECT_EQ(f.host.Pixel(39, 29), TFixture::PicturePixel(39, 29));
  for (int size : {300, 25, 180}) {
    f.host.width = f.host.height = size;
    f.view.Resize();
    f.PaintAll();
    EXPECT_EQ(f.view.BackBuffer().PixelFormat(), TPixelFormat::pf24bit);
    ASSERT_EQ(f.view.BackBuffer().Width(), size);
    const int origin = size > 100 ? (size - 100) / 2 : 0;
    EXPECT_EQ(f.host.Pixel(origin + 9, origin + 9), TFixture::PicturePixel(9, 9)) << size;
    if (origin > 0) {
      EXPECT_EQ(f.host.Pixel(origin - 1, size - 1), kBackgroundRGB) << size;
    }
  }
}

// ------------------------------------------------------------ the visible part

TEST(TPictureViewVisibleArea, BackBufferFollowsTheScreenNotTheZoom) {
  struct Case {
    double zoom;
    int windowW, windowH;
  } cases[] = {{100, 6000, 4000}, {1000, 30000, 30000}};
  for (const Case& c : cases) {
    TFixture f(c.windowW, c.windowH);
    f.host.keepScreen = false;
    f.host.visible = {100, 200, 2020, 1280};  // a 1920 x 1080 screen's worth
    f.view.SetZoomedSizeLimit(0);             // a scrolled view may be larger than a window
    f.view.ImageBitmap()->AllocatePixels(6000, 4000, pxRGB24);
    f.view.UpdateView();
    f.view.SetZoomPercent(c.zoom);
    f.PaintAll();
    EXPECT_EQ(f.view.BackBuffer().Width(), 1920) << c.zoom;
    EXPECT_EQ(f.view.BackBuffer().Height(), 1080) << c.zoom;
    EXPECT_EQ(f.view.BackBufferRect(), (TViewRect{100, 200, 2020, 1280}));
    ASSERT_FALSE(f.host.presented.empty());
    EXPECT_EQ(f.host.presented.back(), (TViewRect{100, 200, 2020, 1280}));
  }
}

TEST(TPictureViewVisibleArea, MovingTheVisibleRectRendersWhatCameIntoView) {
  struct Case {
    TViewRect from, to;
  } cases[] = {
      {{0, 0, 60, 40}, {10, 5, 70, 45}},
      {{30, 20, 90, 60}, {5, 30, 65, 70}},
      {{0, 0, 60, 40}, {50, 50, 110, 90}},  // nothing kept
  };
  for (const Case& c : cases) {
    for (double zoom : {100.0, 300.0}) {
      TFixture f(120, 100);
      f.view.SetBackground(kBackground);
      f.Load(50, 30);
      f.view.SetZoomPercent(zoom);
      f.host.visible = c.from;
      f.view.VisibleRectChanged();
      f.PaintAll();
      f.host.visible = c.to;
      f.view.VisibleRectChanged();
      f.PaintAll();
      const std::vector<uint8_t> moved(f.view.BackBuffer().ScanLine(0),
                                       f.view.BackBuffer().ScanLine(0) + f.view.BackBuffer().RowLength() * 40);
      // The reference: the same rectangle rendered from scratch.
      TFixture g(120, 100);
      g.view.SetBackground(kBackground);
      g.Load(50, 30);
      g.view.SetZoomPercent(zoom);
      g.host.visible = c.to;
      g.view.VisibleRectChanged();
      g.PaintAll();
      ASSERT_EQ(g.view.BackBufferRect(), f.view.BackBufferRect());
      for (int y = 0; y < 40; ++y)
        ASSERT_EQ(0, std::memcmp(f.view.BackBuffer().ScanLine(y), g.view.BackBuffer().ScanLine(y), 3 * 60))
            << "row " << y << " zoom " << zoom;
    }
  }
}

// ------------------------------------------------------------ lifetime

TEST(TPictureViewLifetime, DestroyingCallsEveryListenerInOrder) {
  std::vector<std::string> calls;
  {
    TFakeHost host;
    TPictureView view(&host);
    host.view = &view;
    view.InputComponent();  // unregisters itself when the view frees it
    view.RegisterChangeListener([&](void*, TPxView&, bool d) { calls.push_back(std::string("a") + (d ? "1" : "0")); },
                                nullptr);
    view.RegisterChangeListener([&](void*, TPxView&, bool d) { calls.push_back(std::string("b") + (d ? "1" : "0")); },
                                nullptr);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"a1", "b1"}));
}

}  // namespace
}  // namespace rv
