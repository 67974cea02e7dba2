#pragma once
// What the program knows of the temporary database it fills: who filled it, from where, with
// which account set, and what each copy came to. The extraction run writes it, the export reads
// it to tell a complete conversion from one that is not, and writes it beside the backup file
// as the record of the conversion.
//
// All texts are in the code page of the process.

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "local_system.h"  // LocalTime

namespace tarvex {

// The connection of the last successful log-in, as the user typed it (no password).
struct LoggedIn {
    std::string server;
    std::string database;
    std::string user;
    // SERVERPROPERTY's ProductVersion and Edition, once an export has asked: a backup restores
    // only on the same or a newer SQL Server.
    std::string serverVersion{};
};

struct TableCopy {
    std::string table;
    long rows = -1;       // as the server reported them; -1 when it reported no count
    std::string failure;  // the reason when the copy failed; empty when it succeeded
    bool lostConnection = false;  // it failed because the connection to the server was lost
    bool Ok() const { return failure.empty(); }
};

struct ExtractionRecord {
    LoggedIn login;
    std::string sourceDatabase;  // the restored database the copies read
    std::string year, unitCode, accountSetNumber, accountSetName;
    std::string started, ended;    // local time, "2026-12-08 09:07:03"
    std::vector<TableCopy> copies;  // in catalogue order, as far as the run got
    bool finished = false;          // the run reached its completion line
    // Which database the run created (TemporaryDatabase::identity), as the server said right
    // after the create; empty when it could not say.
    std::string identity;
    // Which database the copies read: its database_id and create_date ("<id> <create_date>"),
    // which a database restored anew under the same name does not share; empty when not read.
    std::string sourceIdentity{};
    // The backup it went into, once that was made and passed its check; the drop may still have
    // been cut off. Empty until then.
    std::string exportedAs{};

    // The rows and tables with rows of the copies whose counts the server reported.
    long TotalRows() const;
    int TablesWithRows() const;
    // Copies that succeeded without the server reporting a count (a session with NOCOUNT): how
    // many rows they copied is unknown, never taken for none.
    int UnreportedCounts() const;
    int FailedCopies() const;
    // Finished, and the copies that succeeded (at least one) reported no row: the year, unit code
    // or account-set number match nothing.
    bool Empty() const;
    // Finished, and the copy of GL_ZTCS (the account set's own row) succeeded without a row:
    // the year, unit code and account-set number name no account set, whatever else was copied.
    bool AccountSetMissing() const;
    // Finished with the account set's own row, but its vouchers (GL_PZML, GL_PZFLMX) copied no
    // row: an account set with no bookings that year.
    bool NoVouchers() const;
    // The catalogue's tables the temporary database lacks: failed copies and, when the run did
    // not finish, the ones it never reached; in catalogue order.
    std::vector<std::string> MissingTables() const;
};

// What one connection has filled: shared by the actions that use that connection (the window's
// buttons and its batch dialog; a command line's batch); safe to use from any thread. It belongs
// to the connection of the last log-in: a new log-in forgets what the earlier one filled.
class ConversionLedger {
public:
    // A new connection: nothing is filled on it yet.
    void SetLogin(LoggedIn login);
    LoggedIn Login() const;
    void SetServerVersion(std::string version);
    // The run that created the temporary database on this connection; replaced as the run goes on.
    void SetFilled(ExtractionRecord record);
    std::optional<ExtractionRecord> Filled() const;
    // The temporary database this connection created is gone (dropped), or was replaced by
    // another of the same name.
    void ClearFilled();
    // What it holds is in the checked backup `file` (ExtractionRecord::exportedAs).
    void SetExported(const std::string& file);

private:
    mutable std::mutex mutex_;
    LoggedIn login_;
    std::optional<ExtractionRecord> filled_;
};

// "2026-12-08 09:07:03", local time.
std::string LocalTimeText(std::time_t when = std::time(nullptr));

// A file's size and SHA-256 as the program reads it, or why it cannot (a server on another
// computer writes the backup on its own file system).
struct FileDigest {
    long long size = -1;
    std::string sha256;   // lower-case hexadecimal
    std::string problem;  // UTF-8, in the user's words; empty when the file was read
};
FileDigest DigestOf(const std::string& path);

// What an export adds to the record.
struct ExportFacts {
    std::string started, ended;
    std::string backupFile;   // the file's name
    std::string backupPath;   // where the program reads it
    FileDigest digest;        // of the backup file
    std::string verification; // "通过" or the reason it failed
    // The account set the backup holds by its own GL_ZTCS, or why that is unknown.
    std::string heldAccountSet;
    std::vector<std::string> warnings;
};

// The record's text, UTF-8, lines ending in LF: the program, the connection, the account set,
// the times, each table's rows or failure, the backup file's name, size and SHA-256 (read by
// the program from the file, or why it could not be read), and the verification.
std::string RecordText(const std::optional<ExtractionRecord>& filled, const LoggedIn& login, const ExportFacts& facts);

// What a record beside a backup says, as far as a rerun needs it to know the set converted;
// nullopt when `path` holds no record. Texts in the code page of the process.
struct RecordSays {
    std::string server, database, year, unitCode, accountSetNumber, file, sha256;
    std::string sourceIdentity;  // ExtractionRecord::sourceIdentity; empty in a record without it
    bool verified = false;  // its check (RESTORE VERIFYONLY) passed
};
std::optional<RecordSays> ReadRecordFile(const std::string& path);

// Writes `utf8` with a byte-order mark to `path`, its lines ending as the system's text files'
// do (CR LF on Windows, LF on Linux), through a temporary file renamed into place, so that a
// failure leaves no half-written record. Returns why it failed, in the user's words and the
// code page of the process, or an empty text.
std::string WriteRecordFile(const std::string& path, const std::string& utf8);

// Creates the file `path` with `utf8` as WriteRecordFile writes it, unless a file of that name is
// there already: the one check-and-create that tells two copies of the program apart when they
// pick a name in the same folder at the same moment. Taken: the name is another's.
enum class Creation { Created, Taken, Failed };
Creation CreateRecordFile(const std::string& path, const std::string& utf8);
// Whether a file or folder `path` is there; removes the file `path`, if it is there.
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

}  // namespace tarvex
