#include "qt/cursors.h"

#include <QPixmap>

// Outside any namespace, as Q_INIT_RESOURCE requires. The resources live in
// the static library: naming their initialiser keeps the linker from dropping
// them, whoever links us.
static void InitRevimoraResources() {
  Q_INIT_RESOURCE(revimora);
}

namespace rv::qt {

namespace {

struct TCursorImage {
  TCursorId Id;
  const char* Path;
  int HotX, HotY;
};

// Ids as the viewer numbers them; the images are 32 x 32, crosshairs centred
// on (15, 15), the magnifiers' hot spot in the lens.
constexpr TCursorImage kImages[] = {
    {1778, ":/cursors/zoomout.png", 12, 12},     {1779, ":/cursors/zoomin.png", 12, 12},
    {1780, ":/cursors/cross.png", 15, 15},       {1782, ":/cursors/hand.png", 15, 17},
    {1784, ":/cursors/cross1.png", 15, 15},      {1785, ":/cursors/cross3.png", 15, 15},
    {1791, ":/cursors/cross3plus.png", 15, 15},  {1792, ":/cursors/cross3minus.png", 15, 15},
    {1793, ":/cursors/cross2.png", 15, 15},      {1794, ":/cursors/cross2plus.png", 15, 15},
    {1795, ":/cursors/cross2minus.png", 15, 15}, {1796, ":/cursors/cross2minus.png", 15, 15},
};

// The selection and layer modes' shapes, which the standard set covers.
Qt::CursorShape StandardShape(TCursorId id) {
  switch (id) {
    case 1781:  // eraser
    case 1783:  // pen
      return Qt::CrossCursor;
    case 1786:  // move, diagonal one way
      return Qt::SizeBDiagCursor;
    case 1788:  // move, diagonal the other way
      return Qt::SizeFDiagCursor;
    case 1787:  // move vertically
      return Qt::SizeVerCursor;
    case 1789:  // move horizontally
      return Qt::SizeHorCursor;
    case 1790:  // move
      return Qt::SizeAllCursor;
    default:
      return id >= 1797 && id <= 1810 ? Qt::CrossCursor : Qt::ArrowCursor;
  }
}

const TCursorImage* FindImage(TCursorId id) {
  for (const TCursorImage& image : kImages)
    if (image.Id == id) return &image;
  return nullptr;
}

}  // namespace

bool HasCursorImage(TCursorId id) {
  return FindImage(id) != nullptr;
}

QCursor CursorForId(TCursorId id) {
  static const bool initialised = (InitRevimoraResources(), true);
  (void)initialised;
  if (const TCursorImage* image = FindImage(id)) {
    QPixmap pixmap(QString::fromLatin1(image->Path));
    if (!pixmap.isNull()) return QCursor(pixmap, image->HotX, image->HotY);
  }
  return QCursor(StandardShape(id));
}

}  // namespace rv::qt
