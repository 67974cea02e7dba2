#include "program_directory.h"

#include <QStandardPaths>
#include <QString>

#include <filesystem>
#include <system_error>

#include "codepage.h"
#include "file_paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarvex {

std::string DirectoryOf(std::string_view programFile) {
#ifdef _WIN32
    const std::size_t slash = programFile.find_last_of("\\/");
#else
    const std::size_t slash = programFile.rfind('/');
#endif
    return slash == std::string_view::npos ? std::string() : std::string(programFile.substr(0, slash));
}

std::string ProgramDirectory() {
    static const std::string directory = [] {
#ifdef _WIN32
        char file[MAX_PATH * 2] = {};
        const DWORD length = GetModuleFileNameA(nullptr, file, sizeof file);
        return DirectoryOf(std::string_view(file, length));
#else
        std::error_code error;
        const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string() : DirectoryOf(NarrowPath(file));
#endif
    }();
    return directory;
}

BackupDirectory ChooseBackupDirectory(const std::string& programDirectory, const std::string& userFallback) {
#ifdef _WIN32
    (void)userFallback;
    return {programDirectory, false};
#else
    std::error_code error;
    const std::filesystem::path program = FileSystemPath(programDirectory);
    if (std::filesystem::is_directory(program, error) && faccessat(AT_FDCWD, program.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return {programDirectory, false};
    // Should it not be made, the window's log names it and the backup's failure says why.
    std::filesystem::create_directories(FileSystemPath(userFallback), error);
    return {userFallback, true};
#endif
}

std::string FellBackText(std::string_view directory) {
    return ProgramText("程序所在的文件夹不能写入，备份文件和转换记录保存在：") + std::string(directory);
}

BackupDirectory ProgramBackupDirectory() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return ChooseBackupDirectory(ProgramDirectory(), NarrowPath(documents + QStringLiteral("/tarvex-convert")));
}

}  // namespace tarvex
