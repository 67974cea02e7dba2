#include "program_directory.h"

#include <windows.h>

namespace tarvex {

std::string DirectoryOf(std::string_view programFile) {
    const std::size_t slash = programFile.find_last_of("\\/");
    return slash == std::string_view::npos ? std::string() : std::string(programFile.substr(0, slash));
}

std::string ProgramDirectory() {
    static const std::string directory = [] {
        char file[MAX_PATH * 2] = {};
        const DWORD length = GetModuleFileNameA(nullptr, file, sizeof file);
        return DirectoryOf(std::string_view(file, length));
    }();
    return directory;
}

BackupDirectory ChooseBackupDirectory(const std::string& programDirectory, const std::string& userFallback) {
    (void)userFallback;
    return {programDirectory, false};
}

}  // namespace tarvex
