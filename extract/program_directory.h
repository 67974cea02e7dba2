#pragma once
// The program's own folder: where the window's export and, by default, the command line's
// batch put the backups. Shared by both programs, so it needs no window.

#include <string>
#include <string_view>

namespace tarvex {

// The directory of a program file's path: the part before its last separator ("/"; on Windows
// also "\"), without it; empty when the path has none.
std::string DirectoryOf(std::string_view programFile);

// The directory of this program's file, taken once; a fresh copy.
std::string ProgramDirectory();

}  // namespace tarvex
