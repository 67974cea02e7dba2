#pragma once
// The benchmarks' reading of memory: this process's peak resident size so far.

#include <fstream>
#include <string>

namespace bench {

// VmHWM of /proc/self/status, in KiB; 0 when it cannot be read.
inline long PeakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

}  // namespace bench
