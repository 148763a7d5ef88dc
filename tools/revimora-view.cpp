// revimora-view FILE: shows one picture in a window sized to it at 100 %
// (clamped to the screen), to try the picture view by hand. A click zooms in
// (right click: out), a drag scrolls, the wheel zooms; Escape or Q quits.
#include <QApplication>
#include <QScreen>
#include <cstdio>
#include <exception>

#include "io/pictureio.h"
#include "qt/environment.h"
#include "qt/pictureviewwidget.h"

int main(int argc, char** argv) {
  rv::qt::PrepareApplicationEnvironment();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("revimora-view"));
  if (argc < 2) {
    std::fprintf(stderr, "usage: revimora-view FILE\n");
    return 2;
  }

  rv::TPictureViewWidget window;
  rv::TPictureView& view = window.View();
  view.SetBorderStyle(rv::bsNone);
  view.SetMouseInteract(rv::MouseInteractBit(rv::miZoom) | rv::MouseInteractBit(rv::miScroll));
  view.SetZoomFilter(rv::rfFastLinear);
  try {
    view.InputComponent()->LoadFromFile(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "revimora-view: %s\n", e.what());
    return 1;
  }
  if (view.InputComponent()->Aborted()) {
    std::fprintf(stderr, "revimora-view: %s: %s\n", argv[1], view.InputComponent()->AbortReason().c_str());
    return 1;
  }

  const QString name = QString::fromLocal8Bit(argv[1]);
  auto showTitle = [&] {
    window.setWindowTitle(QStringLiteral("%1 - %2 %").arg(name).arg(view.ZoomPercent(), 0, 'g', 4));
  };
  view.OnViewChange = [&](rv::TPictureView&, int change) {
    if (change == 1) showTitle();
  };
  view.OnKeyDown = [&](rv::TPictureView&, uint16_t& key, rv::TShiftState) {
    if (key == 27 || key == 'Q') window.close();
  };
  showTitle();

  // The picture at 100 %, as far as the screen's free area allows.
  const QRect desktop = window.screen()->availableGeometry();
  const QSize size(std::min(view.BitmapWidth(), desktop.width()), std::min(view.BitmapHeight(), desktop.height()));
  window.resize(size.expandedTo(QSize(1, 1)));
  // Centred; QRect::center() rounds down and would put a full-size window at -1.
  window.move(desktop.topLeft() + QPoint((desktop.width() - size.width()) / 2, (desktop.height() - size.height()) / 2));
  window.show();
  return app.exec();
}
