#include "native_window.h"

#include <QWindow>

#include <windows.h>

namespace tarvex {

Qt::WindowFlags FixedWindowFlags() { return kFixedWindowFlags | Qt::MSWindowsFixedSizeDialogHint; }

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

}  // namespace tarvex
