#pragma once
// What the console's two implementations (console_windows.cpp, console_posix.cpp) share with
// console.cpp: the state a signal or control handler reaches (a handler takes no argument) and
// the steps both take. For the console's files only.

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "console.h"

namespace tarvex::console_state {

// How many interruptions came, lock-free so that counting is safe in a handler, and the texts
// it writes, made (MakeTexts) before any handler is installed.
extern std::atomic<int> interruptions;
extern std::string acknowledgement, lastWords;
// Whether stderr's last line is one written over in place (ReplaceLine), not yet ended: an
// interruption's acknowledgement then starts on a line of its own.
extern std::atomic<bool> lineOpen;

// Keeps lineOpen as a write to `stream` leaves stderr's line: before an in-place line is written,
// after a line's end, so that an interruption between the two finds the line still open.
void Track(std::FILE* stream, std::string_view text, bool inPlace = false);

// The acknowledgement and last words of an interruption of `of`, in the code page of the process.
void MakeTexts(Interruption::Of of);

// Calls what Interruption::CancelWith gave, if a Cancelling lives.
void Cancel();

}  // namespace tarvex::console_state
