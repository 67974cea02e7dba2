#include "backup_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QWidget>

namespace tarvex {

QString PickBackupFile(QWidget& owner, const QString& folder) {
    const QString file = QFileDialog::getOpenFileName(&owner, QString::fromUtf8(kBackupPickerTitle), folder,
                                                      QString::fromUtf8("SQL Server 备份文件 (*.bak);;所有文件 (*)"));
    return QDir::toNativeSeparators(file);
}

}  // namespace tarvex
