#include "view/pxview.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rv {
namespace {

class TFakeHost : public TViewHost {
 public:
  int width = 200, height = 100;
  int recreated = 0;
  bool placed = true;
  int barSize[2] = {0, 0};
  int Width() const override { return width; }
  int ScrollBarSize(TScrollBarKind kind) const override { return barSize[kind]; }
  int Height() const override { return height; }
  bool HasParent() const override { return placed; }
  void Invalidate() override {}
  void InvalidateRect(int, int, int, int) override {}
  void Present(const TBitmap&, int, int, const TViewRect&) override {}
  void SetCursor(TCursorId) override {}
  void SetMouseCapture(bool) override {}
  bool HasMouseCapture() const override { return false; }
  void SetFocus() override {}
  bool Focused() const override { return false; }
  void PostCall(std::function<void()>) override {}
  int StartTimer(int, std::function<void()>) override { return 1; }
  void StopTimer(int) override {}
  void SetScrollBar(TScrollBarKind, const TScrollInfo&) override {}
  void RecreateWindow() override { ++recreated; }
};

// The base leaves the picture operations to the viewer; these do nothing.
class TTestView : public TPxView {
 public:
  using TPxView::TPxView;
  TPxBitmap* ImageAlphaChannel() override { return nullptr; }
  bool ImageHasAlphaChannel() override { return false; }
  void FlattenAlphaChannel(bool) override {}
  void BeginRedrawLock() override {}
  void EndRedrawLock() override {}
  void EndRedrawLockQuiet() override {}
};

// Records every listener call as "name:destroying".
struct TCallLog {
  std::vector<std::string> calls;
  TChangeListenerProc Listener(const std::string& name) {
    return [this, name](void*, TPxView&, bool destroying) { calls.push_back(name + (destroying ? ":1" : ":0")); };
  }
};

TEST(TPxViewTest, DefaultsOfANewView) {
  TTestView view;
  EXPECT_EQ(view.BorderStyle(), bsSingle);
  EXPECT_TRUE(view.Ctl3D());
  EXPECT_EQ(view.Background(), clBtnFace);
  EXPECT_EQ(view.ImageDpiX(), 0);
  EXPECT_EQ(view.ImageDpiY(), 0);
  EXPECT_EQ(view.DisplayBitmap(), nullptr);
  EXPECT_EQ(view.ImageBitmap(), nullptr);
}

TEST(TPxViewTest, ListenersAreCalledInOrderAndUnregisterIgnoresUnknownHandles) {
  TCallLog log;
  TTestView view;
  const TChangeListenerHandle a = view.RegisterChangeListener(log.Listener("a"), nullptr);
  const TChangeListenerHandle b = view.RegisterChangeListener(log.Listener("b"), nullptr);
  view.RegisterChangeListener(log.Listener("a"), nullptr);  // same callback again: called separately
  view.NotifyChangeListeners();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"a:0", "b:0", "a:0"}));

  log.calls.clear();
  view.UnregisterChangeListener(-1);
  view.UnregisterChangeListener(a + b + 100);
  view.UnregisterChangeListener(b);
  view.UnregisterChangeListener(b);
  view.NotifyChangeListeners();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"a:0", "a:0"}));
}

TEST(TPxViewTest, UserDataReachesTheCallback) {
  TTestView view;
  int word = 7;
  void* seen = nullptr;
  TPxView* sender = nullptr;
  view.RegisterChangeListener(
      [&](void* userData, TPxView& v, bool) {
        seen = userData;
        sender = &v;
      },
      &word);
  view.NotifyChangeListeners();
  EXPECT_EQ(seen, &word);
  EXPECT_EQ(sender, &view);
}

TEST(TPxViewTest, AListenerMayUnregisterItselfAndLaterOnesDuringNotification) {
  TCallLog log;
  TTestView view;
  TChangeListenerHandle self = -1, later = -1;
  self = view.RegisterChangeListener(
      [&](void*, TPxView& v, bool) {
        log.calls.push_back("self");
        v.UnregisterChangeListener(self);
        v.UnregisterChangeListener(later);
      },
      nullptr);
  later = view.RegisterChangeListener(log.Listener("later"), nullptr);
  view.RegisterChangeListener(log.Listener("last"), nullptr);
  view.NotifyChangeListeners();
  view.NotifyChangeListeners();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"self", "last:0", "last:0"}));
}

TEST(TPxViewTest, DestructionCallsEveryListenerOnceWithDestroying) {
  TCallLog log;
  {
    TTestView view;
    view.RegisterChangeListener(log.Listener("first"), nullptr);
    view.RegisterChangeListener(log.Listener("second"), nullptr);
  }
  EXPECT_EQ(log.calls, (std::vector<std::string>{"first:1", "second:1"}));
}

TEST(TPxViewTest, UnregisteringFromTheDestroyingCallIsHarmless) {
  TCallLog log;
  {
    TTestView view;
    TChangeListenerHandle h = -1;
    h = view.RegisterChangeListener(
        [&](void*, TPxView& v, bool destroying) {
          log.calls.push_back(destroying ? "gone" : "changed");
          v.UnregisterChangeListener(h);
        },
        nullptr);
    view.RegisterChangeListener(log.Listener("other"), nullptr);
  }
  EXPECT_EQ(log.calls, (std::vector<std::string>{"gone", "other:1"}));
}

TEST(TPxViewTest, FrameChangesRecreateTheWindowOnlyWhenTheValueChanges) {
  TFakeHost host;
  TTestView view(&host);
  view.SetBorderStyle(bsSingle);
  view.SetCtl3D(true);
  EXPECT_EQ(host.recreated, 0);
  view.SetBorderStyle(bsNone);
  EXPECT_EQ(host.recreated, 1);
  view.SetCtl3D(false);
  EXPECT_EQ(host.recreated, 2);
}

TEST(TPxViewTest, ClientAreaShrinksByTheFrame) {
  struct Case {
    TBorderStyle style;
    bool ctl3D;
    int width, height;
  } cases[] = {
      {bsNone, true, 200, 100},
      {bsNone, false, 200, 100},
      {bsSingle, true, 196, 96},   // sunken client edge, 2 pixels a side
      {bsSingle, false, 198, 98},  // flat one-pixel border
  };
  TFakeHost host;
  TTestView view(&host);
  for (const Case& c : cases) {
    view.SetBorderStyle(c.style);
    view.SetCtl3D(c.ctl3D);
    EXPECT_EQ(view.ClientWidth(), c.width) << int(c.style) << c.ctl3D;
    EXPECT_EQ(view.ClientHeight(), c.height) << int(c.style) << c.ctl3D;
  }
  view.SetCtl3D(true);
  host.width = 3;  // smaller than the two client edges: nothing left, never negative
  EXPECT_EQ(view.ClientWidth(), 0);
}

TEST(TPxViewTest, ClientAreaLosesTheShownScrollBarsAndIs50By50WhenNotPlaced) {
  TFakeHost host;
  TTestView view(&host);
  view.SetBorderStyle(bsNone);
  host.barSize[sbVertical] = 17;  // the vertical bar takes width
  EXPECT_EQ(view.ClientWidth(), 183);
  EXPECT_EQ(view.ClientHeight(), 100);
  host.barSize[sbHorizontal] = 15;
  EXPECT_EQ(view.ClientHeight(), 85);
  host.placed = false;
  EXPECT_EQ(view.ClientWidth(), 50);
  EXPECT_EQ(view.ClientHeight(), 50);
  EXPECT_FALSE(view.Placed());
}

TEST(TPxViewTest, ZeroResolutionLeavesTheOldValue) {
  TTestView view;
  view.SetImageDpi(72, 96);
  view.SetImageDpi(0, 150);
  EXPECT_EQ(view.ImageDpiX(), 72);
  EXPECT_EQ(view.ImageDpiY(), 150);
  view.SetImageDpiX(-5);  // only 0 means "unknown"
  EXPECT_EQ(view.ImageDpiX(), -5);
}

TEST(TPxViewTest, MouseEnterAndLeaveFireTheirEventsWithTheView) {
  TTestView view;
  std::vector<std::string> events;
  view.MouseEnter();  // unassigned: nothing happens
  view.OnMouseEnter = [&](TPxView& v) { events.push_back(&v == &view ? "enter" : "?"); };
  view.OnMouseLeave = [&](TPxView& v) { events.push_back(&v == &view ? "leave" : "?"); };
  view.MouseEnter();
  view.MouseLeave();
  EXPECT_EQ(events, (std::vector<std::string>{"enter", "leave"}));
}

}  // namespace
}  // namespace rv
