// Started by test_qt with a screen of twice the usual resolution: shows a
// 300 x 200 picture at 100 % in a view window of that size and prints what
// reached the device. With --prepare it sets the program's environment first.
#include <QApplication>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "pattern.h"
#include "qt/environment.h"
#include "qt/pictureviewwidget.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--prepare") == 0) rv::qt::PrepareApplicationEnvironment();
  QApplication app(argc, argv);
  rv::TPictureViewWidget window;
  window.View().SetBorderStyle(rv::bsNone);
  rv::testing::LoadPattern(window.View(), 300, 200);
  window.resize(300, 200);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 3;
  const qreal dpr = window.devicePixelRatioF();
  const QImage grab = window.grab().toImage();
  const bool exact =
      grab.size() == QSize(300, 200) && rv::testing::FirstPatternMismatch(grab, 0, 0, 300, 200).isEmpty();
  std::printf("dpr=%g device=%dx%d grab=%dx%d exact=%d\n", dpr, int(std::lround(window.width() * dpr)),
              int(std::lround(window.height() * dpr)), grab.width(), grab.height(), exact ? 1 : 0);
  return 0;
}
