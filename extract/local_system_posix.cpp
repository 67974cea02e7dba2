#include "local_system.h"

#include <time.h>

namespace tarvex {

std::string_view PathSeparator() { return "/"; }

std::string_view PathSeparators() { return "/"; }

std::string_view TextLineEnd() { return "\n"; }

std::FILE* OpenFileAt(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

}  // namespace tarvex
