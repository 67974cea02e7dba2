#pragma once
// How the window's program ends at once, under a thread that still runs, where Windows and
// Linux differ: process_end_windows.cpp, process_end_posix.cpp.

namespace tarvex {

// Registers `release` to run when the process ends: at exit, and at an end now (EndProcessNow)
// where the system's way of ending runs no exit handlers. True when it is registered.
bool ReleaseAtEnd(void (*release)());

// Ends the process at once: `release` run and the output flushed first, no destructors and no
// exit handlers after that.
[[noreturn]] void EndProcessNow(void (*release)());

}  // namespace tarvex
