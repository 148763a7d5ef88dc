// The viewer's cursor ids as Qt cursors.
#pragma once

#include <QCursor>

#include "view/viewhost.h"

namespace rv::qt {

// The cursor the viewer means by id: our own drawings (resources/cursors) for
// the crosshairs, the hand and the magnifiers, Qt's standard shapes for the
// move, pen and eraser ids and for anything unknown (0 is the arrow).
QCursor CursorForId(TCursorId id);

// True when id is drawn from one of our images rather than a standard shape.
bool HasCursorImage(TCursorId id);

}  // namespace rv::qt
