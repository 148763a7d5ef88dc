// What the program sets up before it creates its QApplication.
#pragma once

namespace rv::qt {

// Call before the QApplication exists. 100 % zoom is one picture pixel per
// device pixel, so Qt must not scale the program's geometry by the screen's
// resolution:
//  - QT_ENABLE_HIGHDPI_SCALING becomes 0 unless the user has set it; the
//    program then gives its fonts in pixels. An explicit QT_SCALE_FACTOR or
//    QT_SCREEN_SCALE_FACTORS of the user still applies (his choice).
//  - On Wayland the compositor scales windows and does not let a program
//    place its own: when WAYLAND_DISPLAY is set, an X server is reachable
//    (XWayland) and the user has not chosen QT_QPA_PLATFORM, Qt starts on xcb.
void PrepareApplicationEnvironment();

}  // namespace rv::qt
