#pragma once
// Restoring the audited unit's backup on the auditor's SQL Server, the first step of the work:
// what a backup file holds (RESTORE HEADERONLY and FILELISTONLY), where the server keeps new
// databases' files, and the restore itself, as a new database, with its progress, its cancel and
// its clean end. Free of any window: the restore dialog and the command line run it with values
// and learn what happens through a Report (report.h): its log, the percent done, the time taken
// and the cancel.
//
// Nothing existing is to be replaced: the name is looked up on the server before anything runs.
// The server's own check does not stand behind that look-up: without REPLACE, RESTORE refuses
// (3154) only a database of another backup family, and overwrites one restored earlier from the
// same backup. A log-in that may not see every database (VIEW ANY DATABASE denied) is not told
// of one it does not own, so for it the names the tool itself proposes, which an earlier restore
// of the same backup would have taken, are refused. The names of the temporary database and of
// the system databases are never taken. A restore that fails or is cancelled is followed by a
// look for the database it may have begun, which is dropped only when it is unfinished and was
// not there before; never after the server said that the name was taken. The connection is one
// of its own, to master (a Database of its own).
//
// All texts are in the code page of the process.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database.h"
#include "login.h"
#include "report.h"

namespace tarvex {

// The server a restore goes to, as read once logged in to its master database.
struct RestoreServer {
    LoginSettings login;         // the log-in (to master), taken again after a lost connection
    std::string productVersion;  // "15.0.2000.5"
    std::string edition;         // "Express Edition (64-bit)"
    // Where new databases' files go, as the server names the folder, ending in its separator:
    // SERVERPROPERTY('InstanceDefaultDataPath'), else the folder of master's data file.
    std::string dataFolder;
    // The log-in sees every database (VIEW ANY DATABASE, or sysadmin); false: only master, tempdb
    // and the ones it owns, so that DB_ID may find no database where there is one.
    bool seesEveryDatabase = false;

    // "SQL Server 2019（15.0.2000.5）Express Edition (64-bit)"
    std::string VersionText() const;
};

// One file of the backed-up database (RESTORE FILELISTONLY).
struct BackedUpFile {
    std::string logicalName;
    char type = 'D';     // D data, L log, F full-text catalogue, S FILESTREAM
    long long size = 0;  // bytes
};

// One backup set of a backup file, as RESTORE HEADERONLY lists it.
struct BackupSet {
    enum class Kind { Full, Differential, Log, Other };
    int position = 0;  // FILE = n
    Kind kind = Kind::Other;
    int type = 0;  // BackupType: 1 full, 5 differential, 2 log, ...
    std::string database;
    std::string finished;  // "YYYY-MM-DD hh:mm:ss" in the server's time
    long long size = 0;    // bytes
    std::string firstLsn{}, checkpointLsn{}, backupSetGuid{};
    std::string differentialBaseLsn{}, differentialBaseGuid{};  // of a differential: its full backup's

    // Whether this differential backup belongs to the full backup `full`: its base is that set
    // (DifferentialBaseGUID) at that point of the log (DifferentialBaseLSN).
    bool IsDifferentialOf(const BackupSet& full) const;
    // "第2个：差异备份，数据库“x”，2024-01-05 18:00:00，12.3 MB"
    std::string Line() const;
};

// What a backup file holds, as the server reads it.
struct BackupDescription {
    std::string path;             // the file, as the server reads it
    std::vector<BackupSet> sets;  // every backup set of the file, in order
    int position = 0;             // the full database backup restored
    int differential = 0;         // the differential backup of it restored after it; 0: none
    std::string database;  // the backed-up database's name
    std::string finished;  // when the backup ended, "YYYY-MM-DD hh:mm:ss" in the server's time
    std::string serverName;
    int versionMajor = 0, versionMinor = 0, versionBuild = 0;  // of the server that made it
    long long backupSize = 0;                                  // bytes
    std::vector<BackedUpFile> files;
    // A name looked up on the server as the file was read (ConnectAndReadBackup), and whether a
    // database had it then: RestoreBackup's look-up of that name, which it does not repeat.
    std::string lookedUpName;
    std::optional<bool> lookedUpPresent;

    // The restored database's size: its files' together.
    long long DatabaseSize() const;
    // "SQL Server 2019（15.0.2000）"
    std::string VersionText() const;
};

// What reading the server or a backup came to: the value, or why there is none.
template <class T>
struct Reading {
    std::optional<T> value;
    std::string problem;  // for the user, lines apart with "\r\n"; empty when there is a value
    OdbcError error;      // the driver's diagnostics behind the problem, if any
    bool refusedChoice = false;  // the problem is what was asked for (ReadBackup's position)
};

// Logs in to master with `login`'s server, user and password (its database is ignored) on
// `database`, and reads the server's version, edition and data folder. Runs on the calling
// thread's wait for the database thread: not the window's.
Reading<RestoreServer> ConnectForRestore(Database& database, LoginSettings login, LoginPrompt prompt);

// The sets a restore of `sets` takes: the full backup at `position` (0: the last full backup of
// the database whose backup in the file is the newest), then the latest differential backup of
// that full backup that follows it, if any. Nullopt when there is no such full backup.
struct ChosenSets {
    int full = 0;
    int differential = 0;  // 0: none
};
std::optional<ChosenSets> ChooseSets(const std::vector<BackupSet>& sets, int position = 0);

// Why `position` cannot be chosen for a restore of `sets` (none there, or not a full backup);
// empty when it can.
std::string PositionProblem(const std::vector<BackupSet>& sets, int position);

// Reads what the backup file at `path` (as the server reads it) holds, and whether this server
// can restore it: the sets ChooseSets chooses for `position`. A `position` that cannot be chosen
// gives no value and `refusedChoice`.
Reading<BackupDescription> ReadBackup(Database& database, const RestoreServer& server, const std::string& path,
                                      int position = 0);

// ConnectForRestore, then ReadBackup, and the look-up of the new database's name `name` (empty:
// the one ProposedName proposes), in two exchanges with the server after the log-in, as a server
// far away answers each late: the server's facts with the backup's header, then the look-up with
// the file list. The backup is read only when the server is.
struct RestoreReading {
    Reading<RestoreServer> server;
    Reading<BackupDescription> backup;
};
RestoreReading ConnectAndReadBackup(Database& database, LoginSettings login, LoginPrompt prompt, const std::string& path,
                                    int position, const std::string& name);

// What the restore takes from the file, a line each, and that log backups are not applied;
// lines end in "\r\n".
std::string SetsText(const BackupDescription& backup);

// Why `name` cannot be a new database's name, looked at without the server (empty, too long,
// a character the statements cannot carry, the temporary database's or a system database's);
// empty when it can.
std::string RestoreNameProblem(std::string_view name);
// The same for a restore of `backup` on `server`, then whether the server has a database of that
// name, or may hide one (a log-in that does not see every database, and a name the tool proposes
// for this backup). Empty when the name is free.
std::string RestoreNameProblem(Database& database, const RestoreServer& server, const BackupDescription& backup,
                               const std::string& name);

// The name a restore of `backup` proposes: the backed-up database's own, unless that cannot be
// a new database's (the temporary database's, a system database's), then the backup file's
// name without its extension.
std::string ProposedName(const BackupDescription& backup);

// Why this server refused to restore `backup` with 3169: a backup from a newer SQL Server, or
// one too old for this one, and what to do about it.
std::string VersionRefusal(const BackupDescription& backup, const RestoreServer& server);

// Where the restore puts the database's files, by their logical names: each named for the new
// database in the server's data folder. Where the name had to be altered for a file name (what a
// file name cannot hold, blanks and dots at its end, a length beyond 255 bytes or characters or a
// path beyond 259 characters), a short hash of the name follows, so that two names never share
// a file.
struct FileMove {
    std::string logicalName;
    std::string target;  // as the server names it
};
std::vector<FileMove> PlanFileMoves(const BackupDescription& backup, const std::string& dataFolder,
                                    std::string_view database);

// "RESTORE DATABASE [<name>] FROM DISK = N'<path>' WITH FILE = <n>, MOVE N'<logical>' TO N'<target>', …,
// STATS = <percent>": names bracketed, literals with their apostrophes doubled; nullopt for a name
// that cannot be bracketed. With a differential backup to follow, the full backup's restore
// ends in NORECOVERY.
std::optional<std::string> BuildRestoreStatement(const BackupDescription& backup, const std::vector<FileMove>& moves,
                                                 std::string_view database, int statsPercent);
// "RESTORE DATABASE [<name>] FROM DISK = N'<path>' WITH FILE = <n>, RECOVERY, STATS = <percent>":
// the differential backup after the full one.
std::optional<std::string> BuildDifferentialStatement(const BackupDescription& backup, std::string_view database,
                                                      int statsPercent);

// What a restore came to.
struct Restored {
    enum class End {
        Restored,   // the database is there, under `database`
        Refused,    // nothing ran: the name (empty, existing, not usable) or the backup's version
        Failed,     // the server refused or failed the restore, or the connection was lost
        Cancelled,  // stopped by the user
        Closing,    // the database shut down (the window is closing)
    };
    End end = End::Closing;
    std::string database;
    std::string message;  // the end in a few sentences, for a notice or the command line
    OdbcError error;
    // A database of that name may be left on the server, unfinished: it could not be dropped, or
    // not even looked for (the server gone). The message says what to do.
    bool leftBehind = false;
};

// Restores `backup` as the new database `name` on `server`, through `database` (logged in by
// ConnectForRestore): checks the name and the backup's version, looks the name up, puts the
// files into the server's data folder, restores the full backup with STATS (WITH NORECOVERY when
// a differential follows, then the differential), asks the server whether the database is
// ONLINE before saying it is restored, and after a failure or a cancel drops what the restore
// began.
Restored RestoreBackup(Database& database, const RestoreServer& server, const BackupDescription& backup,
                       const std::string& name, Report& report);

// "1分05秒", "12秒".
std::string DurationText(std::chrono::seconds duration);
// "12.3 MB", "512 KB", "1.20 GB".
std::string SizeText(long long bytes);

}  // namespace tarvex
