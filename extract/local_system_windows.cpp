#include "local_system.h"

#include <string>

namespace tarvex {

std::string_view PathSeparator() { return "\\"; }

std::string_view PathSeparators() { return "\\/"; }

std::string_view TextLineEnd() { return "\r\n"; }

std::FILE* OpenFileAt(const std::filesystem::path& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

}  // namespace tarvex
