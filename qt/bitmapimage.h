// The QImage bridge of the platform bitmap: a QImage over a TBitmap's own
// memory, to be painted without copying the pixels.
#pragma once

#include <QImage>

namespace rv {

class TBitmap;

// A read-only QImage over bitmap's rows (top-down, stride = RowLength): 24 bits
// as Format_BGR888, 32 bits (and the device-dependent form) as Format_RGB32,
// 16 and 15 bits as Format_RGB16 / Format_RGB555, 8 bits as Format_Indexed8 and
// 1 bit as Format_Mono, both with the bitmap's colour table. The image shares
// the bitmap's memory: it is valid only while the bitmap lives and keeps its
// size and depth. An empty bitmap and the 4-bit depth (which Qt cannot
// address) give a null image.
QImage WrapBitmap(const TBitmap& bitmap);

}  // namespace rv
