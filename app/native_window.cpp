#include "native_window.h"

#include <QWindow>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvex {

namespace {

constexpr Qt::WindowFlags kFixedWindow = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                         Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                         Qt::WindowCloseButtonHint;

}  // namespace

#ifdef _WIN32

Qt::WindowFlags FixedWindowFlags() { return kFixedWindow | Qt::MSWindowsFixedSizeDialogHint; }

QMargins FrameAround(QWidget& window) {
    if (window.windowHandle() == nullptr) return {};
    const auto hwnd = reinterpret_cast<HWND>(window.winId());
    RECT outer{};
    RECT client{};
    POINT origin{0, 0};
    if (!GetWindowRect(hwnd, &outer) || !GetClientRect(hwnd, &client) || !ClientToScreen(hwnd, &origin)) return {};
    return QMargins(origin.x - outer.left, origin.y - outer.top, outer.right - (origin.x + client.right),
                    outer.bottom - (origin.y + client.bottom));
}

void* DriverDialogOwner(QWidget& window) { return reinterpret_cast<void*>(window.winId()); }

#else

// The window manager reads the fixed size from the window's size hints (minimum = maximum).
Qt::WindowFlags FixedWindowFlags() { return kFixedWindow; }

QMargins FrameAround(QWidget& window) {
    return window.windowHandle() != nullptr ? window.windowHandle()->frameMargins() : QMargins();
}

void* DriverDialogOwner(QWidget&) { return nullptr; }

#endif

}  // namespace tarvex
