#include "program_directory.h"

#include <QStandardPaths>
#include <QString>

#include "codepage.h"
#include "file_paths.h"
#include "local_system.h"

namespace tarvex {

std::string DirectoryOf(std::string_view programFile) {
    const std::size_t slash = programFile.find_last_of(PathSeparators());
    return slash == std::string_view::npos ? std::string() : std::string(programFile.substr(0, slash));
}

std::string ProgramDirectory() {
    static const std::string directory = DirectoryOf(ProgramFile());
    return directory;
}

std::string FellBackText(std::string_view directory) {
    return ProgramText("程序所在的文件夹不能写入，备份文件和转换记录保存在：") + std::string(directory);
}

BackupDirectory ProgramBackupDirectory() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return ChooseBackupDirectory(ProgramDirectory(), NarrowPath(documents + QStringLiteral("/tarvex-convert")));
}

}  // namespace tarvex
