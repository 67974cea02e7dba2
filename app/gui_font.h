#pragma once
// The default GUI font: the font of every control of the window that has none of its own.

#include <QFont>

namespace tarvex {

// On Windows the system's own default GUI font, its face as the system realizes it and its
// character height, as native programs' controls have it. Elsewhere its counterpart there: a
// CJK sans-serif face of 12 pixels (9 points at 96 dots per inch), so that the captions render
// and fit their controls.
QFont DefaultGuiFont();

}  // namespace tarvex
