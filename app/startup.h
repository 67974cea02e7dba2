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
// No thread of the program's own outlives the window: the workers have ended and been joined
// when it closes, and the database thread is joined after the loop (MainWindow::EndThreads),
// so that the window, the application object and the process's exit run on the main thread
// alone. When a thread has not ended within its bound, the process ends at once instead of
// returning (quick_exit; on Windows TerminateProcess; the log-in settings released all the
// same): the window, its controls and the application object stay untouched under that thread
// to the end. Once the window has gone, the calls the toolkit queued for itself run while the
// application object exists (its animation timer stops among them), so that nothing of the
// toolkit's is left to run at exit.
int StartUp(int argc, char** argv);

}  // namespace tarvex
