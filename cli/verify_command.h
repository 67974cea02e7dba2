#pragma once
// `tarvex-convert-cli verify --folder PATH [--manifest FILE] [--json]`: the check of a folder of
// backups against their records (folder_check.h), for the machine the backups were carried to.
// Exit code 0 when every file agrees, 1 when some does not (or there is nothing to check),
// 2 for bad usage, 130 when interrupted. With --json one JSON document on stdout whatever the end.

#include <string>
#include <vector>

namespace tarvex {

// `words` without the program's name, the first being "verify"; every text in the code page of
// the process.
int RunVerify(const std::vector<std::string>& words);

}  // namespace tarvex
