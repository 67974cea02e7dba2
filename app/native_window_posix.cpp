#include "native_window.h"

#include <QWindow>

namespace tarvex {

// The window manager reads the fixed size from the window's size hints (minimum = maximum).
Qt::WindowFlags FixedWindowFlags() { return kFixedWindowFlags; }

QMargins FrameAround(QWidget& window) {
    return window.windowHandle() != nullptr ? window.windowHandle()->frameMargins() : QMargins();
}

void* DriverDialogOwner(QWidget&) { return nullptr; }

}  // namespace tarvex
