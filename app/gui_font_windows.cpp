#include "gui_font.h"

#include <QString>

#include <windows.h>

namespace tarvex {

namespace {

// The screen's device context with a font selected into it, both given back when it goes.
class ScreenWithFont {
public:
    explicit ScreenWithFont(HGDIOBJ font)
        : dc_(GetDC(nullptr)), previous_(dc_ != nullptr ? SelectObject(dc_, font) : nullptr) {}
    ~ScreenWithFont() {
        if (dc_ == nullptr) return;
        if (previous_ != nullptr) SelectObject(dc_, previous_);
        ReleaseDC(nullptr, dc_);
    }
    ScreenWithFont(const ScreenWithFont&) = delete;
    ScreenWithFont& operator=(const ScreenWithFont&) = delete;

    bool Selected() const { return previous_ != nullptr; }
    HDC Dc() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace

// The stock font names a logical face ("MS Shell Dlg") that the system maps to one of its
// fonts (宋体 on Chinese systems): the face is the one the screen realizes, and the size its
// character height (cell less internal leading) in points at the screen's dots per inch.
QFont DefaultGuiFont() {
    QFont font;
    const ScreenWithFont screen(GetStockObject(DEFAULT_GUI_FONT));
    wchar_t face[LF_FACESIZE] = {};
    TEXTMETRICW metrics{};
    if (!screen.Selected() || GetTextFaceW(screen.Dc(), LF_FACESIZE, face) <= 0 ||
        !GetTextMetricsW(screen.Dc(), &metrics))
        return font;
    font.setFamily(QString::fromWCharArray(face));
    const int dpi = GetDeviceCaps(screen.Dc(), LOGPIXELSY);
    const int height = metrics.tmHeight - metrics.tmInternalLeading;
    if (dpi > 0 && height > 0) font.setPointSizeF(height * 72.0 / dpi);
    return font;
}

}  // namespace tarvex
