#include "program_directory.h"

#include <windows.h>

namespace tarvex {

std::string ProgramFile() {
    char file[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameA(nullptr, file, sizeof file);
    return std::string(file, length);
}

BackupDirectory ChooseBackupDirectory(const std::string& programDirectory, const std::string& userFallback) {
    (void)userFallback;
    return {programDirectory, false};
}

}  // namespace tarvex
