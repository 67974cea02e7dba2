#include "gui_font.h"

#include <QStringList>

namespace tarvex {

QFont DefaultGuiFont() {
    QFont font;
    font.setFamilies({"WenQuanYi Micro Hei", "Noto Sans CJK SC"});
    font.setPixelSize(12);
    return font;
}

}  // namespace tarvex
