#include "app/windowgeometry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace rv {

// Found by GoogleTest through the argument's namespace.
void PrintTo(const TWindowRect& r, std::ostream* os) {
  *os << "(" << r.Left << ", " << r.Top << ", " << r.Width << " x " << r.Height << ")";
}
void PrintTo(const TWindowSize& s, std::ostream* os) {
  *os << s.Width << " x " << s.Height;
}
void PrintTo(const TPoint& p, std::ostream* os) {
  *os << "(" << p.X << ", " << p.Y << ")";
}

namespace {

// A 1920 × 1080 primary screen at the origin with a 40-pixel panel at the bottom.
constexpr TScreenGeometry kFullHd{0, 0, 1920, 1080, 0, 0, 1920, 1040};
constexpr TScreenGeometry kLaptop{0, 0, 1366, 768, 0, 0, 1366, 768};
// A primary screen right of and below another one, with a top panel.
constexpr TScreenGeometry kShifted{1280, 200, 1920, 1080, 1280, 224, 1920, 1056};

TEST(WindowGeometryTest, SavedPositionNeedsBothCoordinates) {
  struct Case {
    int32_t px, py;
    bool saved;
  };
  const Case cases[] = {
      {-10000, -10000, false}, {500, -10000, false}, {-10000, 400, false},
      {500, 400, true},        {0, 0, true},         {-9999, -10001, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.px << ", " << c.py);
    EXPECT_EQ(HasSavedPosition(c.px, c.py), c.saved);
  }
}

// Creation makes the window screen-sized around the saved centre (or (0, 0)); the
// first picture keeps that centre; the first showing centres the window on the
// available desktop when no position was saved.
TEST(WindowGeometryTest, StartPosition) {
  struct Case {
    int32_t px, py;
    TScreenGeometry screen;
    TWindowRect created;
    int32_t pictureWidth, pictureHeight;
    TWindowRect shown;
  };
  const Case cases[] = {
      // No saved position: desktop-centred in the available area.
      {-10000, -10000, kFullHd, {-960, -540, 1920, 1080}, 800, 480, {560, 280, 800, 480}},
      // One coordinate alone does not count.
      {500, -10000, kFullHd, {-960, -540, 1920, 1080}, 800, 480, {560, 280, 800, 480}},
      {-10000, 400, kFullHd, {-960, -540, 1920, 1080}, 800, 480, {560, 280, 800, 480}},
      // The spare room is halved toward zero: (1365 - 800) / 2 = 282; a window
      // larger than the desktop gets (1041 - 3000) / 2 = -979, not -980.
      {-10000, -10000, {0, 0, 1365, 768, 0, 0, 1365, 768}, {-682, -384, 1365, 768}, 800, 480, {282, 144, 800, 480}},
      {-10000,
       -10000,
       {0, 0, 1920, 1080, 0, 0, 1920, 1041},
       {-960, -540, 1920, 1080},
       4000,
       3000,
       {-1040, -979, 4000, 3000}},
      // The available area's origin counts.
      {-10000, -10000, kShifted, {-960, -540, 1920, 1080}, 800, 480, {1840, 512, 800, 480}},
      // A saved centre: the window is created around it and the picture keeps it.
      {960, 540, kFullHd, {0, 0, 1920, 1080}, 800, 480, {560, 300, 800, 480}},
      {500, 400, kFullHd, {-460, -140, 1920, 1080}, 801, 600, {100, 100, 801, 600}},
      // (0, 0) is a position like any other; KeepOnScreen then pulls the window in.
      {0, 0, kFullHd, {-960, -540, 1920, 1080}, 800, 480, {-400, -240, 800, 480}},
      {-1000, -1000, kFullHd, {-1960, -1540, 1920, 1080}, 800, 480, {-750, -430, 800, 480}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.px << ", " << c.py << " -> " << testing::PrintToString(c.shown));
    const TWindowRect created = StartupRect(c.px, c.py, c.screen);
    EXPECT_EQ(created, c.created);
    const TWindowRect laidOut = ShowPictureRect(created, c.pictureWidth, c.pictureHeight, c.screen);
    EXPECT_EQ(FirstShownRect(laidOut, c.px, c.py, c.screen), c.shown);
  }
}

TEST(WindowGeometryTest, ResizeAroundCentreKeepsTheCentre) {
  struct Case {
    TWindowRect before;
    int32_t width, height;
    TWindowRect after;
  };
  const Case cases[] = {
      // Centred at 500: an 801-wide picture has left 500 - Round(400.5) = 100 ...
      {{300, 0, 400, 480}, 801, 480, {100, 0, 801, 480}},
      // ... and its centre is still 500, so a 200-wide picture has left 400.
      {{100, 0, 801, 480}, 200, 480, {400, 0, 200, 480}},
      // Round(401.5) = 402: the centre of an 803-wide window lies right of the middle.
      {{0, 0, 803, 1}, 1, 1, {402, 0, 1, 1}},
      // A picture larger than the screen reaches beyond it on every side.
      {{560, 300, 800, 480}, 4000, 3000, {-1040, -960, 4000, 3000}},
      // 1000 x 700 to 1250 x 875 and back: Round(437.5) = 438 on the way out, the
      // same centre on the way back.
      {{460, 190, 1000, 700}, 1250, 875, {335, 102, 1250, 875}},
      {{335, 102, 1250, 875}, 1000, 700, {460, 190, 1000, 700}},
      {{460, 190, 1000, 700}, 0, 0, {960, 540, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    EXPECT_EQ(ResizeAroundCentre(c.before, c.width, c.height), c.after);
  }
}

TEST(WindowGeometryTest, KeepOnScreen) {
  constexpr TScreenGeometry tiny{0, 0, 100, 100, 0, 0, 100, 100};
  struct Case {
    TScreenGeometry screen;
    TWindowRect before;
    TWindowRect after;
  };
  const Case cases[] = {
      // Left at screen width - 10 goes to screen width - 50; top at screen height
      // - 60 goes to screen height - 100.
      {kFullHd, {1910, 100, 800, 480}, {1870, 100, 800, 480}},
      {kFullHd, {100, 1020, 800, 480}, {100, 980, 800, 480}},
      {kFullHd, {5000, 5000, 10, 10}, {1870, 980, 10, 10}},
      // Exactly at the limits nothing moves.
      {kFullHd, {1870, 980, 800, 480}, {1870, 980, 800, 480}},
      {kFullHd, {-750, -430, 800, 480}, {-750, -430, 800, 480}},
      // 50 pixels of the bottom and the right stay inside the top and left edges.
      {kFullHd, {-900, -500, 800, 480}, {-750, -430, 800, 480}},
      // A window larger than the screen is not limited.
      {kFullHd, {-1040, -960, 4000, 3000}, {-1040, -960, 4000, 3000}},
      // An empty window ends at (50, 50).
      {kFullHd, {960, 540, 0, 0}, {960, 540, 0, 0}},
      {kFullHd, {-3, 7, 0, 0}, {50, 50, 0, 0}},
      // Each test uses what the one before left: on a 100-pixel screen the top is
      // first pulled up to 0, then pushed down to 40.
      {tiny, {500, 500, 10, 10}, {50, 40, 10, 10}},
      // The screen's origin takes part.
      {kShifted, {3190, 1220, 800, 480}, {3150, 1180, 800, 480}},
      {kShifted, {1000, -400, 200, 480}, {1130, -230, 200, 480}},
      {kShifted, {1200, 300, 200, 480}, {1200, 300, 200, 480}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    EXPECT_EQ(KeepOnScreen(c.before, c.screen), c.after);
  }
}

TEST(WindowGeometryTest, ZoomedSizeTruncatesExtendedProducts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    int32_t bw, bh;
    double zoom;
    TWindowSize size;
  };
  const Case cases[] = {
      {333, 200, 150, {499, 300}},  // 499.5 truncated
      {1000, 700, 125, {1250, 875}},
      {1000, 700, 100, {1000, 700}},
      {1000, 700, 99, {990, 693}},
      {1000, 700, 1, {10, 7}},
      {333, 200, 108, {359, 216}},
      // q = 13 / 100 in extended precision lies just below 0.13, so 900 x q is
      // just below 117; a double product would round up to 117.
      {900, 900, 13, {116, 116}},
      // q stays extended: rounded to a double first, 3 / 100 would give 2.
      {100, 100, 3, {3, 3}},
      {0, 0, 150, {0, 0}},
      {60000, 60000, 1e9, {INT32_MAX, INT32_MAX}},
      {333, 200, nan, {0, 0}},
      {333, 200, -50, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bw << " x " << c.bh << " at " << c.zoom);
    EXPECT_EQ(ZoomedSize(c.bw, c.bh, c.zoom), c.size);
  }
}

TEST(WindowGeometryTest, WheelZoomKeepsTheTopLeftCorner) {
  struct Case {
    TWindowRect before;
    int32_t bw, bh;
    double zoom;
    TWindowRect after;
  };
  const Case cases[] = {
      {{100, 50, 333, 200}, 333, 200, 150, {100, 50, 499, 300}},
      {{100, 50, 499, 300}, 333, 200, 100, {100, 50, 333, 200}},
      // Then KeepOnScreen: zooming out of a window hanging off the top-left.
      {{-900, -500, 1600, 1200}, 1600, 1200, 50, {-750, -500, 800, 600}},
      // An empty picture gives an empty window where the corner was; KeepOnScreen
      // moves it only when the corner lies above or left of (50, 50).
      {{300, 200, 800, 480}, 0, 0, 150, {300, 200, 0, 0}},
      {{-400, 20, 800, 480}, 0, 0, 150, {50, 50, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    EXPECT_EQ(WheelZoomRect(c.before, c.bw, c.bh, c.zoom, kFullHd), c.after);
  }
}

TEST(WindowGeometryTest, CentredZoomKeepsTheCentre) {
  struct Case {
    TWindowRect before;
    int32_t bw, bh;
    double zoom;
    TWindowRect after;
  };
  const Case cases[] = {
      {{460, 190, 1000, 700}, 1000, 700, 125, {335, 102, 1250, 875}},
      {{335, 102, 1250, 875}, 1000, 700, 100, {460, 190, 1000, 700}},
      {{460, 190, 1000, 700}, 1000, 700, 1, {955, 536, 10, 7}},
      // A quarter turn of a 400 x 300 picture: the bitmap is now 300 x 400.
      {{760, 390, 400, 300}, 300, 400, 100, {810, 340, 300, 400}},
      // Then KeepOnScreen.
      {{1800, 100, 100, 100}, 100, 100, 50, {1825, 125, 50, 50}},
      {{1850, 100, 100, 100}, 100, 100, 50, {1870, 125, 50, 50}},
      // An empty picture: an empty window at the message screen's centre, which
      // KeepOnScreen leaves there.
      {{560, 300, 800, 480}, 0, 0, 125, {960, 540, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    EXPECT_EQ(CentredZoomRect(c.before, c.bw, c.bh, c.zoom, kFullHd), c.after);
  }
}

TEST(WindowGeometryTest, FitToScreen) {
  struct Case {
    int32_t bw, bh;
    TScreenGeometry screen;
    TWindowRect window;
    double zoom;
    bool zoomFirst;
  };
  const Case cases[] = {
      // 1920/1080 >= 1600/1200: f = 0.9, the height touches the screen.
      {1600, 1200, kFullHd, {240, 0, 1440, 1080}, 90, false},
      // f = 1920/400 as a double lies just below 4.8: 1919 x 479, not 1920 x 480;
      // left Round(0.5) = 0, top Round(300.5) = 300; enlarging sets 480 % first.
      {400, 100, kFullHd, {0, 300, 1919, 479}, 480, true},
      // f = 1: the window is sized first.
      {1024, 768, kLaptop, {171, 0, 1024, 768}, 100, false},
      {1920, 1080, kFullHd, {0, 0, 1920, 1080}, 100, false},
      {3840, 2160, kFullHd, {0, 0, 1920, 1080}, 50, false},
      {100, 400, kFullHd, {825, 0, 270, 1080}, 270, true},
      // 1080/7 rounded to a double, times 7, lies just below 1080.
      {1, 7, kFullHd, {883, 0, 154, 1079}, 1080.0 / 7 * 100, true},
      // The available area does not matter, the screen's origin does.
      {1600, 1200, kShifted, {1520, 200, 1440, 1080}, 90, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bw << " x " << c.bh);
    const std::optional<TFitToScreen> fit = FitToScreen(c.bw, c.bh, c.screen);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(fit->Window, c.window);
    EXPECT_EQ(fit->ZoomPercent, c.zoom);
    EXPECT_EQ(fit->ZoomBeforeResize, c.zoomFirst);
  }
}

TEST(WindowGeometryTest, FitToScreenWithoutAPictureLeavesTheWindow) {
  EXPECT_FALSE(FitToScreen(0, 0, kFullHd).has_value());
  EXPECT_FALSE(FitToScreen(0, 480, kFullHd).has_value());
  EXPECT_FALSE(FitToScreen(800, 0, kFullHd).has_value());
}

// Leaving full screen shows the picture again at 100 % around the full-screen
// window's centre.
TEST(WindowGeometryTest, RestoreFromFullScreen) {
  struct Case {
    int32_t bw, bh;
    TWindowRect restored;
  };
  const Case cases[] = {
      {1600, 1200, {160, -60, 1600, 1200}},
      // The 1919 x 479 window's centre is (0 + Round(959.5), 300 + Round(239.5)) =
      // (960, 540).
      {400, 100, {760, 490, 400, 100}},
      {3840, 2160, {-960, -540, 3840, 2160}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bw << " x " << c.bh);
    const std::optional<TFitToScreen> fit = FitToScreen(c.bw, c.bh, kFullHd);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(ShowPictureRect(fit->Window, c.bw, c.bh, kFullHd), c.restored);
  }
}

TEST(WindowGeometryTest, CentreOnScreenAndDialogPosition) {
  constexpr TScreenGeometry odd{0, 0, 1365, 767, 0, 0, 1365, 767};
  struct Case {
    TScreenGeometry screen;
    TWindowRect window;
    TWindowRect centred;
    TPoint dialog;
  };
  const Case cases[] = {
      {kFullHd, {0, 0, 801, 600}, {560, 240, 801, 600}, {760, 340}},
      // Trunc(682.5) = 682 and Trunc(383.5) = 383 for the window; Round(383.5) =
      // 384 for the dialog.
      {odd, {0, 0, 800, 480}, {282, 143, 800, 480}, {482, 184}},
      // No clamp follows.
      {kFullHd, {0, 0, 4000, 3000}, {-1040, -960, 4000, 3000}, {760, 340}},
      {kShifted, {0, 0, 801, 600}, {1840, 440, 801, 600}, {2040, 540}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.window));
    EXPECT_EQ(CentreOnScreen(c.window, c.screen), c.centred);
    EXPECT_EQ(DialogPosition(c.screen), c.dialog);
  }
}

}  // namespace
}  // namespace rv
