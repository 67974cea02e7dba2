#pragma once
// Proof of a backup's contents: restored under a scratch name of the program's own (never one
// that is there, never over one), the rows of the catalogue's 34 tables counted and held against
// its record, and the scratch database dropped whatever happened. The restore is the restore's
// own (RestoreBackup, restore.h), with its checks, its cancel and its clean-up after a failure.
//
// All texts are in the code page of the process.

#include <string>
#include <vector>

#include "folder_check.h"
#include "restore.h"

namespace tarvex {

struct RestoreCheck {
    enum class End {
        Agrees,      // every table has the rows its record counts
        Differs,     // some table has not: `text` says which
        NotChecked,  // the backup could not be restored or counted here: `text` says why
        Cancelled,
    };
    End end = End::NotChecked;
    std::string text;  // "内容一致（34张表共438行）", which tables differ, or why none was counted
    std::vector<long long> counts;  // the rows counted, in catalogue order; empty when not counted
    bool leftBehind = false;        // the scratch database may be left on the server: `text` says so
};

// Restores the backup at `path` (as the server reads it) on `server` and holds its tables' rows
// against `record`.
RestoreCheck CheckByRestoring(Database& database, const RestoreServer& server, const std::string& path,
                              const RecordContents& record, Report& report);

// Runs CheckByRestoring on every backup of `check` (in `directory`) whose record counts its tables,
// and puts each result on its line; stops at a cancel. `Begins` tells which backup is under way.
void CheckFolderByRestoring(Database& database, const RestoreServer& server, const std::string& directory,
                            FolderCheck& check, FolderCheckReport& report);

}  // namespace tarvex
