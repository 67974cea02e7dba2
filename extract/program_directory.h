#pragma once
// The program's own folder, and where the backups go by default: the window's export and the
// command line's batch alike. Shared by both programs, so it needs no window. What differs
// between the systems is in program_directory_windows.cpp and program_directory_posix.cpp.

#include <string>
#include <string_view>

namespace tarvex {

// The directory of a program file's path: the part before its last separator ("/"; on Windows
// also "\"), without it; empty when the path has none.
std::string DirectoryOf(std::string_view programFile);

// This program's file, as the system names it; empty when it does not say.
std::string ProgramFile();

// The directory of this program's file, taken once; a fresh copy.
std::string ProgramDirectory();

// Where the backups go (and the record beside each), by default.
struct BackupDirectory {
    std::string path;
    bool fellBack = false;  // the user's folder, because the program's own cannot take them
};

// The program's directory when this process may create files in it. Otherwise, on Linux (an
// installed program's folder belongs to root), `userFallback`, made when missing. On Windows
// always the program's directory: the SQL Server service writes the backup there, and folders
// under the user's profile are normally closed to its account, so a fallback would not help.
BackupDirectory ChooseBackupDirectory(const std::string& programDirectory, const std::string& userFallback);

// ChooseBackupDirectory for this process: ProgramDirectory(), else the folder "tarvex-convert"
// in the user's documents folder.
BackupDirectory ProgramBackupDirectory();

// What the user is told where the backups go to the user's own folder `directory` (fellBack),
// in the code page of the process.
std::string FellBackText(std::string_view directory);

}  // namespace tarvex
