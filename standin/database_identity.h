#pragma once
// What the stand-in remembers of each database beside its SQLite file, in a small text file
// of its own ("<database file>.identity"): the name as it was created, when it was created,
// the identity SQL Server keeps across restores (the family GUID) and the one it gives anew at
// each restore (the binding GUID), the logical names of its data and log files and where a
// real server would keep them.
// A database made before the stand-in kept these (the samples) gets them when first asked.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace standin {

struct DatabaseIdentity {
    std::string name;
    // When the database was created, in datetime ticks (below): its sys.databases create_date
    // and its backups' DatabaseCreationDate.
    std::int64_t created = 0;
    std::string familyGuid;
    std::string bindingGuid;
    // The logical names of the data and log files; empty: "<name>" and "<name>_log".
    std::string dataName;
    std::string logName;
    // The physical names of the data and log files as the server names them; empty: in the
    // server's default data folder, under the database's name.
    std::string dataFile;
    std::string logFile;
    // The log-in that created or restored it (its owner, as sys.databases' owner_sid names
    // it); empty: the server's administrator, sa.
    std::string owner;
    // The last log sequence number its backups have handed out.
    std::int64_t lastLsn = 0;
    // The base of its next differential backup: the set GUID and FirstLSN (= CheckpointLSN) of
    // its last full backup, or of the full backup it was restored from. Empty: none, and no
    // differential backup can be taken.
    std::string differentialBaseGuid{};
    std::int64_t differentialBaseLsn = 0;
    // RESTORING: restored WITH NORECOVERY, or a restore failed or was stopped; it cannot be
    // used, only restored on or dropped. Else ONLINE.
    bool restoring = false;
};

std::filesystem::path IdentityFile(const std::filesystem::path& databaseFile);

// Nothing when the database has no identity file or it cannot be read.
std::optional<DatabaseIdentity> LoadIdentity(const std::filesystem::path& databaseFile);

// Writes the identity file whole (through a temporary file and a rename). Throws
// std::system_error.
void SaveIdentity(const std::filesystem::path& databaseFile, const DatabaseIdentity& identity);

// A fresh random GUID in SQL Server's text form, upper case.
std::string NewGuid();

// Times as SQL Server's datetime holds them: ticks of 1/300 s, here since 1970-01-01 UTC.
constexpr std::int64_t kDateTimeTicksPerSecond = 300;

// The tick nearest to `t`.
std::int64_t DateTimeTicks(std::chrono::system_clock::time_point t);

std::int64_t NowTicks();

// When `file` last changed, in ticks; now if that cannot be read.
std::int64_t FileChangedTicks(const std::filesystem::path& file);

// A time in ticks as SQL Server's datetime text in this machine's time zone,
// "YYYY-MM-DD hh:mm:ss.fff", the milliseconds rounded to .000, .003 or .007 as SQL Server shows
// them.
std::string DateTimeText(std::int64_t ticks);

}  // namespace standin
