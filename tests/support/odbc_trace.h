#pragma once
// What the driver manager (unixODBC, also behind wine's odbc32) writes down of the log-ins it is
// given when it traces: each SQLDriverConnectW's window handle and completion mode, exactly as
// the caller passed them. (The trace hides the password.)

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

struct DriverConnectCall {
    std::uint64_t window = 0;  // 0 for no window
    int completion = -1;       // SQL_DRIVER_NOPROMPT 0, SQL_DRIVER_COMPLETE 1, SQL_DRIVER_PROMPT 2
};

// The calls in a trace file, in order; none when there is no such file.
inline std::vector<DriverConnectCall> DriverConnectCalls(const std::filesystem::path& trace) {
    std::vector<DriverConnectCall> calls;
    std::ifstream in(trace);
    const auto valueAfter = [](const std::string& line, const std::string& label) {
        return line.substr(line.find(label) + label.size());
    };
    for (std::string line; std::getline(in, line);) {
        if (line.find("Window Hdl = ") != std::string::npos) {
            const std::string value = valueAfter(line, "Window Hdl = ");  // "(nil)" or "0x..."
            calls.push_back({value.rfind("0x", 0) == 0 ? std::strtoull(value.c_str() + 2, nullptr, 16) : 0, -1});
        } else if (line.find("Completion = ") != std::string::npos && !calls.empty()) {
            calls.back().completion = std::atoi(valueAfter(line, "Completion = ").c_str());
        }
    }
    return calls;
}

}  // namespace testsupport
