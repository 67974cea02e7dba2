#pragma once
// Files and clocks where Windows and Linux differ, for the core: each system's answers are in a
// file of its own, local_system_windows.cpp and local_system_posix.cpp.

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string_view>

namespace tarvex {

// The separator between a folder and a file in a path the program makes (a backslash on Windows).
std::string_view PathSeparator();
// The separators a path may have: "/", on Windows also a backslash.
std::string_view PathSeparators();

// How the lines of a text file end: as every other text file the auditor opens on that system.
std::string_view TextLineEnd();

// Opens a file with fopen's modes ("rb", "wb"), by its file system path; on failure null, and
// errno says why.
std::FILE* OpenFileAt(const std::filesystem::path& path, const char* mode);

// The local time of `when`.
std::tm LocalTime(std::time_t when = std::time(nullptr));

}  // namespace tarvex
