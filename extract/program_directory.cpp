#include "program_directory.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
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
        return error ? std::string() : DirectoryOf(file.native());
#endif
    }();
    return directory;
}

}  // namespace tarvex
