#pragma once
// Start-up and shutdown, and the two program-wide values: the program's directory and the
// log-in settings; where the backups go.

#include <string>
#include <string_view>

#include "login.h"

namespace tarvex {

// The directory of a program file's path: the part before its last separator ("/"; on Windows
// also "\"), without it; empty when the path has none.
std::string DirectoryOf(std::string_view programFile);

// The directory of this program's file, taken once; a fresh copy.
std::string ProgramDirectory();

// Where the export has the server write the backup files (and the record beside each).
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

// The log-in settings of this run, the program's one instance. Used on the window's thread only.
LoginSettings& ProgramLoginSettings();

// The process set-up that precedes the window: makes ProgramDirectory the current directory,
// puts the floating-point environment into its default state and registers the release of the
// log-in settings at program end (once, however often this is called). Call it after
// setlocale(LC_ALL, "").
void PrepareProcess();

// The program: setlocale(LC_ALL, ""), PrepareProcess, the window with its actions shown centred,
// the event loop until the window has closed. Returns 0.
//
// When a worker still runs after the window's closing wait, the process ends at once
// (quick_exit; on Windows TerminateProcess; the log-in settings released all the same) instead of returning: the window,
// its controls and the application object stay untouched under that worker to the end.
int StartUp(int argc, char** argv);

}  // namespace tarvex
