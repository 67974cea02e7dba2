#pragma once
// The stand-in's backup files. A file holds one backup set or more, one after another, as
// BACKUP without INIT appends them: each a header that describes it as SQL Server's backup
// header does (the database, its files, when and where the backup was taken, its kind and its
// log sequence numbers), then a copy of the database in SQLite's own file format (the payload).
// A differential backup carries the whole database too; its header says which full backup it
// belongs to.
//
// Layout of each set, integers little-endian:
//   "mssql-standin backup 3\n"   23 bytes, the magic (the 3 is the layout's version)
//   header length                4 bytes, then the header's fields (below)
//   header SHA-256               32 bytes, of the magic, the header length and the header
//   payload length               8 bytes
//   file SHA-256                 32 bytes, of every byte of the set except these 32
//   payload
// The header's fields, in order: texts as a 2-byte length and UTF-8, numbers as 8 bytes:
//   database, server, machine, user, collation, family GUID, binding GUID, backup set GUID, database
//   created, backup started, backup finished (datetime ticks of 1/300 s since 1970-01-01 UTC,
//   database_identity.h), version
//   major, minor, build, file count, then per file: logical name, physical name, type ('D'
//   or 'L'), size in bytes; then the backup type, first, last, checkpoint, database backup and
//   differential base LSNs (numbers) and the differential base GUID (text).
// The header's own digest lets the header be read without reading the payload, as RESTORE
// HEADERONLY does; any changed, missing or added byte in a set makes it fail its check, and
// bytes after the last set that begin no set make the file malformed. Files of an earlier
// layout are not backups to this version.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace standin {

// Why a backup file failed its check; Kind::None when it passed.
struct BackupFault {
    enum class Kind {
        None,
        CannotOpen,  // the file cannot be opened: `error` is the errno
        ReadFailed,  // reading failed (`error` the errno), or the file ends early (`error` 0)
        Malformed,   // not one of the stand-in's backup files, or longer than its header says
        Damaged,     // a checksum differs, or the payload is no sound SQLite database
    };
    Kind kind = Kind::None;
    int error = 0;

    explicit operator bool() const { return kind != Kind::None; }
};

// One file of the backed-up database, as RESTORE FILELISTONLY lists it.
struct BackupDatabaseFile {
    std::string logicalName;
    std::string physicalName;  // where the file was, as the server named it
    char type = 'D';           // 'D' data, 'L' log
    std::uint64_t size = 0;    // bytes
};

// What a backup set says of itself, as RESTORE HEADERONLY reports it.
struct BackupHeader {
    std::string database;
    std::string serverName;
    std::string machineName;
    std::string userName;
    std::string collation;
    std::string familyGuid;     // of the database, kept across restores
    std::string bindingGuid;    // of the database, new at each restore
    std::string backupSetGuid;  // of this backup set
    // Datetime ticks (1/300 s) since 1970-01-01 UTC; databaseCreated is the database's
    // DatabaseIdentity::created, its sys.databases create_date.
    std::int64_t databaseCreated = 0;
    std::int64_t backupStarted = 0;
    std::int64_t backupFinished = 0;
    int versionMajor = 0;
    int versionMinor = 0;
    int versionBuild = 0;
    std::vector<BackupDatabaseFile> files;  // the data file, then the log file
    // RESTORE HEADERONLY's BackupType: 1 a full database backup, 5 a differential one.
    int backupType = kFullBackup;
    // Log sequence numbers as RESTORE HEADERONLY gives them; the differential base (LSN and
    // the base full backup's set GUID) only for a differential, else 0 and empty.
    std::int64_t firstLsn = 0;
    std::int64_t lastLsn = 0;
    std::int64_t checkpointLsn = 0;
    std::int64_t databaseBackupLsn = 0;
    std::int64_t differentialBaseLsn = 0;
    std::string differentialBaseGuid{};

    static constexpr int kFullBackup = 1;
    static constexpr int kDifferentialBackup = 5;
};

// Writes a backup set described by `header` whose payload is the SQLite file `payload` at the
// end of `target`, an existing file of backup sets. Throws std::system_error.
void AppendBackupSet(const std::filesystem::path& target, const BackupHeader& header,
                     const std::filesystem::path& payload);

// Writes a backup described by `header` whose payload is the SQLite file `payload` into
// `target` (created or truncated). Throws std::system_error.
void WriteBackupFile(const std::filesystem::path& target, const BackupHeader& header,
                     const std::filesystem::path& payload);

// Reads the header of the file's first backup set and checks it against its own digest,
// without reading the payload.
BackupFault ReadBackupHeader(const std::filesystem::path& file, BackupHeader& header);

// Reads the headers of every backup set of the file, in order, as RESTORE HEADERONLY does;
// `sizes` (if given) gets each set's length in bytes.
BackupFault ReadBackupHeaders(const std::filesystem::path& file, std::vector<BackupHeader>& headers,
                              std::vector<std::uint64_t>* sizes = nullptr);

// Called as the payload is copied, with the bytes copied so far and the payload's length; it
// may throw to stop the copy.
using CopyProgress = std::function<void(std::uint64_t copied, std::uint64_t total)>;

// Checks the layout, length and checksums of the set at `position` (from 1), copying its
// payload to `payload` on the way and reporting the copy's progress to `progress` (if any).
// After a fault, `payload` holds no meaningful content. Throws std::system_error when `payload`
// cannot be written.
BackupFault ExtractBackupFile(const std::filesystem::path& file, const std::filesystem::path& payload,
                              const CopyProgress& progress = {}, int position = 1);

// ExtractBackupFile into `scratch`, then SQLite's quick_check on the payload there.
BackupFault VerifyBackupFile(const std::filesystem::path& file, const std::filesystem::path& scratch,
                             const CopyProgress& progress = {}, int position = 1);

}  // namespace standin
