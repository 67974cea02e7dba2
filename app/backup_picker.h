#pragma once
// The file dialog in which the user picks a backup file on this computer. On Windows it is the
// system's own (GetOpenFileNameW): the program's static Qt is built without its file dialog.
// Elsewhere it is Qt's.

#include <QString>

class QWidget;

namespace tarvex {

// Asks for an existing file, the .bak files shown first, starting in `folder` (empty: where the
// system likes). Returns its path in the platform's form, or an empty text when none was chosen.
QString PickBackupFile(QWidget& owner, const QString& folder);

}  // namespace tarvex
