#pragma once
// Start-up and shutdown, and the two program-wide values: the program's directory
// (program_directory.h, shared with the command line) and the log-in settings.

#include <string>
#include <string_view>

#include "login.h"
#include "program_directory.h"  // DirectoryOf, ProgramDirectory, where the backups go

namespace tarvex {

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
