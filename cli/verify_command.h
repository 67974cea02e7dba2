#pragma once
// `tarvex-convert-cli verify --folder PATH [--manifest FILE] [--json] [--restore-check]`: the check
// of a folder of backups against their records (folder_check.h), for the machine the backups were
// carried to; with --restore-check each backup also restored on the server of the connection options.
// Exit code 0 when every file agrees, 1 when some does not (or there is nothing to check),
// 2 for bad usage, 130 when interrupted. With --json one JSON document on stdout whatever the end.

#include "arguments.h"

namespace tarvex {

// The command line as ParseArguments took it, its command verify (or why it cannot be taken);
// `json`: --json was among the words, which a command line that cannot be taken answers too.
int RunVerify(const ParsedArguments& parsed, bool json);

}  // namespace tarvex
