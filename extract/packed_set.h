#pragma once
// A batch's set in few exchanges with the server. A far server makes each exchange cost its
// round trip, and a set's conversion one statement at a time takes forty of them; here it takes
// three: the create, the identity, the 34 copies and the read of what the backup will hold go in
// one batch of statements; the backup with its header check and its check in a second; the drop
// in a third. The steps and their order stay those of Extract and ExportTemporaryDatabase: the
// identity is read after the create, the copies go into the database the create made, the
// header is checked before the check counts, and the drop follows only once both have passed.
//
// Each copy runs as its own EXEC ('…'), its statement inside as a copy sends it alone: a name
// that does not resolve ends only that EXEC ("EXECUTE (Transact-SQL)", "Deferred Name
// Resolution and Compilation"), so a copy that fails is reported with the server's reason and
// the copies after it still run. The server sends each statement's end as it completes, and the
// set reports each copy then ("table k of 34", its rows), on the database's thread.
//
// The caller holds the temporary database (`hold`, taken before the batch's first set).

#include <optional>
#include <string>
#include <vector>

#include "conversion.h"
#include "temporary_database.h"

namespace tarvex {

// What the packed extraction came to, with what it read for the export.
struct PackedExtraction {
    Extraction extraction;
    // What the server held after the copies: the temporary database, and the rows of
    // FindingQuery() (nullopt when that read failed, the table it reads missing).
    TemporaryDatabase found;
    std::optional<std::vector<std::vector<std::string>>> foundRows;
};

// Extract, in one exchange: Extraction::End is Finished, CreateFailed, Cancelled (the batch was
// broken off at the server; a database the create made is the caller's to drop, as the ledger
// says) or Closing, never InUse.
PackedExtraction ExtractPacked(HoldOnTemporaryDatabase& hold, const ConversionInputs& inputs, Report& report,
                               const ConversionOptions& options);

// ExportTemporaryDatabase after ExtractPacked: the backup and its checks in one exchange, the
// drop in another.
Export ExportPacked(HoldOnTemporaryDatabase& hold, const std::string& directory, Report& report,
                    const ConversionOptions& options, const PackedExtraction& extracted);

// What an export reads of the server before its backup: the temporary database, and the
// account-set names of its GL_ZTCS.
std::string FindingQuery();

}  // namespace tarvex
