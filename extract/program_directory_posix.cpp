#include "program_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "file_paths.h"

namespace tarvex {

std::string ProgramFile() {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : NarrowPath(file);
}

BackupDirectory ChooseBackupDirectory(const std::string& programDirectory, const std::string& userFallback) {
    std::error_code error;
    const std::filesystem::path program = FileSystemPath(programDirectory);
    if (std::filesystem::is_directory(program, error) && faccessat(AT_FDCWD, program.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return {programDirectory, false};
    // Should it not be made, the window's log names it and the backup's failure says why.
    std::filesystem::create_directories(FileSystemPath(userFallback), error);
    return {userFallback, true};
}

}  // namespace tarvex
