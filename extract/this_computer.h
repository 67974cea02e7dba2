#pragma once
// Whether a server name the user typed names this computer. A server here reads a backup file
// from this computer's disk, so the file can be picked from it; another one reads the path on
// its own disk, so the user types it.

#include <string>
#include <string_view>

namespace tarvex {

// This computer's name, in the code page of the process; empty when the system does not say.
// Each system's in a file of its own: this_computer_windows.cpp, this_computer_posix.cpp.
std::string ThisComputerName();

// Whether `server` (as the log-in takes it) names this computer: ".", "(local)", "localhost",
// "127.0.0.1", "::1", "(localdb)" or `computerName` (also without its domain), each with or
// without an instance ("\SQLEXPRESS"), a port (",1433") or a protocol ("tcp:"), in any case.
bool IsThisComputer(std::string_view server, std::string_view computerName = ThisComputerName());

}  // namespace tarvex
