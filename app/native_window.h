#pragma once
// Where the main window meets the window system of its platform: its frame, and the handle a
// driver's log-in dialog takes as its owner. The platforms' differences in these are here, in
// native_window_windows.cpp and native_window_posix.cpp.

#include <QWidget>

namespace tarvex {

// The flags every system's fixed window has; FixedWindowFlags adds its own system's.
inline constexpr Qt::WindowFlags kFixedWindowFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                              Qt::WindowCloseButtonHint;

// A top-level window of fixed size with a title bar, a system menu, a minimise and a close
// button; no maximise button, and no frame or title bar with which the window system would
// resize or maximise it (on Windows a thin dialog frame, where a resizable one would let a
// double-click on the title bar maximise it, leaving the controls at their places).
Qt::WindowFlags FixedWindowFlags();

// The frame around the client area of the shown top-level `window`, title bar included, as the
// window system counts it: on Windows the window's rectangle less its client area (Qt reports
// the frame less a border Windows 10 keeps invisible, which wine draws), elsewhere the window
// manager's frame as Qt reports it. Empty while the window has no native window.
QMargins FrameAround(QWidget& window);

// `window` as the window system names it (an HWND on Windows), to own the dialog a driver shows
// during a log-in; null where no driver shows one (unixODBC reads a handle as a structure of its
// own there, and FreeTDS never prompts).
void* DriverDialogOwner(QWidget& window);

}  // namespace tarvex
