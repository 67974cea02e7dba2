#pragma once
// The command line: `list` prints the restored database's account sets, `convert` runs the
// batch conversion (batch.h) on the sets it names, for scripts and schedulers. It is a caller
// of the same routines as the window and the batch dialog: log-in's connection, the account-set
// list, RunBatch with its backups, records and summary.

namespace tarvex {

// The exit codes besides BatchOutcome::ExitCode()'s 0, 1 and 3 (its 4 and 5 are these too).
inline constexpr int kExitUsage = 2;          // bad usage, or the server refused the log-in
inline constexpr int kExitUnreachable = 4;    // the server cannot be reached, or went away
inline constexpr int kExitHeld = 5;           // the temporary database is another copy's, or left over
inline constexpr int kExitInterrupted = 130;  // Ctrl+C, SIGTERM, SIGHUP

// Runs the command line (after setlocale): output on stdout, progress and messages on stderr,
// every text in the code page of the process. Returns the exit code.
int RunCommandLine(int argc, char** argv);

}  // namespace tarvex
