#pragma once
// The conversion of one account set, free of any window: the extraction fills the temporary
// database with the account set's rows of the catalogue's 34 tables; the export has the server
// back it up, checks the file, drops the database and writes the record beside the file. The
// window's two actions, the batch and the command line all run these with values and learn
// what happens through a Report (report.h): its log, copies, questions, pauses and cancel.
//
// A copy of the program that creates the temporary database holds the server's application
// lock on its name until it drops it (temporary_database.h), so that no other copy backs up
// or drops a database that this one is filling.
//
// All texts are in the code page of the process.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conversion_record.h"
#include "database.h"
#include "report.h"
#include "temporary_database.h"

namespace tarvex {

// What one conversion takes.
struct ConversionInputs {
    std::string sourceDatabase;  // the restored database the copies read, trimmed
    std::string year, unitCode, accountSetNumber, accountSetName;
    // Which database that is (SourceIdentity), where the caller has read it; empty otherwise.
    std::string sourceIdentity{};
};

// How a conversion goes: the pause between its steps (none in a batch), the backup names
// already given in this run, which a later backup does not take again even where the program
// cannot see the server's folder.
struct ConversionOptions {
    int pauseMilliseconds = 1000;
    const std::vector<std::string>* namesTaken = nullptr;
    // How the create, copy, backup, check and drop statements go to the driver: each is sent
    // once, so directly, one exchange with the server apiece (prepared, each would take two, its
    // prepare-and-execute and its unprepare).
    Execution execution = Execution::Direct;
    // The export follows the extraction by itself (a batch): the completion line does not send
    // the user to the export button.
    bool exportFollows = false;
    // Goes before the account set's name in the backup's name: a batch's year, unit and set
    // number, so that same-named sets of several units and years tell themselves apart. With a
    // prefix, a "_" parts the name from the date.
    std::string fileNamePrefix{};
};

// What an extraction came to.
struct Extraction {
    enum class End {
        Finished,      // every copy was sent (some may have failed)
        Refused,       // nothing was sent: `refusal` says why
        CreateFailed,  // the temporary database could not be created: `create` says why
        InUse,         // another copy of the program holds the temporary database
        Cancelled,     // stopped between two copies; the temporary database stays
        Closing,       // the database shut down (the window is closing)
    };
    End end = End::Finished;
    std::string refusal;
    std::optional<Executed> create;
    ExtractionRecord record;
};

// A create broken off by a cancel may have been carried out all the same: the server finishes a
// create it has begun before it answers the cancel. Under the hold, with the create not refused
// for a database already there, a temporary database on the server now is the one it made: it
// is dropped, so that nothing of the run is left behind. Whether none is left; nullopt when the
// database shut down.
std::optional<bool> DropWhatTheCreateMade(Database::Session& session, Report& report, const ConversionOptions& options);

// Creates the temporary database under `hold` and copies the account set's rows into it, table
// by table, recording each copy in the hold's ledger as it goes. The first step is to check the
// inputs: nothing reaches the server for a source database name that cannot be quoted.
Extraction Extract(HoldOnTemporaryDatabase& hold, const ConversionInputs& inputs, Report& report,
                   const ConversionOptions& options);

// The log lines after the completion line: the failed copies, the rows in all, and the warning
// when the run found no rows or not the account set.
std::vector<std::string> ExtractionSummary(const ExtractionRecord& record);
// The warning of an extraction that found nothing of the account set, for a notice; empty
// when it found the account set's rows.
std::string ExtractionWarning(const ExtractionRecord& record);

// What an export came to.
struct Export {
    enum class End {
        Exported,      // the backup was made; `verify` and `drop` say what followed
        BackupFailed,  // `backup` says why; the temporary database stays
        InUse,         // another copy of the program holds the temporary database, or that
                       // cannot be told: `refusal` says which, for a notice
        Gone,          // the temporary database this program filled is no longer on the server
        Declined,      // the user chose not to export; the temporary database stays
        Cancelled,     // stopped before the backup
        Closing,       // the database shut down (the window is closing)
    };
    End end = End::Closing;
    std::string refusal;
    std::string file;                   // the backup file's name
    std::string path;                   // where the program reads it
    std::vector<std::string> warnings;  // what the user must know about the backup's contents
    std::optional<Executed> backup, verify, drop;
    // A failed backup left a file that was never checked (its record says so).
    bool fileLeft = false;
    // The check was broken off by a cancel: neither passed nor failed (its record says so).
    bool verifyCancelled = false;
    // There was no temporary database, and this program filled none: nothing to export.
    bool nothingToExport = false;
    FileDigest digest;          // the backup file as its record gives it
    std::string recordProblem;  // why the record beside the backup could not be written; empty when it was

    bool Verified() const { return verify && verify->ok; }
    // The check could not run: the connection to the server was lost.
    bool VerifyNotRun() const;
    // The drop was sent, but the connection broke before the server said what came of it.
    bool DropUnknown() const;
};

// Backs the temporary database up into `directory`, named for the account set whose rows it
// holds (its own GL_ZTCS; "临时数据库" when that cannot say), has the server check the file,
// drops the database and writes the record. Asks first when the database was not filled here on
// this connection, lacks tables, or its rows are not those of an account set.
Export ExportTemporaryDatabase(HoldOnTemporaryDatabase& hold, const std::string& directory, Report& report,
                               const ConversionOptions& options);

// Database work: the server's version and edition, as the record names them (a backup restores
// only on the same or a newer SQL Server); empty when the server does not say. An export asks
// once a connection (LoggedIn::serverVersion).
std::string ReadServerVersion(ODBCDB& db);

// "转换记录文件<file>.txt写入失败（<why>）": the record beside the backup `file` could not be written.
std::string RecordFailedText(const std::string& file, const std::string& why);

// What dropping a temporary database that no copy of the program holds (one left over by a
// copy that ended early) came to.
struct LeftoverDrop {
    enum class End {
        Dropped,        // it was there and is gone; `held` says what it held
        Absent,         // there was none
        HeldElsewhere,  // another copy holds it (or that cannot be told): `refusal` says which
        FilledHere,     // this connection filled it and has not exported it: export it instead
        Failed,         // the drop failed: `error` says why
        Closing,        // the database shut down
    };
    End end = End::Closing;
    std::string held;      // what its own GL_ZTCS says it holds, one account set a line
    std::string refusal;
    OdbcError error;
};

// Drops the temporary database if it is on the server and no copy of the program holds it,
// after reading what it holds; never one that another copy holds.
LeftoverDrop DropLeftover(HoldOnTemporaryDatabase& hold);

// Drops the temporary database that this program filled (a cancelled or failed conversion)
// under `hold`; true when it is gone, and the hold's end then gives the hold up.
bool DropTemporaryDatabase(HoldOnTemporaryDatabase& hold, Report& report, const ConversionOptions& options);

}  // namespace tarvex
