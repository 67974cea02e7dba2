#include "process_end.h"

#include <cstdio>
#include <cstdlib>

namespace tarvex {

bool ReleaseAtEnd(void (*release)()) { return std::atexit(release) == 0 && std::at_quick_exit(release) == 0; }

// quick_exit runs what ReleaseAtEnd registered.
[[noreturn]] void EndProcessNow(void (*)()) {
    std::fflush(nullptr);
    std::quick_exit(0);
}

}  // namespace tarvex
