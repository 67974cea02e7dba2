#include "backup_picker.h"

#include <QDir>
#include <QWidget>

#include <windows.h>
#include <commdlg.h>

#include <vector>

namespace tarvex {

QString PickBackupFile(QWidget& owner, const QString& folder) {
    // The filter's pairs of description and pattern, each ended by a null, the list by another.
    const QString filter = QString::fromUtf8("SQL Server 备份文件 (*.bak)|*.bak|所有文件 (*.*)|*.*||").replace('|', QChar(0));
    const QString title = QString::fromUtf8(kBackupPickerTitle);
    const QString start = QDir::toNativeSeparators(folder);
    std::vector<wchar_t> file(32768, L'\0');  // room for a long path
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = reinterpret_cast<HWND>(owner.window()->winId());
    dialog.lpstrFilter = reinterpret_cast<const wchar_t*>(filter.utf16());
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = start.isEmpty() ? nullptr : reinterpret_cast<const wchar_t*>(start.utf16());
    dialog.lpstrTitle = reinterpret_cast<const wchar_t*>(title.utf16());
    dialog.lpstrDefExt = L"bak";
    // The program's working directory is its own folder, and stays so.
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return {};
    return QString::fromWCharArray(file.data());
}

}  // namespace tarvex
