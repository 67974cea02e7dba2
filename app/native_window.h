#pragma once
// Where the main window meets the window system of its platform: the handle a driver's log-in
// dialog takes as its owner. The platforms' differences in it are here.

#include <QWidget>

namespace tarvex {

// `window` as the window system names it (an HWND on Windows), to own the dialog a driver shows
// during a log-in; null where no driver shows one (unixODBC reads a handle as a structure of its
// own there, and FreeTDS never prompts).
void* DriverDialogOwner(QWidget& window);

}  // namespace tarvex
