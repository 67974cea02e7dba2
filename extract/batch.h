#pragma once
// Batch conversion: many account sets one after another, each through the conversion of one
// account set (conversion.h) without pauses, each into its own backup and record as the single
// export makes them. The batch dialog and the command line run it and show what it reports;
// the summary goes beside the backups as a CSV file. A batch reports (report.h) its sets' begins
// and ends, each set's log and copies, and asks for no answer: it takes Yes for one.
//
// All texts are in the code page of the process, except the CSV file (UTF-8).

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "account_sets.h"
#include "conversion.h"

namespace tarvex {

// What became of one account set of a batch.
struct BatchRow {
    enum class Result {
        Converted,     // backed up, checked, no warning
        Skipped,       // a backup of it in the folder agrees with its record: not converted again
        WithWarnings,  // backed up and checked, but the user must look (no rows, no account set)
        Failed,        // a copy, the backup or the check failed
        Cancelled,     // the batch was cancelled during this set
        NotRun,        // the batch stopped before this set
    };
    AccountSetEntry set;
    Result result = Result::NotRun;
    long rows = 0;  // -1: not every copy's count was reported (RowsText says 未报告)
    int tablesWithRows = 0;
    std::string file;                   // the backup file's name; empty when none was made
    std::string verification;           // "通过", "未通过" or "未能进行"; empty when no check ran
    std::string serverVersion;          // of the server that made the backup
    std::string account;                // the log-in the batch ran under, as the records name it
    std::string sha256;                 // of the backup file, as its record gives it
    std::vector<std::string> notes;     // warnings and the reason of a failure
};

struct BatchOutcome {
    // Why the batch stopped before its end, for a scheduler to tell "retry later" from "fix
    // something".
    enum class Stop {
        None,            // it ran to its end
        Cancelled,       // Cancel, Ctrl+C
        HeldElsewhere,   // another copy of the program holds the temporary database
        Leftover,        // a temporary database is on the server that no copy holds
        ConnectionLost,  // the server went away
        Failed,          // something else went wrong: `stopped` says what
    };
    std::vector<BatchRow> rows;  // one per set asked for, in order
    Stop stop = Stop::None;
    std::string stopped;         // why the batch stopped before its end; empty when it did not
    std::string summaryFile;     // the CSV's name beside the backups; empty when not written
    std::string summaryProblem;  // why it could not be written

    bool Cancelled() const { return stop == Stop::Cancelled; }
    // 0: every set converted (or skipped, done before) and checked without warnings; 1: some set failed or the batch
    // stopped or was cancelled; 3: all converted, some with warnings; 4: the server went away;
    // 5: the temporary database is another copy's, or left over.
    int ExitCode() const;
};

struct BatchOptions {
    // Sets whose backup and record are in the folder and agree (the record names the same
    // server, database, year, unit and account set, its SHA-256 is the file's and its check
    // passed) are skipped: a rerun resumes. The database must be the same one by its identity
    // (database_id and create_date): a database restored anew under its name converts again.
    bool skipDone = false;
};

// Converts `sets` (convertible ones; others are reported failed without a statement) from
// `sourceDatabase` into `directory`, on the connection whose ledger `ledger` is. Before the first
// set it takes the hold on the temporary database; a temporary database already on the server
// stops the batch (another copy of the program may be filling it, or this connection filled it
// and has not exported it yet). A set that fails is dropped and the batch goes on; a cancel drops
// the set under way and stops.
BatchOutcome RunBatch(Database& database, ConversionLedger& ledger, const std::string& sourceDatabase,
                      const std::vector<AccountSetEntry>& sets, const std::string& directory, Report& report,
                      const BatchOptions& options = {});

// Whether `directory` holds records of earlier conversions (the dialog then skips what they
// converted, unless the user says otherwise).
bool HoldsEarlierResults(const std::string& directory);

// Why the program cannot put files into `directory` (missing, not a folder, not writable), for
// the user; empty when it can. The server writes the backups: on another computer it needs
// its own folder of that name.
std::string FolderProblem(const std::string& directory);

// Texts for the summary: the result and the notes of a row, in the code page of the process.
std::string ResultText(BatchRow::Result result);
std::string NotesText(const BatchRow& row);
// The rows a set copied, or "未报告" where the server did not report every copy's count.
std::string RowsText(const BatchRow& row);

// The summary as CSV, UTF-8 with a byte-order mark so that a spreadsheet program keeps its
// Chinese: one header line, then a line per set (year, unit code, unit name, account-set
// number and name, result, rows, tables with data, file, check, notes, the server's version, the
// log-in's account, the backup's SHA-256 as its record gives it).
std::string SummaryCsv(const std::vector<BatchRow>& rows);
// "批量转换汇总<date-time>.csv" for the local time `when`.
std::string SummaryFileName(std::time_t when);

}  // namespace tarvex
