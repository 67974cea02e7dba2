#pragma once
// The file dialog in which the user picks a backup file on this computer. On Windows it is the
// system's own (GetOpenFileNameW): the program's static Qt is built without its file dialog.
// Elsewhere it is Qt's. Each in its own file: backup_picker_windows.cpp, backup_picker_posix.cpp.

#include <QString>

class QWidget;

namespace tarvex {

// The dialog's title.
inline constexpr const char* kBackupPickerTitle = "选择备份文件";

// Asks for an existing file, the .bak files shown first, starting in `folder` (empty: where the
// system likes). Returns its path in the platform's form, or an empty text when none was chosen.
QString PickBackupFile(QWidget& owner, const QString& folder);

}  // namespace tarvex
