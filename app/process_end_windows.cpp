#include "process_end.h"

#include <cstdio>
#include <cstdlib>

#include <windows.h>

namespace tarvex {

bool ReleaseAtEnd(void (*release)()) { return std::atexit(release) == 0; }

[[noreturn]] void EndProcessNow(void (*release)()) {
    // msvcrt has no quick_exit. TerminateProcess also skips the DLLs' detach notifications,
    // which could wait on a lock that thread holds inside the driver.
    release();
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 0);
    std::abort();  // not reached: TerminateProcess on the own process does not return
}

}  // namespace tarvex
