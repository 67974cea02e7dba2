#pragma once
// The check of a folder of backups against what the program wrote beside them, without a
// server: each backup's size and SHA-256 against its record, each record read whole (every
// field, the check passed, the tables' counts adding up to its total), the batch summaries'
// lines against the records, a backup without a record, a record without its backup, an
// account set backed up twice, one backup under two names. It reads the folder and writes
// nothing into it; the manifest goes where the user says.
//
// All texts are in the code page of the process.

#include <optional>
#include <string>
#include <vector>

#include "report.h"

namespace tarvex {

// What a record beside a backup says, read whole, in any layout the program has written: with
// or without its byte-order mark, lines ending in LF or CR LF.
struct RecordContents {
    std::string server, database, user, serverVersion, sourceIdentity;
    std::string year, unitCode, accountSetName, accountSetNumber, heldAccountSet;
    std::string file, sha256, verification;
    long long size = -1;
    // Each table's line in order: its name and count (-1: 未报告, -2: 失败).
    struct Table {
        std::string name;
        long rows = -1;
    };
    std::vector<Table> tables;
    bool filledHere = true;  // false: the record says the temporary database was not filled by this run
    // Where the record fails its own form: a field missing or unreadable, counts that do not add
    // up, a check that did not pass. Empty for a record as the program writes it.
    std::vector<std::string> faults;
    // Fields the program's current records have and this one, of an older version, lacks.
    std::vector<std::string> lacks;
};
// nullopt: `utf8` is not a record of this program's.
std::optional<RecordContents> ParseRecord(const std::string& utf8);

// One file's line of the check.
struct CheckedFile {
    enum class Kind { Backup, Record, Summary, Other };
    Kind kind = Kind::Other;
    std::string name;            // the file's name in the folder
    std::string fileSystemName;  // the same as the file system holds it (UTF-8 where it is)
    long long size = -1;       // as read; -1 when not read
    std::string sha256;        // as read; empty when not read
    std::vector<std::string> reasons;  // why it disagrees; none: 一致
    std::vector<std::string> notes;    // what the user should know though it agrees
    std::optional<RecordContents> record;  // of a backup: its record, when readable
    // A line of its own: false for a record beside its backup (the backup's line tells of it)
    // and for the files the check does not judge.
    bool line = true;
    // Of a backup proved by restoring it (restore_check.h): what that came to; empty when not tried.
    std::string restoreCheck;
    bool restoreAgrees = true;
    bool Agrees() const { return reasons.empty() && restoreAgrees; }
    // "一致" or the reasons, joined by "；", then the restore's check, with the notes after them.
    std::string ResultText() const;
};

// How a check of a folder reports while it runs (report.h; a cancel, and a restore-check's log),
// on the thread that runs it.
class FolderCheckReport : public Report {
public:
    // `done` of `total` bytes of the folder's files are read; `file` is being read.
    virtual void Reading(const std::string& /*file*/, int /*n*/, int /*files*/, long long /*done*/,
                         long long /*total*/) {}
    // A restore-check: backup `n` of `total`, `file`, is under way.
    virtual void Begins(int /*n*/, int /*total*/, const std::string& /*file*/) {}
};

struct FolderCheck {
    // Why the folder could not be checked at all (missing, not a folder, unreadable); empty when it was.
    std::string problem;
    bool cancelled = false;
    // Every file of the folder in the order of their names: the backups, the records, the
    // summaries, and the other files (read for the manifest, not judged).
    std::vector<CheckedFile> files;

    int Checked() const;    // the files with a line: backups, lone records and summaries
    int Agreeing() const;
    int Backups() const;
    int Others() const;
    bool AllAgree() const { return problem.empty() && !cancelled && Checked() > 0 && Agreeing() == Checked(); }
    // "核对了4个文件（备份3个），一致3个，不一致1个。" and what else must be said.
    std::string SummaryText() const;
};

// Checks `directory`; `skip`, when given, is a file the check leaves out (the manifest being
// written into the folder).
FolderCheck CheckFolder(const std::string& directory, FolderCheckReport& report, const std::string& skip = {});

// The manifest: every file read, a line "<SHA-256>  <name>" each (sha256sum -c reads it in the
// folder), its size in a comment line before it; UTF-8, lines ending in LF.
std::string ManifestText(const FolderCheck& check);
// Writes the manifest to `path`; why it could not, or an empty text.
std::string WriteManifest(const std::string& path, const FolderCheck& check);

}  // namespace tarvex
